#include "support.hpp"

#include "bridge/statements.hpp"
#include "host/host.hpp"

#include <string>
#include <string_view>

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

Owned error_text(Borrowed error) {
    Owned text = bridge::str(error);
    if (PyUnicode_GET_LENGTH(text.get()) > 0) return text;
    return bridge::type_short_name(error);
}

Owned redact_profile(Borrowed profile) {
    if (!PyDict_Check(profile.get())) return Owned::ref(profile.get());
    Owned key = bridge::str_from("keyPassphrase");
    Borrowed secret = bridge::dict_get(profile, key);
    if (!secret || !bridge::truthy(secret)) return Owned::ref(profile.get());
    Owned copy = bridge::check(PyDict_Copy(profile.get()));
    bridge::dict_set(copy, key, bridge::str_from("***"));
    return copy;
}

Owned redact_options(Borrowed options) {
    if (!PyDict_Check(options.get())) return Owned::ref(options.get());
    Owned key = bridge::str_from("hpc_profile");
    Borrowed profile = bridge::dict_get(options, key);
    if (!profile) return Owned::ref(options.get());
    Owned redacted = redact_profile(profile);
    if (redacted.get() == profile.get()) return Owned::ref(options.get());
    Owned copy = bridge::check(PyDict_Copy(options.get()));
    bridge::dict_set(copy, key, redacted);
    return copy;
}

Owned parameter_value(Borrowed value) {
    if (!bridge::hasattr(value, name(N::get_value))) return Owned::ref(value.get());
    return bridge::call_method(value, name(N::get_value));
}

Owned remote_job_dir(Borrowed work_dir, Borrowed self) {
    return bridge::concat({bridge::str(work_dir), "/job_", bridge::str(bridge::getattr(self, name(N::node_id)))});
}

Owned run_result(bool success, Borrowed status, Borrowed job_id) {
    return bridge::dict_of({{"success", bridge::boolean(success)}, {"remote_job_status", status},
                            {"remote_job_id", job_id}});
}

Owned mask_passphrases(Borrowed text) {
    // Encoded with surrogatepass so that any str round-trips; the markers and
    // quotes are ASCII and never part of a multi-byte sequence.
    Owned bytes = bridge::check(PyUnicode_AsEncodedString(text.get(), "utf-8", "surrogatepass"));
    const std::string_view in(PyBytes_AS_STRING(bytes.get()), static_cast<size_t>(PyBytes_GET_SIZE(bytes.get())));
    std::string out;
    size_t copied = 0;  // in[0, copied) is already in out
    bool changed = false;
    for (size_t at = 0; at < in.size();) {
        size_t value = std::string_view::npos;
        for (std::string_view marker : {std::string_view("'keyPassphrase': "), std::string_view("\"keyPassphrase\": ")})
            if (in.compare(at, marker.size(), marker) == 0) value = at + marker.size();
        if (value == std::string_view::npos || value >= in.size() || (in[value] != '\'' && in[value] != '"')) {
            ++at;
            continue;
        }
        const char quote = in[value];
        size_t end = value + 1;
        while (end < in.size() && in[end] != quote) end += in[end] == '\\' ? 2 : 1;
        if (end >= in.size()) break;  // no closing quote: not a quoted text
        out.append(in, copied, value - copied).append("'***'");
        copied = at = end + 1;
        changed = true;
    }
    if (!changed) return Owned::ref(text.get());
    out.append(in, copied, std::string_view::npos);
    return bridge::check(PyUnicode_DecodeUTF8(out.data(), static_cast<Py_ssize_t>(out.size()), "surrogatepass"));
}

Owned json_dumps(Borrowed value) {
    return bridge::call_method(global(N::json), name(N::dumps), value);
}

}  // namespace clusterlane
