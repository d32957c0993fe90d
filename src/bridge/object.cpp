#include "object.hpp"

#include <cstring>

namespace bridge {

Owned concat(std::initializer_list<Piece> pieces) {
    Owned list = check(PyList_New(static_cast<Py_ssize_t>(pieces.size())));
    Py_ssize_t i = 0;
    for (const Piece& piece : pieces) PyList_SET_ITEM(list.get(), i++, piece.to_str().release());
    Owned empty = str_from("");
    return check(PyUnicode_Join(empty.get(), list.get()));
}

Owned call(Borrowed callable, std::initializer_list<Borrowed> args, std::initializer_list<Kw> kwargs) {
    return call(callable, args, std::span<const Kw>(kwargs.begin(), kwargs.size()));
}

Owned call(Borrowed callable, std::initializer_list<Borrowed> args, std::span<const Kw> kwargs) {
    constexpr size_t kMax = 24;
    if (args.size() + kwargs.size() > kMax) raise(PyExc_SystemError, "too many arguments for bridge::call");
    std::array<PyObject*, kMax + 1> stack{};
    size_t n = 0;
    for (Borrowed a : args) stack[1 + n++] = a.get();
    size_t given = 0;
    for (const Kw& kw : kwargs) given += kw.value ? 1 : 0;
    Owned names = check(PyTuple_New(static_cast<Py_ssize_t>(given)));
    size_t k = 0;
    for (const Kw& kw : kwargs) {
        if (!kw.value) continue;
        PyTuple_SET_ITEM(names.get(), static_cast<Py_ssize_t>(k), Py_NewRef(kw.name.get()));
        stack[1 + n + k] = kw.value.get();
        ++k;
    }
    return check(PyObject_Vectorcall(callable.get(), stack.data() + 1, n | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                     given ? names.get() : nullptr));
}

KeywordNames::KeywordNames(std::initializer_list<const char*> names)
    : names_(check(PyTuple_New(static_cast<Py_ssize_t>(names.size())))), size_(names.size()) {
    Py_ssize_t i = 0;
    for (const char* n : names) PyTuple_SET_ITEM(names_.get(), i++, intern(n).release());
}

Owned call(Borrowed callable, std::initializer_list<Borrowed> args, const KeywordNames& names,
           std::initializer_list<Borrowed> values) {
    constexpr size_t kMax = 24;
    if (values.size() != names.size()) raise(PyExc_SystemError, "keyword values do not match their names");
    if (args.size() + values.size() > kMax) raise(PyExc_SystemError, "too many arguments for bridge::call");
    std::array<PyObject*, kMax + 1> stack{};
    size_t n = 0;
    for (Borrowed a : args) stack[1 + n++] = a.get();
    size_t k = 0;
    for (Borrowed v : values) stack[1 + n + k++] = v.get();
    return check(PyObject_Vectorcall(callable.get(), stack.data() + 1, n | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                     names.tuple().get()));
}

Owned call_with_dict(Borrowed callable, std::initializer_list<Borrowed> args, Borrowed kwargs_dict) {
    Owned positional = check(PyTuple_New(static_cast<Py_ssize_t>(args.size())));
    Py_ssize_t i = 0;
    for (Borrowed a : args) PyTuple_SET_ITEM(positional.get(), i++, Py_NewRef(a.get()));
    return check(PyObject_Call(callable.get(), positional.get(), kwargs_dict.get()));
}

Owned getattr_optional(Borrowed obj, Borrowed name) {
    PyObject* value = PyObject_GetAttr(obj.get(), name.get());
    if (value) return Owned::steal(value);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error();
    PyErr_Clear();
    return Owned();
}

bool hasattr(Borrowed obj, Borrowed name) { return static_cast<bool>(getattr_optional(obj, name)); }

Owned import(const char* name) {
    Owned dotted = str_from(name);
    // What the import statement runs when builtins.__import__ is the default one.
    Owned top = check(PyImport_ImportModuleLevelObject(dotted.get(), nullptr, nullptr, nullptr, 0));
    if (!std::strchr(name, '.')) return top;
    if (PyObject* leaf = PyImport_GetModule(dotted.get())) return Owned::steal(leaf);
    if (!PyErr_Occurred()) PyErr_Format(PyExc_ImportError, "import of %s left no module in sys.modules", name);
    throw_error();
}

Owned mapping_get(Borrowed mapping, Borrowed key, Borrowed fallback, Borrowed get_name) {
    if (PyDict_CheckExact(mapping.get())) {
        Borrowed v = dict_get(mapping, key);
        return Owned::ref(v ? v.get() : fallback.get());
    }
    return call_method(mapping, get_name, key, fallback);
}

}  // namespace bridge
