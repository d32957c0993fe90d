// What every part of the pulsewire module shares: the interned names it uses,
// a few constant texts, the native function type and the module object whose
// namespace holds the names bound at import (json, os, _context, logger, ...).
//
// The module lives in one interpreter per process and is initialised once,
// so this state exists once per process and lives as long as the module.
#pragma once

#include "bridge/function.hpp"
#include "bridge/object.hpp"

#include <array>

namespace pulsewire {

using bridge::Borrowed;
using bridge::Kw;
using bridge::Owned;

// Every name the module interns.  Add a name here to use it as N::name.
#define PULSEWIRE_NAMES(X)                                                                                     \
    X(json) X(logging) X(os) X(threading) X(datetime) X(timezone) X(_context) X(logger) X(get_stream_context)  \
    X(_publish_to_redis) X(stream_log) X(_CONNECT_TIMEOUT_S) X(node_id) X(workflow_id) X(job_id) X(get)        \
    X(lower) X(debug) X(getenv) X(dumps) X(Redis) X(host) X(port) X(decode_responses) X(socket_connect_timeout) \
    X(socket_timeout) X(retry) X(protocol) X(publish) X(close) X(post) X(headers) X(timeout) X(Thread)         \
    X(target) X(daemon) X(start) X(is_alive) X(join) X(progress) X(log_message) X(NoBackoff) X(Retry) X(now)   \
    X(utc) X(isoformat) X(replace) X(timestamp) X(source) X(level) X(message) X(component) X(metadata)         \
    X(local) X(getLogger) X(REDIS_HOST) X(REDIS_PORT) X(localhost)

enum class N : size_t {
#define PULSEWIRE_NAME_ENUM(name) name,
    PULSEWIRE_NAMES(PULSEWIRE_NAME_ENUM)
#undef PULSEWIRE_NAME_ENUM
        count_
};

struct Runtime {
    bridge::NameTable<static_cast<size_t>(N::count_)> names;
    Owned function_type;
    Borrowed module;  // the module object (kept alive by the module guard)

    Owned channel;          // "zentrel:logs"
    Owned default_port;     // "18003"
    Owned utc_offset;       // "+00:00"
    Owned utc_suffix;       // "Z"
    Owned two_digits;       // "02d"
    Owned default_keyword;  // "default", a C++ keyword
};

// The runtime of the module; valid from the start of the module's exec on.
Runtime& runtime() noexcept;
void init_runtime(Borrowed module);
void reset_runtime() noexcept;

inline Borrowed name(N n) noexcept { return runtime().names[static_cast<size_t>(n)]; }

// A name bound in the module namespace, looked up at each use so that a
// replacement assigned to the module attribute is the one used.
Owned global(N n);

}  // namespace pulsewire
