// Helpers every clusterlane method uses: the host log, the node's logging
// hook, NodeException, and json.dumps through the module's own `json`.
#pragma once

#include "runtime.hpp"

#include <initializer_list>

namespace clusterlane {

using bridge::Kw;

// log_message(text) through the module's `log_message`.
void log(Borrowed text);
// log_message(text, level=level)
void log(Borrowed text, const char* level);
void log(Borrowed text, Borrowed level);

// self._hpc_log(level, message, **metadata), the metadata in the given order.
void hpc_log(Borrowed self, const char* level, Borrowed message, std::initializer_list<Kw> metadata = {});

[[noreturn]] void raise_node_exception(const char* origin, Borrowed message);
[[noreturn]] void raise_node_exception(Borrowed origin, Borrowed message);

// The text of a caught exception for a message: str(error), or the name of
// its type when that is empty (EOFError(), say).
Owned error_text(Borrowed error);

// For log lines only: the profile dict with a non-empty "keyPassphrase"
// replaced by '***' (a copy; the caller's dict is untouched).  Anything else
// comes back as it is.
Owned redact_profile(Borrowed profile);
// The same for an HPC options dict holding such a profile under "hpc_profile".
Owned redact_options(Borrowed options);

// For log lines only: the text with the quoted value after each
// 'keyPassphrase': (or "keyPassphrase": ) shown as '***'.  The value is the
// repr of a str, single- or double-quoted, with backslash escapes.  Catches
// what redact_profile cannot see: wrappers whose text shows their value,
// other mappings, nested dicts.
Owned mask_passphrases(Borrowed text);

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

// The head of every run result: success, remote_job_status, remote_job_id.
Owned run_result(bool success, Borrowed status, Borrowed job_id);

}  // namespace clusterlane
