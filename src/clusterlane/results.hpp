// The run result dicts a remote pass returns, all built here: every one
// starts with success, remote_job_status and remote_job_id, then adds what
// its outcome says.
#pragma once

#include "runtime.hpp"

namespace clusterlane::results {

// A job was submitted (or found running and recorded as if submitted):
// "submitted", remote_job_dir, "Job submitted with ID: <id>".  This is also
// the dict the state file keeps.
Owned submitted(Borrowed job_id, Borrowed remote_job_dir);

// SLURM still holds the job in `state`: success, the state in lower case,
// "Job is <state>".
Owned held(Borrowed state, Borrowed job_id);

// The job ended without success; `lower_state` is its state in lower case:
// not a success, that state, "Previous job <state>. Set 'Force Resubmit' to
// try again."
Owned ended(Borrowed lower_state, Borrowed job_id);

// The job completed and its outputs were collected: "completed", the result
// data, "Job completed, results retrieved" with the count of large files
// skipped when there are any.
Owned completed(Borrowed job_id, Borrowed data, Borrowed skipped);

}  // namespace clusterlane::results
