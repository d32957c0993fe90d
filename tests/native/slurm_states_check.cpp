// Checks the SLURM state rules on their own, without Python: compiled and run
// by test_slurm_states.py.  Prints each failed check and exits non-zero.
#include "clusterlane/slurm_states.hpp"

#include <cstdio>
#include <string>

using namespace clusterlane::slurm_states;

static int failures = 0;

static void check(bool ok, const char* what, int line) {
    if (ok) return;
    ++failures;
    std::printf("line %d: %s\n", line, what);
}
#define CHECK(expr) check((expr), #expr, __LINE__)

static std::string ids(const JobQueryOutput& out) {
    std::string text;
    for (const HeldJob& job : out.held) text += job.id + ":" + job.state + " ";
    return text;
}

int main() {
    // Every state a rule names is one SLURM prints; no state is both held and ended.
    for (const char* s : {"RUNNING", "PENDING", "CONFIGURING", "COMPLETING", "SUSPENDED", "STOPPED", "SIGNALING",
                          "STAGE_OUT", "REQUEUED", "REQUEUE_HOLD", "REQUEUE_FED", "RESIZING", "RESV_DEL_HOLD"}) {
        CHECK(is_state_name(s) && job_is_alive(s) && !job_ended_without_success(s));
    }
    for (const char* s : {"FAILED", "CANCELLED", "TIMEOUT", "NODE_FAIL"})
        CHECK(is_state_name(s) && job_ended_without_success(s) && !job_is_alive(s));
    // Completed and the ends the user may want to look at first are neither.
    for (const char* s : {"COMPLETED", "OUT_OF_MEMORY", "PREEMPTED", "BOOT_FAIL", "DEADLINE"})
        CHECK(is_state_name(s) && !job_is_alive(s) && !job_ended_without_success(s));
    for (const char* s : {"UNKNOWN", "running", "", "RUNNING+", "CANCELLED by 5"}) CHECK(!is_state_name(s));

    // squeue / sacct output: state words only, sacct's '+' dropped, case and blanks ignored.
    CHECK(state_of_output("") == "");
    CHECK(state_of_output("Welcome to the cluster\nLast login: today\n") == "");
    CHECK(state_of_output("Welcome to the cluster\nRUNNING\n") == "RUNNING");
    CHECK(state_of_output("cancelled+\n") == "CANCELLED");
    CHECK(state_of_output("CANCELLED by 1000\n") == "CANCELLED");
    CHECK(state_of_output("  pending  \r\n") == "PENDING");
    // A job array: a running task wins, else the first held one, else the first word.
    CHECK(state_of_output("PENDING\nCOMPLETED\nRUNNING\n") == "RUNNING");
    CHECK(state_of_output("COMPLETED\nPENDING\n") == "PENDING");
    CHECK(state_of_output("FAILED\nCOMPLETED\n") == "FAILED");

    // The job query: the physical path first, then id|state|directory per job.
    const std::string dir = "/home/u/work/job_n";
    JobQueryOutput none = read_job_query("", dir);
    CHECK(!none.has_first_line && none.held.empty());
    JobQueryOutput empty_first = read_job_query("\n12|RUNNING|/home/u/work/job_n\n", dir);
    CHECK(!empty_first.has_first_line);

    JobQueryOutput found = read_job_query("/scratch/u/job_n\r\n"
                                          "99|PENDING|/home/u/work/job_n\r\n"     // as given
                                          "0100_2|RUNNING|/scratch/u/job_n\n"     // physical path, array task
                                          "0100_1|PENDING|/scratch/u/job_n\n"
                                          "101|COMPLETED|/home/u/work/job_n\n"    // no longer held
                                          "102|RUNNING|/home/u/work/job_n2\n"     // another node's directory
                                          "103|RUNNING|/home/u/work/job_n/sub\n"
                                          "abc|RUNNING|/home/u/work/job_n\n"      // no job id
                                          "104|RUNNING\n"                         // no directory
                                          "0|SUSPENDED|/home/u/work/job_n",
                                          dir);
    CHECK(found.has_first_line);
    CHECK(ids(found) == "0:SUSPENDED 99:PENDING 100:RUNNING ");  // ascending as numbers

    if (failures == 0) std::printf("ok\n");
    return failures == 0 ? 0 : 1;
}
