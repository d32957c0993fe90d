// SLURM's job state names and what each means for a node's recorded job.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace clusterlane::slurm_states {

// One of the job state names SLURM prints (squeue %T, sacct State).
bool is_state_name(std::string_view state);

// SLURM still holds the job (queued, starting, running, finishing, paused or
// about to be requeued): a new submission now would run a second job beside
// it in the same directory, so such a job is reported, not resubmitted.
bool job_is_alive(std::string_view state);

// The job ended and did not succeed; the user decides about a new run.
bool job_ended_without_success(std::string_view state);

// The state of a job read from squeue's or sacct's output, through its state
// words: the first blank-separated word of each line, trailing '+' dropped
// (sacct marks a state cut off by its column that way), upper-cased, kept
// when it is a state name.  Lines without one (a login banner, garbage) are
// ignored.  RUNNING when any word is RUNNING (a job array prints one line per
// task), else the first state in which SLURM still holds the job, else the
// first state word.  The empty string when the output has no state word:
// it counts as empty output.
std::string state_of_output(std::string_view output);

// One job that the job query found in a job directory.
struct HeldJob {
    std::string id;     // the leading ASCII digits of squeue's %i (array and
                        // heterogeneous jobs give their base id), no leading zeros
    std::string state;  // a state in which SLURM still holds the job
};

// What the job query printed: the physical path of the job directory on its
// first line, then "job id|state|working directory" per job of the user.
struct JobQueryOutput {
    bool has_first_line = false;
    // Jobs whose working directory is the job directory (as given or its
    // physical path) and whose state is one SLURM still holds, one entry per
    // job id (the state of an array: RUNNING when a task runs, else the
    // first one), in ascending order of id.
    std::vector<HeldJob> held;
};
JobQueryOutput read_job_query(std::string_view output, std::string_view job_dir);

}  // namespace clusterlane::slurm_states
