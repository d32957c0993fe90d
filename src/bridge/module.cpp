#include "module.hpp"

#include "object.hpp"

namespace bridge {

namespace {

std::int64_t current_interpreter_id() { return PyInterpreterState_GetID(PyInterpreterState_Get()); }

}  // namespace

PyObject* SingleInterpreterModule::create(PyObject* spec, PyModuleDef*) noexcept {
    const std::int64_t current = current_interpreter_id();
    if (current == -1) return nullptr;
    if (interpreter_id_ == -1) {
        interpreter_id_ = current;
    } else if (interpreter_id_ != current) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per process.");
        return nullptr;
    }
    if (module_) return Py_NewRef(module_);
    PyObject* name = PyObject_GetAttrString(spec, "name");
    if (!name) return nullptr;
    PyObject* module = PyModule_NewObject(name);
    Py_DECREF(name);
    return module;
}

int SingleInterpreterModule::exec(PyObject* module) noexcept {
    if (module_) {
        if (module_ == module) return 0;
        PyErr_Format(PyExc_RuntimeError,
                     "Module '%s' has already been imported. Re-initialisation is not supported.", short_name_);
        return -1;
    }
    module_ = Py_NewRef(module);
    const int status = guarded_status([&] { body_(module); });
    if (status < 0) {
        reset_();
        Py_CLEAR(module_);
    }
    return status;
}

namespace {

// The value `name` is bound to in a namespace dict, or NameError.
Owned bound_name(PyObject* namespace_dict, Borrowed name) {
    PyObject* value = PyDict_GetItemWithError(namespace_dict, name.get());
    if (!value) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.get());
        throw_error();
    }
    return Owned::ref(value);
}

}  // namespace

Owned module_global(Borrowed module, Borrowed name) { return bound_name(PyModule_GetDict(module.get()), name); }

Owned builtin(Borrowed name) { return bound_name(PyEval_GetBuiltins(), name); }

Owned import_from(Borrowed name, Borrowed fromlist) {
    return check(PyImport_ImportModuleLevelObject(name.get(), nullptr, nullptr, fromlist.get(), 0));
}

Owned import_relative(Borrowed module, Borrowed name, Borrowed fromlist) {
    return check(PyImport_ImportModuleLevelObject(name.get(), PyModule_GetDict(module.get()), nullptr,
                                                  fromlist.get(), 1));
}

void bind(Borrowed module, const char* key, Borrowed value) {
    check_status(PyModule_AddObjectRef(module.get(), key, value.get()));
}

Owned import_name(Borrowed imported, Borrowed name) {
    if (Owned value = getattr_optional(imported, name)) return value;
    Owned imported_name = getattr(imported, intern("__name__"));
    raise_format(PyExc_ImportError, "cannot import name '%U' from '%U'", name.get(), imported_name.get());
}

FromImport::FromImport(const char* source, const char* name)
    : source_(intern(source)), name_(intern(name)), fromlist_(tuple_of(name_)) {}

Owned FromImport::operator()() const { return import_name(import_from(source_, fromlist_), name_); }

void bind_from(Borrowed module, Borrowed imported, std::initializer_list<const char*> names) {
    for (const char* n : names) bind(module, n, import_name(imported, intern(n)));
}

void bind_from(Borrowed module, const char* source, std::initializer_list<const char*> names) {
    bind_from(module, import(source), names);
}

}  // namespace bridge
