// Before a submission: the jobs SLURM already holds in the node's job
// directory, found by one command on the cluster (the job query).
#pragma once

#include "pass.hpp"
#include "slurm_states.hpp"

#include <optional>

namespace clusterlane::job_query {

// Runs the job query for the pass's job directory.  Without force, returns
// the job to follow instead of submitting (the highest id found) or nothing.
// With force, cancels every job found (scancel), then asks again every
// second until SLURM holds none of them, for at most 30 seconds (ioTimeout
// when that is shorter); returns nothing once they are gone.  Raises NodeException "slurm" when the query
// or scancel fails or a cancelled job is still held after the wait: nothing
// may be submitted then.
std::optional<slurm_states::HeldJob> before_submitting(const PassContext& pass);

}  // namespace clusterlane::job_query
