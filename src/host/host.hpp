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

// `from .<sibling> import <names...>` run by the code of `module`, binding
// each name in the module namespace, in order.  ImportError when the
// sibling cannot be imported or lacks a name.
void bind_from(Borrowed module, Sibling sibling, std::initializer_list<const char*> names);

// Where a module finds the host's log_message, and how it hands it the level.
enum class LogRoute {
    // The log_message that `from .logger import log_message` bound in the
    // module namespace at import, looked up there at each call (a replacement
    // assigned to the module attribute is the one called); the level goes by
    // keyword: log_message(text, level=level).
    bound_at_import,
    // `from .logger import log_message` run at each call; the level goes as
    // second positional argument: log_message(text, level).
    imported_per_call,
};

// One line to the host log, by the module's route; without a level (null)
// log_message(text) leaves the level to the host's default.  The result is
// ignored; exceptions propagate.
void log_message(Borrowed module, LogRoute route, Borrowed text, Borrowed level = {});

// Raises NodeException(origin, message) with two positional arguments.
[[noreturn]] void raise_node_exception(Borrowed node_exception_type, Borrowed origin, Borrowed message);

}  // namespace host
