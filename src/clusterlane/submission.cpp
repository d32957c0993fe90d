// The submission steps of a remote run: job directory, the job query (a job
// still running there is followed or, forced, cancelled), filled script,
// uploads, submit.sh, sbatch, job id, persisted result.
//
// Nothing done on the cluster is undone when a later step fails; only a
// parsed job id is persisted, so the next call submits again into the same
// job directory.
#include "submission.hpp"

#include "bridge/statements.hpp"
#include "download_record.hpp"
#include "job_query.hpp"
#include "remote_command.hpp"
#include "results.hpp"
#include "support.hpp"

namespace clusterlane {

namespace {

using bridge::concat;

constexpr const char* kSubmittedMarker = "Submitted batch job";

void create_job_directory(Borrowed self, Borrowed ssh, Borrowed remote_job_dir) {
    hpc_log(self, "info", concat({"Creating remote job directory: ", remote_job_dir}),
            {{name(N::remote_dir), remote_job_dir}});
    call_self(self, N::_ensure_remote_dir, ssh, remote_job_dir);
}

Owned fill_script(Borrowed self, Borrowed flow_vars, Borrowed remote_job_dir, Borrowed script_template) {
    Owned variables = call_self(self, N::_get_all_template_variables_ssh, flow_vars, remote_job_dir);
    return call_self(self, N::_process_template, script_template, variables);
}

// Within a pass the upload is one bounded wait that each sent chunk starts
// afresh; a large file's progress is logged under `file_name`.
void upload(Borrowed self, Borrowed sftp, Borrowed local_path, Borrowed remote_path, Borrowed file_name) {
    Owned progress = io::progress_callback(sftp, {self, "Uploading", file_name});
    const bridge::Kw callback[] = {{name(N::callback), progress}};
    Owned put = bridge::getattr(sftp, name(N::put));
    io::bounded(sftp, [&] { return bridge::call(put, {local_path, remote_path}, callback); });
}

// Uploads each existing input file under its base name; empty entries and
// paths with nothing behind them are skipped without a word.
void upload_inputs(Borrowed self, Borrowed sftp, Borrowed flow_vars, Borrowed remote_job_dir) {
    // Taken as a list once: the entries are counted first, then walked.
    Owned inputs = bridge::list_of(call_self(self, N::get_input_files, flow_vars));
    long long count = 0;
    bridge::for_each(inputs, [&](Borrowed entry) { count += bridge::truthy(entry) ? 1 : 0; });
    hpc_log(self, "info", concat({"Uploading ", bridge::str(bridge::integer(count)), " input files to HPC"}),
            {{name(N::num_files), bridge::integer(count)}});

    bridge::for_each(inputs, [&](Borrowed entry) {
        if (!bridge::truthy(entry)) return;
        // Asked for each entry: the node may gain or lose its resolver meanwhile.
        const bool resolves = bridge::hasattr(self, name(N::resolve_path));
        Owned local_path = resolves ? call_self(self, N::resolve_path, entry) : Owned::ref(entry.get());
        if (!bridge::truthy(os_path(N::exists, local_path))) return;

        Owned file_name = bridge::str(os_path(N::basename, local_path));
        Owned file_size = os_path(N::getsize, local_path);
        Owned remote_path = concat({remote_job_dir, "/", file_name});
        hpc_log(self, "debug", concat({"Uploading: ", file_name, " (", bridge::str(file_size), " bytes)"}),
                {{name(N::file_name), file_name}, {name(N::file_size), file_size}});
        upload(self, sftp, local_path, remote_path, file_name);
    });
}

// `with sftp.file(path, "w") as remote: remote.write(script)`
// Opening, and then writing and closing together, are bounded waits within a pass.
void write_remote_text(Borrowed sftp, Borrowed remote_path, Borrowed text) {
    Owned mode = bridge::str_from("w");
    Owned manager = io::bounded(sftp, [&] { return bridge::call_method(sftp, name(N::file), remote_path, mode); });
    io::bounded(sftp, [&] {
        bridge::with_block(manager, name(N::__enter__), name(N::__exit__),
                           [&](Borrowed remote) { bridge::call_method(remote, name(N::write), text); });
        return bridge::none();
    });
}

// The job id is the word right after "Submitted batch job"; null when the
// output carries no such word or that word is not a number (it goes into
// later squeue/sacct commands, and a job of SLURM's is a number).  Words
// after the id (a cluster name, say) are not part of it.
Owned parse_job_id(Borrowed sbatch_output) {
    Owned words = bridge::call_method(sbatch_output, name(N::split));
    const Py_ssize_t n = bridge::list_size(words);
    auto word_is = [&](Py_ssize_t i, const char* expected) {
        return bridge::utf8(bridge::list_item(words, i)) == expected;
    };
    for (Py_ssize_t i = 0; i + 3 < n; ++i) {
        if (word_is(i, "Submitted") && word_is(i + 1, "batch") && word_is(i + 2, "job")) {
            Borrowed id = bridge::list_item(words, i + 3);
            const std::string_view digits = bridge::utf8(id);
            if (digits.find_first_not_of("0123456789") != std::string_view::npos) return {};
            return Owned::ref(id.get());
        }
    }
    return {};
}

// Runs sbatch in the job directory and returns the job id.  Warnings on
// stderr do not matter as long as stdout reports the submission.
Owned run_sbatch(Borrowed self, Borrowed ssh, Borrowed remote_job_dir) {
    hpc_log(self, "info", bridge::str_from("Submitting SLURM job"));
    remote_shell::CommandResult sbatch =
        remote_shell::run(ssh, concat({"cd ", remote_shell::shell_quote(remote_job_dir), " && sbatch submit.sh"}));
    Owned output = sbatch.output();
    Owned error = sbatch.error();

    const bool reported = bridge::contains(output, bridge::str_from(kSubmittedMarker));
    if (bridge::truthy(error) && !reported) {
        Owned message = concat({"sbatch failed: ", error});
        hpc_log(self, "error", message, {{name(N::error), error}});
        raise_node_exception("slurm", message);
    }
    Owned job_id = reported ? parse_job_id(output) : Owned();
    if (!job_id || !bridge::truthy(job_id)) {
        hpc_log(self, "error", concat({"Could not parse job ID: ", output}));
        raise_node_exception("slurm", concat({"Could not parse job ID from sbatch output: ", output}));
    }
    return job_id;
}

// A job SLURM still holds in the job directory is recorded as if this pass
// had submitted it and reported like a recorded job in its state.
Owned follow_found_job(Borrowed self, Borrowed remote_job_dir, const slurm_states::HeldJob& job) {
    Owned job_id = bridge::str_from(job.id);
    hpc_log(self, "warning",
            concat({"Job ", job_id, " is already running in ", remote_job_dir,
                    "; following it instead of submitting another"}),
            {{name(N::job_id), job_id}});
    clear_download_record(self);
    call_self(self, N::_save_result, results::submitted(job_id, remote_job_dir));
    return results::held(bridge::str_from(job.state), job_id);
}

}  // namespace

Owned submit_job(const PassContext& pass) {
    Borrowed self = pass.self;
    Borrowed ssh = pass.ssh;
    Borrowed sftp = pass.sftp;
    Borrowed remote_job_dir = pass.job_dir;
    create_job_directory(self, ssh, remote_job_dir);
    if (auto found = job_query::before_submitting(pass))
        return follow_found_job(self, remote_job_dir, *found);
    Owned script = fill_script(self, pass.flow_vars, remote_job_dir, pass.profile.script);
    upload_inputs(self, sftp, pass.flow_vars, remote_job_dir);
    write_remote_text(sftp, concat({remote_job_dir, "/submit.sh"}), script);

    Owned job_id = run_sbatch(self, ssh, remote_job_dir);
    hpc_log(self, "info", concat({"SLURM job submitted: ", job_id}),
            {{name(N::job_id), job_id}, {name(N::remote_dir), remote_job_dir}});

    // The outputs of the new job are other files: what came down of the
    // former job, and its partial files, no longer count.
    clear_download_record(self);
    Owned result = results::submitted(job_id, remote_job_dir);
    call_self(self, N::_save_result, result);
    return result;
}

}  // namespace clusterlane
