// How our C++ reaches the engine's sibling modules: zentrel_core.logger
// (log_message), zentrel_core.node (Node, NodeException, NodeResult) and
// zentrel_core.parameters (the option parameter classes).
#pragma once

#include "bridge/object.hpp"

#include <initializer_list>

namespace host {

using bridge::Borrowed;
using bridge::Owned;

// `from .<submodule> import <names...>` relative to the package of `module`,
// binding each name in the module namespace, in order.
void bind_from_sibling(Borrowed module, const char* submodule, std::initializer_list<const char*> names);

// `from <absolute_module> import <name>`; the value, not bound anywhere.
Owned import_name(const char* absolute_module, const char* name);

// log_message(text) with the host's default level.
void log_message(Borrowed log_message_fn, Borrowed text);
// log_message(text, level=level)
void log_message(Borrowed log_message_fn, Borrowed text, Borrowed level_keyword, const char* level);

// Raises NodeException(origin, message) with two positional arguments.
[[noreturn]] void raise_node_exception(Borrowed node_exception_type, Borrowed origin, Borrowed message);

}  // namespace host
