// What every part of the pulsewire module shares: the interned names it uses,
// the standard-library callables bound at import, the native function type and
// the module object whose namespace holds the names bound at import (json, os,
// _context, logger, ...).
#pragma once

#include "bridge/module.hpp"
#include "bridge/runtime.hpp"

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
    X(is_alive) X(join) X(progress) X(now)                                     \
    X(utc) X(isoformat) X(replace) X(timestamp) X(source) X(level) X(message) X(component) X(metadata)         \
    X(local) X(getLogger) X(REDIS_HOST) X(REDIS_PORT) X(localhost) X(redis)

BRIDGE_NAMES(N, PULSEWIRE_NAMES);

// The standard-library objects every stream_log and publication uses, bound
// once at import.  The names the module namespace shows (json, os, datetime,
// timezone, logger) are the same objects; assigning to them does not change
// these.
struct Bound {
    Owned now;              // datetime.now
    Owned utc;              // timezone.utc
    Owned utc_offset;       // "+00:00", the offset isoformat() writes for UTC
    Owned zulu;             // "Z", the offset the log entry writes
    Owned dumps;            // json.dumps
    bridge::KeywordNames dumps_keywords;         // (default=...) of json.dumps
    bridge::KeywordNames redis_keywords;         // of redis.Redis(...), with retry=
    bridge::KeywordNames redis_keywords_default; // the same without retry=
    Owned getenv;           // os.getenv
    Owned channel;          // "zentrel:logs", the channel entries are published on
    Owned default_port;     // "18003", the port without REDIS_PORT
    bridge::FromImport no_backoff;  // from redis.backoff import NoBackoff
    bridge::FromImport retry;       // from redis.retry import Retry
    Owned logger;           // logging.getLogger("zentrel_core.pulsewire")
};

using Runtime = bridge::ModuleRuntime<N, Bound>;

inline Runtime& runtime() noexcept { return Runtime::get(); }
inline Borrowed name(N n) noexcept { return runtime().name(n); }
inline Owned global(N n) { return runtime().global(n); }
inline const Bound& bound() noexcept { return runtime().state; }

}  // namespace pulsewire
