// The four outcomes of a remote pass as run result dicts.
#include "results.hpp"

#include "bridge/statements.hpp"

namespace clusterlane::results {

namespace {

using bridge::concat;

Owned head(bool success, Borrowed status, Borrowed job_id) {
    return bridge::dict_of({{"success", bridge::boolean(success)}, {"remote_job_status", status},
                            {"remote_job_id", job_id}});
}

}  // namespace

Owned submitted(Borrowed job_id, Borrowed remote_job_dir) {
    Owned result = head(true, bridge::str_from("submitted"), job_id);
    bridge::dict_set(result, "remote_job_dir", remote_job_dir);
    bridge::dict_set(result, "message", concat({"Job submitted with ID: ", job_id}));
    return result;
}

Owned held(Borrowed state, Borrowed job_id) {
    Owned lower = bridge::call_method(state, name(N::lower));
    Owned result = head(true, lower, job_id);
    bridge::dict_set(result, "message", concat({"Job is ", lower}));
    return result;
}

Owned ended(Borrowed lower_state, Borrowed job_id) {
    Owned result = head(false, lower_state, job_id);
    bridge::dict_set(result, "message",
                     concat({"Previous job ", lower_state, ". Set 'Force Resubmit' to try again."}));
    return result;
}

Owned completed(Borrowed job_id, Borrowed data, Borrowed skipped) {
    Owned message = bridge::str_from("Job completed, results retrieved");
    if (bridge::truthy(skipped))
        message = concat({message, " (", bridge::str(bridge::integer(bridge::length(skipped))), " large files skipped)"});
    Owned result = head(true, bridge::str_from("completed"), job_id);
    bridge::dict_set(result, "message", message);
    bridge::dict_set(result, "data", data);
    return result;
}

}  // namespace clusterlane::results
