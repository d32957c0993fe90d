// The module-level functions of zentrel_core.pulsewire, one FunctionSpec
// each, defined in the file of their concern:
//   context.cpp   set_stream_context, get_stream_context, clear_stream_context
//   publish.cpp   _publish_to_redis
//   stream.cpp    stream_log
//   progress.cpp  post_with_progress
#pragma once

#include "runtime.hpp"

namespace pulsewire::functions {

extern const bridge::FunctionSpec set_stream_context;
extern const bridge::FunctionSpec get_stream_context;
extern const bridge::FunctionSpec clear_stream_context;
extern const bridge::FunctionSpec publish_to_redis;
extern const bridge::FunctionSpec stream_log;
extern const bridge::FunctionSpec post_with_progress;

// The identifiers of the stream context, in the order of the context
// functions' parameters and of the log entry's keys.
inline constexpr N kContextKeys[] = {N::node_id, N::workflow_id, N::job_id};

// A str parameter that may be None, None by default.
constexpr bridge::Param optional_str(const char* param_name) {
    return {param_name, bridge::ArgType::Str, true, bridge::DefaultValue::none(), "str | None"};
}

}  // namespace pulsewire::functions
