#include "host.hpp"

#include "bridge/module.hpp"
#include "bridge/runtime.hpp"

#include <memory>

namespace host {

namespace {

// The names this file interns, as a module declares its own (runtime.hpp).
#define HOST_NAMES(X) X(logger) X(node) X(parameters) X(log_message) X(level)
BRIDGE_NAMES(Name, HOST_NAMES);

struct Names {
    bridge::NameTable<Name_texts.size()> table;
    Owned log_message_fromlist;  // ("log_message",)
    // The absolute name of the logger sibling ("zentrel_core.logger"), once
    // the module's package is known.  Each extension module carries its own
    // copy of this file and is loaded once, so this is the one module's own.
    Owned logger_name;
};

// Interned on first use and kept for the life of the process: deliberately
// never released, as the modules' own runtimes (bridge/runtime.hpp).
Names& names() {
    static Names* names = [] {
        auto built = std::make_unique<Names>();
        built->table.init(Name_texts);
        built->log_message_fromlist = bridge::tuple_of(built->table[static_cast<size_t>(Name::log_message)]);
        return built.release();
    }();
    return *names;
}

Borrowed name(Name n) { return names().table[static_cast<size_t>(n)]; }

Borrowed module_name(Sibling sibling) {
    switch (sibling) {
        case Sibling::logger: return name(Name::logger);
        case Sibling::node: return name(Name::node);
        case Sibling::parameters: return name(Name::parameters);
    }
    return {};
}

// The import statement's route for a level-1 import: the package is taken
// from the importing module's __package__ / __spec__ / __name__.
Owned import_sibling(Borrowed module, Sibling sibling, Borrowed fromlist) {
    return bridge::import_relative(module, module_name(sibling), fromlist);
}

// `from .logger import log_message`.  The import statement resolves the
// package from the module's __package__ on every run; here that is done once,
// on the first call, and later calls import the absolute name it gave, as
// `from zentrel_core.logger import log_message` would.  While __package__ is
// not a non-empty str the relative import runs as it is.
Owned import_log_message(Borrowed module) {
    Names& n = names();
    if (!n.logger_name) {
        Owned package = bridge::getattr_optional(module, bridge::intern("__package__"));
        if (package && PyUnicode_Check(package.get()) && bridge::text_length(package) > 0)
            n.logger_name = bridge::concat({package, ".", name(Name::logger)});
    }
    Owned logger = n.logger_name ? bridge::import_from(n.logger_name, n.log_message_fromlist)
                                 : import_sibling(module, Sibling::logger, n.log_message_fromlist);
    return bridge::import_name(logger, name(Name::log_message));
}

Owned find_log_message(Borrowed module, LogRoute route) {
    if (route == LogRoute::bound_at_import) return bridge::module_global(module, name(Name::log_message));
    return import_log_message(module);
}

}  // namespace

void bind_from(Borrowed module, Sibling sibling, std::initializer_list<const char*> names) {
    Owned fromlist = bridge::interned_tuple(names);
    bridge::bind_from(module, import_sibling(module, sibling, fromlist), names);
}

void log_message(Borrowed module, LogRoute route, Borrowed text, Borrowed level) {
    Owned log_message_fn = find_log_message(module, route);
    if (!level) bridge::call(log_message_fn, text);
    else if (route == LogRoute::imported_per_call) bridge::call(log_message_fn, text, level);
    else bridge::call(log_message_fn, {text}, {{name(Name::level), level}});
}

void raise_node_exception(Borrowed node_exception_type, Borrowed origin, Borrowed message) {
    bridge::raise(bridge::call(node_exception_type, origin, message));
}

}  // namespace host
