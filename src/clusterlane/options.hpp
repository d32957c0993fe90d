// Reading the cluster options, in one place: a value of an options dict (or
// of a profile, a summary, any mapping), and the node's own option values in
// flow_vars, which are the legacy source of the cluster options and the
// fall-back of the flags.
#pragma once

#include "runtime.hpp"

namespace clusterlane {

// mapping.get(key, fallback); an exact dict is read directly.
Owned option(Borrowed mapping, const char* key, Borrowed fallback = bridge::none());

// How the node's own option entry in flow_vars is taken.
enum class Legacy {
    // A host parameter object: its get_value() is the value; any other
    // entry fails (AttributeError).
    parameter,
    // A parameter object stands for its get_value(), a plain value for itself.
    parameter_or_value,
};

// The node's own value of option `key`: `fallback` when flow_vars has no
// such entry, else the entry taken as `entry` says.
Owned legacy_option(Borrowed flow_vars, const char* key, Legacy entry, Borrowed fallback = {});

// How a flag option is reported when the options dict leaves it unset.
enum class Flag {
    // The truth value (a bool) of the node's own option, False without one.
    truth_value,
    // The node's own option when it is truthy: a parameter object's
    // get_value() as it is, a plain value as True; otherwise the options
    // dict's (falsy) value, False without one.
    own_value,
};

// A flag option: the value of `key` in the options dict, as found there,
// when it is truthy; otherwise the node's own option, taken as `form` says.
// `hpc_options` may be None.
Owned option_flag(Borrowed flow_vars, Borrowed hpc_options, const char* key, Flag form);

}  // namespace clusterlane
