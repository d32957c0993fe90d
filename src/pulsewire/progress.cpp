// post_with_progress: an HTTP POST on a background daemon thread while the
// calling thread streams a progress line every update_interval seconds, so
// the user sees the wait instead of silence.  The caller gets the response
// object, or the request's own exception once the thread has ended.
#include "functions.hpp"

#include "bridge/background.hpp"
#include "bridge/statements.hpp"

#include <memory>

namespace pulsewire::functions {

namespace {

using bridge::concat;
using bridge::DefaultValue;
using bridge::Param;

// What the request thread closes over: the request, and what came of it
// (null until then).
struct Request {
    Owned requests;
    Owned url;
    Owned json;
    Owned headers;
    Owned timeout;
    Owned response;
    Owned error;
};

constexpr std::array<Param, 0> kNoParams{};
using RequestArgs = bridge::Args<kNoParams>;

// The body of the request thread: stores the response, or the exception
// of the Exception hierarchy that the request raised.  It logs nothing.
Owned do_request_body(const RequestArgs& args) {
    Request& r = bridge::unbox<Request>(args.closure());
    bridge::try_except(
        [&] {
            Owned post = bridge::getattr(r.requests, name(N::post));
            r.response = bridge::call(post, {r.url},
                                      {{name(N::json), r.json}, {name(N::headers), r.headers}, {name(N::timeout), r.timeout}});
        },
        PyExc_Exception, [&](Borrowed error) { r.error = Owned::ref(error.get()); });
    return bridge::none();
}

const bridge::FunctionSpec do_request = bridge::function<kNoParams, do_request_body>({
    .name = "_do_request",
    .doc = nullptr,
});

bool is_alive(Borrowed thread) { return bridge::truthy(bridge::call_method(thread, name(N::is_alive))); }

bool is_zero(Borrowed number) { return bridge::equal(number, bridge::integer(0)); }

// 30 -> "30s", 60 -> "1m00s", 605 -> "10m05s".
Owned elapsed_text(Borrowed elapsed) {
    auto [minutes, seconds] = bridge::unpack<2>(bridge::divmod(elapsed, bridge::integer(60)));
    if (is_zero(minutes)) return concat({bridge::str(seconds), "s"});
    Owned padded = bridge::format(seconds, bridge::str_from("02d"));
    return concat({bridge::str(minutes), "m", padded, "s"});
}

constexpr Param int_param(const char* param_name, DefaultValue default_value = DefaultValue::required()) {
    return {param_name, bridge::ArgType::Int, false, default_value, "int"};
}

constexpr Param kParams[] = {
    bridge::str_param("url"),
    bridge::dict_param("json"),
    bridge::dict_param("headers"),
    int_param("timeout"),
    bridge::str_param("node_id"),
    bridge::str_param("service_name"),
    {"cold_start_hint", bridge::ArgType::Str, false, DefaultValue::str(""), "str"},
    int_param("progress_value", DefaultValue::integer(10)),
    int_param("update_interval", DefaultValue::integer(30)),
};

using Args = bridge::Args<kParams>;

void send_progress_line(const Args& args, Borrowed elapsed) {
    Borrowed hint = args.get<"cold_start_hint">();
    Owned hint_text = bridge::text_length(hint) > 0 ? concat({" (", hint, ")"}) : bridge::str_from("");
    Owned message = concat({"Waiting for ", args.get<"service_name">(), " response... ", elapsed_text(elapsed),
                            " elapsed", hint_text});
    bridge::call(global(N::stream_log), {message},
                 {{name(N::node_id), args.get<"node_id">()}, {name(N::progress), args.get<"progress_value">()}});
}

// A zero or negative interval would make the wait loop below spin without
// waiting and flood the log with progress lines.
void check_interval(Borrowed interval) {
    Owned one = bridge::integer(1);
    if (bridge::compare(interval, bridge::Order::less, one))
        bridge::raise(PyExc_ValueError, "update_interval must be at least 1 second");
}

// The thread type is looked up in the module's `threading` at each call.
Owned start_request_thread(const Args& args, Borrowed request) {
    Owned thread_type = bridge::getattr(global(N::threading), name(N::Thread));
    return bridge::start_daemon_thread({.thread_type = thread_type,
                                        .function_type = runtime().function_type,
                                        .target = do_request,
                                        .module = args.module(),
                                        .closure = request,
                                        .owner = "post_with_progress.<locals>"});
}

Owned post_with_progress_body(const Args& args) {
    Borrowed interval = args.get<"update_interval">();
    check_interval(interval);
    Owned requests = bridge::import("requests");
    Owned request = bridge::box(std::make_unique<Request>(
        Request{requests, Owned::ref(args.get<"url">().get()), Owned::ref(args.get<"json">().get()),
                Owned::ref(args.get<"headers">().get()), Owned::ref(args.get<"timeout">().get()), {}, {}}));
    Owned thread = start_request_thread(args, request);

    // Thread.join(timeout) waits with the GIL released; elapsed counts the
    // intervals waited, it is not a clock reading.
    Owned elapsed = bridge::integer(0);
    while (is_alive(thread)) {
        bridge::call(bridge::getattr(thread, name(N::join)), {}, {{name(N::timeout), interval}});
        if (!is_alive(thread)) break;
        elapsed = bridge::add(elapsed, interval);
        send_progress_line(args, elapsed);
    }

    // The request's exception is raised here the way a raise statement
    // does: its traceback is kept and, when the caller is handling another
    // exception, that one becomes its __context__.
    const Request& r = bridge::unbox<Request>(request);
    if (r.error) bridge::raise(r.error);
    return r.response ? r.response : bridge::none();
}

}  // namespace

const bridge::FunctionSpec post_with_progress = bridge::function<kParams, post_with_progress_body>({
    .name = "post_with_progress",
    .doc = "HTTP POST with periodic progress updates streamed to the UI.\n"
    "\n"
    "Runs requests.post(url, json=json, headers=headers, timeout=timeout) on a\n"
    "background daemon thread and, while waiting, streams a line such as\n"
    "\"Waiting for <service_name> response... 1m30s elapsed (<cold_start_hint>)\"\n"
    "every update_interval seconds with the given progress value.  Returns the\n"
    "response whatever its status, or raises the exception the request raised.",
});

}  // namespace pulsewire::functions
