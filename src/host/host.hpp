// How our C++ reaches the engine's sibling modules: logger (log_message),
// node (Node, NodeException, NodeResult) and parameters (the option
// parameter classes).  Both modules import them relative to the package they
// were loaded into, as `from .logger import log_message` would, so a module
// file works in any zentrel_core package that provides the three modules.
#pragma once

#include "bridge/object.hpp"

#include <initializer_list>

namespace host {

using bridge::Borrowed;
using bridge::Owned;

enum class Sibling { logger, node, parameters };

// `from .<sibling> import <name>` run by the code of `module`: the value.
// ImportError when the sibling cannot be imported or lacks the name.
Owned import_from(Borrowed module, Sibling sibling, Borrowed name);

// `from .<sibling> import <names...>` run by the code of `module`, binding
// each name in the module namespace, in order.
void bind_from(Borrowed module, Sibling sibling, std::initializer_list<const char*> names);

// log_message(text) with the host's default level.
void log_message(Borrowed log_message_fn, Borrowed text);
// log_message(text, level=level)
void log_message(Borrowed log_message_fn, Borrowed text, Borrowed level_keyword, const char* level);

// Raises NodeException(origin, message) with two positional arguments.
[[noreturn]] void raise_node_exception(Borrowed node_exception_type, Borrowed origin, Borrowed message);

}  // namespace host
