#include "host.hpp"

namespace host {

void bind_from_sibling(Borrowed module, const char* submodule, std::initializer_list<const char*> names) {
    Owned fromlist = bridge::check(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
    Py_ssize_t i = 0;
    for (const char* n : names) PyTuple_SET_ITEM(fromlist.get(), i++, bridge::intern(n).release());
    Borrowed globals = PyModule_GetDict(module);
    Owned imported = bridge::check(
        PyImport_ImportModuleLevelObject(bridge::intern(submodule).get(), globals, nullptr, fromlist.get(), 1));
    for (const char* n : names) {
        Owned key = bridge::intern(n);
        Owned value = bridge::getattr_optional(imported, key);
        if (!value) {
            PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%U'", n,
                         bridge::getattr(imported, bridge::intern("__name__")).get());
            bridge::throw_error();
        }
        bridge::check_status(PyModule_AddObjectRef(module, n, value.get()));
    }
}

Owned import_name(const char* absolute_module, const char* name) {
    Owned key = bridge::intern(name);
    Owned fromlist = bridge::tuple_of(key);
    Owned imported = bridge::check(
        PyImport_ImportModuleLevelObject(bridge::str_from(absolute_module).get(), nullptr, nullptr, fromlist.get(), 0));
    Owned value = bridge::getattr_optional(imported, key);
    if (!value) {
        PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%s'", name, absolute_module);
        bridge::throw_error();
    }
    return value;
}

void log_message(Borrowed log_message_fn, Borrowed text) { bridge::call(log_message_fn, {text}); }

void log_message(Borrowed log_message_fn, Borrowed text, Borrowed level_keyword, const char* level) {
    bridge::call(log_message_fn, {text}, {{level_keyword, bridge::str_from(level)}});
}

void raise_node_exception(Borrowed node_exception_type, Borrowed origin, Borrowed message) {
    Owned exc = bridge::call(node_exception_type, {origin, message});
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
    bridge::throw_error();
}

}  // namespace host
