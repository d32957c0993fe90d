// The job query before a submission: a job still held by SLURM in the job
// directory (its record lost, its sbatch reply lost, a banner read as its
// state) is followed instead of getting a second job beside it; with
// "Force Resubmit" it is cancelled first and the submission waits until
// SLURM lets go of it.
#include "job_query.hpp"

#include "bridge/statements.hpp"
#include "remote_command.hpp"
#include "support.hpp"

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

namespace clusterlane::job_query {

namespace {

using bridge::concat;
using Clock = std::chrono::steady_clock;

// Why a command failed: its stderr, else its exit status, else "no output".
Owned reason(const remote_shell::CommandResult& result, Borrowed error) {
    if (bridge::truthy(error)) return Owned::ref(error.get());
    if (result.exit_status != 0)
        return concat({"exit status ", bridge::str(bridge::integer(result.exit_status))});
    return bridge::str_from("no output");
}

// The ids joined by `separator`.
Owned joined(const std::vector<std::string>& ids, const char* separator) {
    std::string text;
    for (const std::string& id : ids) text += (text.empty() ? "" : separator) + id;
    return bridge::str_from(text);
}

std::vector<std::string> ids_of(const std::vector<slurm_states::HeldJob>& jobs) {
    std::vector<std::string> ids;
    for (const auto& job : jobs) ids.push_back(job.id);
    return ids;
}

// The jobs SLURM holds in the job directory now.
std::vector<slurm_states::HeldJob> held_jobs(Borrowed ssh, Borrowed job_dir) {
    Owned command = concat({"cd ", remote_shell::shell_quote(job_dir),
                            " && pwd -P && squeue -h -u \"$USER\" -o '%i|%T|%Z'"});
    remote_shell::CommandResult result = remote_shell::run(ssh, command);
    Owned output = result.output();
    Owned error = result.error();
    slurm_states::JobQueryOutput found = slurm_states::read_job_query(bridge::utf8(output), bridge::utf8(job_dir));
    if (result.exit_status != 0 || !found.has_first_line)
        raise_node_exception("slurm", concat({"Could not check for a job already running in ", job_dir, ": ",
                                              reason(result, error), "; nothing submitted"}));
    return std::move(found.held);
}

// time.sleep: releases the GIL, and the host's signal handlers run during
// it (one that raises, Python's own for Ctrl-C, ends the wait).
void sleep_interruptibly(Clock::duration duration) {
    const double seconds = std::chrono::duration<double>(duration).count();
    bridge::call(bound().sleep, bridge::float_from(seconds));
}

void cancel(Borrowed self, Borrowed ssh, Borrowed job_dir, const std::vector<std::string>& ids, double wait_limit) {
    Owned listed = joined(ids, ", ");
    remote_shell::CommandResult result = remote_shell::run(ssh, concat({"scancel ", joined(ids, " ")}));
    Owned output = result.output();  // decoded as before: an undecodable answer is the cluster's fault
    Owned error = result.error();
    if (result.exit_status != 0)
        raise_node_exception("slurm", concat({"Could not cancel job(s) ", listed, " still running in ", job_dir,
                                              ": ", reason(result, error), "; nothing submitted"}));
    Owned id_list = bridge::new_list();
    for (const std::string& id : ids) bridge::list_append(id_list, bridge::str_from(id));
    hpc_log(self, "warning", concat({"Cancelled job(s) ", listed, " still running in ", job_dir, " before resubmitting"}),
            {{bridge::str_from("job_ids"), id_list}});

    const Clock::time_point deadline =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(wait_limit));
    std::vector<std::string> still_held(ids.begin(), ids.end());
    while (!still_held.empty()) {
        const Clock::time_point now = Clock::now();
        if (now >= deadline) break;
        sleep_interruptibly(std::min<Clock::duration>(std::chrono::seconds(1), deadline - now));
        std::vector<std::string> held = ids_of(held_jobs(ssh, job_dir));
        std::erase_if(still_held, [&](const std::string& id) { return std::find(held.begin(), held.end(), id) == held.end(); });
    }
    if (!still_held.empty())
        raise_node_exception("slurm", concat({"Job(s) ", joined(still_held, ", "), " still running in ", job_dir,
                                              " after scancel; nothing submitted"}));
}

}  // namespace

std::optional<slurm_states::HeldJob> before_submitting(const PassContext& pass) {
    std::vector<slurm_states::HeldJob> held = held_jobs(pass.ssh, pass.job_dir);
    if (held.empty()) return std::nullopt;
    if (!pass.profile.force) return held.back();  // ascending ids: the newest job
    // Cancelled jobs get 30 seconds to go, or ioTimeout when that is shorter.
    constexpr double kLongestWait = 30;
    cancel(pass.self, pass.ssh, pass.job_dir, ids_of(held), std::min(kLongestWait, pass.profile.io_seconds));
    return std::nullopt;
}

}  // namespace clusterlane::job_query
