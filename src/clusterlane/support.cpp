#include "support.hpp"

#include "bridge/statements.hpp"
#include "host/host.hpp"

namespace clusterlane {

void log(Borrowed text) { host::log_message(global(N::log_message), text); }

void log(Borrowed text, const char* level) {
    host::log_message(global(N::log_message), text, name(N::level), level);
}

void log(Borrowed text, Borrowed level) {
    bridge::call(global(N::log_message), {text}, {{name(N::level), level}});
}

void hpc_log(Borrowed self, const char* level, Borrowed message, std::initializer_list<Kw> metadata) {
    Owned method = bridge::getattr(self, name(N::_hpc_log));
    bridge::call(method, {bridge::str_from(level), message}, metadata);
}

void raise_node_exception(const char* origin, Borrowed message) {
    raise_node_exception(bridge::str_from(origin), message);
}

void raise_node_exception(Borrowed origin, Borrowed message) {
    host::raise_node_exception(global(N::NodeException), origin, message);
}

Owned redact_profile(Borrowed profile) {
    if (!PyDict_Check(profile.get())) return Owned::ref(profile);
    Owned key = bridge::str_from("keyPassphrase");
    Borrowed secret = bridge::dict_get(profile, key);
    if (!secret || !bridge::truthy(secret)) return Owned::ref(profile);
    Owned copy = bridge::check(PyDict_Copy(profile));
    bridge::dict_set(copy, key, bridge::str_from("***"));
    return copy;
}

Owned redact_options(Borrowed options) {
    if (!PyDict_Check(options.get())) return Owned::ref(options);
    Owned key = bridge::str_from("hpc_profile");
    Borrowed profile = bridge::dict_get(options, key);
    if (!profile) return Owned::ref(options);
    Owned redacted = redact_profile(profile);
    if (redacted.get() == profile.get()) return Owned::ref(options);
    Owned copy = bridge::check(PyDict_Copy(options));
    bridge::dict_set(copy, key, redacted);
    return copy;
}

Owned parameter_value(Borrowed value) {
    if (!bridge::hasattr(value, name(N::get_value))) return Owned::ref(value);
    return bridge::call_method(value, name(N::get_value));
}

Owned remote_job_dir(Borrowed work_dir, Borrowed self) {
    return bridge::concat({bridge::str(work_dir), "/job_", bridge::str(bridge::getattr(self, name(N::node_id)))});
}

Owned run_result(bool success, Borrowed status, Borrowed job_id) {
    return bridge::dict_of({{"success", bridge::boolean(success)}, {"remote_job_status", status},
                            {"remote_job_id", job_id}});
}

Owned json_dumps(Borrowed value) {
    return bridge::call_method(global(N::json), name(N::dumps), value);
}

}  // namespace clusterlane
