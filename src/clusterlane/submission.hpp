// The submission steps of a remote pass (defined in submission.cpp).
#pragma once

#include "pass.hpp"

namespace clusterlane {

// Creates the job directory, runs the job query (a job SLURM still holds
// there is followed and its outcome returned; with force it is cancelled,
// waiting at most 30 seconds, or ioTimeout when shorter, for SLURM to let go
// of it), fills the script, uploads inputs and submit.sh, runs sbatch,
// persists and returns the submitted result dict.
Owned submit_job(const PassContext& pass);

}  // namespace clusterlane
