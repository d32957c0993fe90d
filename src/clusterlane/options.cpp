#include "options.hpp"

#include "support.hpp"

namespace clusterlane {

Owned option(Borrowed mapping, const char* key, Borrowed fallback) {
    return bridge::mapping_get(mapping, bridge::str_from(key), fallback, name(N::get));
}

Owned legacy_option(Borrowed flow_vars, const char* key, Legacy entry, Borrowed fallback) {
    Owned k = bridge::str_from(key);
    if (!bridge::contains(flow_vars, k)) return Owned::ref(fallback.get());
    Owned value = bridge::get_item(flow_vars, k);
    if (entry == Legacy::parameter) return bridge::call_method(value, name(N::get_value));
    return parameter_value(value);
}

Owned option_flag(Borrowed flow_vars, Borrowed hpc_options, const char* key, Flag form) {
    Owned flag = bridge::boolean(false);
    if (!hpc_options.is_none() && bridge::truthy(hpc_options)) flag = option(hpc_options, key, flag);
    if (bridge::truthy(flag)) return flag;
    Owned own = option(flow_vars, key, bridge::boolean(false));
    if (form == Flag::truth_value) return bridge::boolean(bridge::truthy(parameter_value(own)));
    if (!bridge::truthy(own)) return flag;
    if (!bridge::hasattr(own, name(N::get_value))) return bridge::boolean(true);
    return bridge::call_method(own, name(N::get_value));
}

}  // namespace clusterlane
