#include "host.hpp"

namespace host {

namespace {

const char* module_name(Sibling sibling) noexcept {
    switch (sibling) {
        case Sibling::logger: return "logger";
        case Sibling::node: return "node";
        case Sibling::parameters: return "parameters";
    }
    return "";
}

// The import statement's route for a level-1 import: the package is taken
// from the importing module's __package__ / __spec__ / __name__.
Owned import_sibling(Borrowed module, Sibling sibling, Borrowed fromlist) {
    Owned name = bridge::intern(module_name(sibling));
    Borrowed globals = PyModule_GetDict(module.get());
    return bridge::check(PyImport_ImportModuleLevelObject(name.get(), globals.get(), nullptr, fromlist.get(), 1));
}

Owned take(Borrowed imported, Borrowed name) {
    if (Owned value = bridge::getattr_optional(imported, name)) return value;
    Owned imported_name = bridge::getattr(imported, bridge::intern("__name__"));
    bridge::raise_format(PyExc_ImportError, "cannot import name '%U' from '%U'", name.get(), imported_name.get());
}

}  // namespace

Owned import_from(Borrowed module, Sibling sibling, Borrowed name) {
    return take(import_sibling(module, sibling, bridge::tuple_of(name)), name);
}

void bind_from(Borrowed module, Sibling sibling, std::initializer_list<const char*> names) {
    Owned fromlist = bridge::check(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
    Py_ssize_t i = 0;
    for (const char* n : names) PyTuple_SET_ITEM(fromlist.get(), i++, bridge::intern(n).release());
    Owned imported = import_sibling(module, sibling, fromlist);
    for (const char* n : names)
        bridge::check_status(PyModule_AddObjectRef(module.get(), n, take(imported, bridge::intern(n)).get()));
}

void log_message(Borrowed log_message_fn, Borrowed text) { bridge::call(log_message_fn, text); }

void log_message(Borrowed log_message_fn, Borrowed text, Borrowed level_keyword, const char* level) {
    bridge::call(log_message_fn, {text}, {{level_keyword, bridge::str_from(level)}});
}

void raise_node_exception(Borrowed node_exception_type, Borrowed origin, Borrowed message) {
    Owned exc = bridge::call(node_exception_type, origin, message);
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
    bridge::throw_error();
}

}  // namespace host
