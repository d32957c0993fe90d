// NodeException, texts of values and errors, host parameters, json.dumps and
// the job directory.
#include "support.hpp"

#include "bridge/statements.hpp"
#include "host/host.hpp"

namespace clusterlane {

void raise_node_exception(const char* origin, Borrowed message) {
    raise_node_exception(bridge::str_from(origin), message);
}

void raise_node_exception(Borrowed origin, Borrowed message) {
    host::raise_node_exception(global(N::NodeException), origin, message);
}

Owned text_of(Borrowed value) {
    Owned text;
    if (!bridge::attempt([&] { text = bridge::str(value); })) return {};
    return text;
}

Owned error_text(Borrowed error) {
    Owned text = text_of(error);
    if (text && bridge::text_length(text) > 0) return text;
    return bridge::type_short_name(error);
}

Owned parameter_value(Borrowed value) {
    if (!bridge::hasattr(value, name(N::get_value))) return Owned::ref(value.get());
    return bridge::call_method(value, name(N::get_value));
}

Owned remote_job_dir(Borrowed work_dir, Borrowed self) {
    return bridge::concat({bridge::str(work_dir), "/job_", bridge::str(bridge::getattr(self, name(N::node_id)))});
}

Owned json_dumps(Borrowed value) {
    return bridge::call_method(global(N::json), name(N::dumps), value);
}

}  // namespace clusterlane
