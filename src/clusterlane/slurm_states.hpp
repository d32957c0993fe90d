// SLURM's job state names and what each means for a node's recorded job.
#pragma once

#include <string>
#include <string_view>

namespace clusterlane::slurm_states {

// One of the job state names SLURM prints (squeue %T, sacct State).
bool is_state_name(std::string_view state);

// SLURM still holds the job (queued, starting, running, finishing, paused or
// about to be requeued): a new submission now would run a second job beside
// it in the same directory, so such a job is reported, not resubmitted.
bool job_is_alive(std::string_view state);

// The job ended and did not succeed; the user decides about a new run.
bool job_ended_without_success(std::string_view state);

// The state of a job whose query printed several non-blank lines (a job
// array prints one per task, a login banner adds one of its own), each read
// as a state word: RUNNING when any task runs, else the first state in which
// SLURM still holds the job, else the first state.  The empty string when
// the output has fewer than two non-blank lines or no line starts with a
// state name: the output is then read as a whole.
std::string state_of_lines(std::string_view output);

}  // namespace clusterlane::slurm_states
