// Helpers every clusterlane method uses: the cluster log (see
// cluster_log.hpp), NodeException, json.dumps and os.path through the
// module's own `json` and `os`, texts of values and errors, and the job
// directory.
#pragma once

#include "cluster_log.hpp"
#include "runtime.hpp"

#include <string_view>

namespace clusterlane {

// The node's state file is kStateFilePrefix + node ID + kStateFileSuffix in
// the working directory; its lock file adds kLockFileSuffix.
inline constexpr std::string_view kStateFilePrefix = ".zentrel_hpc_";
inline constexpr std::string_view kStateFileSuffix = ".json";
inline constexpr std::string_view kLockFileSuffix = ".lock";

[[noreturn]] void raise_node_exception(const char* origin, Borrowed message);
[[noreturn]] void raise_node_exception(Borrowed origin, Borrowed message);

// str(value), or null when that raises (an Exception) or gives no text.
Owned text_of(Borrowed value);

// The text of a caught exception for a message: str(error), or the name of
// its type when that is empty (EOFError(), say) or cannot be formed (its
// __str__ raises or returns no text).
Owned error_text(Borrowed error);

// json.dumps(value) with the serialiser's defaults.
Owned json_dumps(Borrowed value);

// self.<attr>(args...) through the instance, so a subclass override is used.
template <class... A>
Owned call_self(Borrowed self, N method, const A&... args) {
    return bridge::call_method(self, name(method), args...);
}

// os.path.<function>(args...) through the module's `os`.
template <class... A>
Owned os_path(N function, const A&... args) {
    return bridge::call_method(bridge::getattr(global(N::os), name(N::path)), name(function), args...);
}

// A host parameter object (anything with get_value) stands for its value.
Owned parameter_value(Borrowed value);

// The node's one job directory on the cluster: "<work dir>/job_<node_id>".
Owned remote_job_dir(Borrowed work_dir, Borrowed self);

}  // namespace clusterlane
