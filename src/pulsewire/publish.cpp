// _publish_to_redis: one log entry as JSON text on the Pub/Sub channel
// "zentrel:logs", over a short-lived redis-py connection.  Publication is best
// effort: every failure becomes False plus a DEBUG record on the module
// logger, so a node keeps running while Redis is down.
#include "functions.hpp"

#include "bridge/module.hpp"
#include "bridge/statements.hpp"

namespace pulsewire::functions {

namespace {

using bridge::Param;

void debug(Borrowed text) { bridge::call_method(bound().logger, name(N::debug), text); }

// Retry(NoBackoff(), 0): a policy that never retries.  A redis-py without
// these classes still publishes, with its own default policy.
Owned no_retry_policy() {
    return bridge::try_except(
        [] {
            Owned no_backoff = bound().no_backoff();
            Owned retry = bound().retry();
            return bridge::call(retry, bridge::call(no_backoff), bridge::integer(0));
        },
        PyExc_Exception, [](Borrowed) { return Owned(); });
}

// os.getenv(key, fallback), read on every call.
Owned getenv(N key, Borrowed fallback) { return bridge::call(bound().getenv, name(key), fallback); }

Owned connect(Borrowed redis) {
    Owned host = getenv(N::REDIS_HOST, name(N::localhost));
    Owned port = bridge::int_of(getenv(N::REDIS_PORT, bound().default_port));
    Owned retry = no_retry_policy();
    Owned timeout = global(N::_CONNECT_TIMEOUT_S);
    Owned redis_type = bridge::getattr(redis, name(N::Redis));
    Owned resp2 = bridge::integer(2);
    Owned decode = bridge::boolean(true);
    // The retry keyword is left out when the no-retry policy is not available.
    if (!retry)
        return bridge::call(redis_type, {}, bound().redis_keywords_default,
                            {host, port, decode, timeout, timeout, resp2});
    return bridge::call(redis_type, {}, bound().redis_keywords, {host, port, decode, timeout, timeout, retry, resp2});
}

// json.dumps(entry, default=str): anything the encoder cannot represent is
// written as its str() text.
Owned encode(Borrowed entry) {
    return bridge::call(bound().dumps, {entry}, bound().dumps_keywords, {bridge::str_type()});
}

void publish(Borrowed entry) {
    Owned redis = bridge::import(name(N::redis));
    Owned client = connect(redis);
    Owned payload = encode(entry);
    bridge::call_method(client, name(N::publish), bound().channel, payload);
    bridge::call_method(client, name(N::close));
}

constexpr Param kParams[] = {bridge::dict_param("log_entry", "Dict[str, Any]")};

Owned publish_body(const bridge::Args<kParams>& args) {
    auto published = [&] {
        publish(args.get<"log_entry">());
        return bridge::boolean(true);
    };
    return bridge::try_except(published, PyExc_Exception, [](Borrowed error) {
        if (bridge::error_matches(error, PyExc_ImportError))
            debug(bridge::str_from("redis-py not available for log streaming"));
        else
            debug(bridge::concat({"Failed to publish log to Redis: ", bridge::str(error)}));
        return bridge::boolean(false);
    });
}

}  // namespace

const bridge::FunctionSpec publish_to_redis = bridge::function<kParams, publish_body>({
    .name = "_publish_to_redis",
    .doc = "Publish a log entry to Redis for real-time streaming.\n"
    "\n"
    "Opens a short-lived connection to REDIS_HOST (default \"localhost\") and\n"
    "REDIS_PORT (default 18003), both read on every call, publishes the entry as\n"
    "JSON on the \"zentrel:logs\" channel and closes it.  Returns True on success\n"
    "and False on any failure, which it reports as a DEBUG record on the logger\n"
    "\"zentrel_core.pulsewire\"; never raises for a publication problem.",
    .return_annotation = "bool",
    .result = bridge::ResultType::Bool,
});

}  // namespace pulsewire::functions
