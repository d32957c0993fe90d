// The submission steps of a remote run: job directory, filled script,
// uploads, submit.sh, sbatch, job id, persisted result.
#include "methods.hpp"

namespace clusterlane {

Owned submit_job(Borrowed, Borrowed, Borrowed, Borrowed, Borrowed, Borrowed) {
    bridge::raise(PyExc_NotImplementedError, "job submission is not available yet");
}

}  // namespace clusterlane
