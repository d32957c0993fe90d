#include "options.hpp"

#include "support.hpp"

namespace clusterlane {

Owned option(Borrowed mapping, const char* key, Borrowed fallback) {
    return bridge::mapping_get(mapping, bridge::str_from(key), fallback, name(N::get));
}

Owned legacy_option(Borrowed flow_vars, const char* key, Legacy entry, Borrowed fallback) {
    Owned k = bridge::str_from(key);
    if (!bridge::check_status(PySequence_Contains(flow_vars.get(), k.get()))) return Owned::ref(fallback.get());
    Owned value = bridge::check(PyObject_GetItem(flow_vars.get(), k.get()));
    if (entry == Legacy::parameter) return bridge::call_method(value, name(N::get_value));
    return parameter_value(value);
}

Owned option_flag(Borrowed flow_vars, Borrowed hpc_options, const char* key) {
    if (!hpc_options.is_none()) {
        Owned flag = option(hpc_options, key, bridge::boolean(false));
        if (bridge::truthy(flag)) return flag;
    }
    Owned legacy = legacy_option(flow_vars, key, Legacy::parameter_or_value);
    return bridge::boolean(legacy && bridge::truthy(legacy));
}

}  // namespace clusterlane
