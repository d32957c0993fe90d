#include "classdef.hpp"

namespace bridge {

namespace {

// The metaclass a class statement would pick: the most derived type(base).
Borrowed winning_metaclass(Borrowed bases) {
    PyTypeObject* winner = &PyType_Type;
    const Py_ssize_t count = tuple_size(bases);
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyTypeObject* candidate = Py_TYPE(tuple_item(bases, i).get());
        if (PyType_IsSubtype(winner, candidate)) continue;
        if (PyType_IsSubtype(candidate, winner)) {
            winner = candidate;
            continue;
        }
        raise(PyExc_TypeError,
              "metaclass conflict: the metaclass of a derived class must be a (non-strict) subclass of the "
              "metaclasses of all its bases");
    }
    return reinterpret_cast<PyObject*>(winner);
}

}  // namespace

Owned build_class(const ClassDef& def) {
    Borrowed meta = winning_metaclass(def.bases);
    Owned name = str_from(def.name);
    Owned ns = call_method(meta, intern("__prepare__"), name, def.bases);
    auto set_item = [&](const char* key, Borrowed value) {
        check_status(PyObject_SetItem(ns.get(), intern(key).get(), value.get()));
    };
    set_item("__module__", def.module_name);
    set_item("__qualname__", str_from(def.qualname).borrow());
    set_item("__doc__", str_from(def.doc).borrow());
    for (const ClassEntry& entry : def.body) set_item(entry.name, entry.value);
    return call(meta, name, def.bases, ns);
}

}  // namespace bridge
