#include "object.hpp"

#include <cstring>

namespace bridge {

Owned concat(std::initializer_list<Piece> pieces) {
    Owned list = check(PyList_New(static_cast<Py_ssize_t>(pieces.size())));
    Py_ssize_t i = 0;
    for (const Piece& piece : pieces) fill_list_item(list, i++, piece.to_str());
    return join("", list);
}

std::optional<std::string_view> try_utf8(Borrowed s) noexcept {
    if (!PyUnicode_Check(s.get())) return std::nullopt;
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(s.get(), &size);
    if (!data) {  // lone surrogates
        PyErr_Clear();
        return std::nullopt;
    }
    return std::string_view(data, static_cast<size_t>(size));
}

bool str_has_any_of(Borrowed s, std::initializer_list<char32_t> code_points) {
    const Py_ssize_t size = PyUnicode_GetLength(s.get());
    if (size < 0) {  // not a str: holds none of them
        PyErr_Clear();
        return false;
    }
    for (char32_t c : code_points)
        if (PyUnicode_FindChar(s.get(), static_cast<Py_UCS4>(c), 0, size, 1) >= 0) return true;
    return false;
}

bool error_is(Borrowed exc, Borrowed type, std::initializer_list<std::string_view> args) {
    if (reinterpret_cast<PyObject*>(Py_TYPE(exc.get())) != type.get()) return false;
    Owned given = Owned::steal(PyException_GetArgs(exc.get()));
    if (!given || !PyTuple_CheckExact(given.get()) ||
        PyTuple_Size(given.get()) != static_cast<Py_ssize_t>(args.size()))
        return false;
    Py_ssize_t i = 0;
    for (std::string_view expected : args) {
        PyObject* item = PyTuple_GetItem(given.get(), i++);  // an exact tuple of that size: never fails
        if (!item || !PyUnicode_CheckExact(item)) return false;
        if (try_utf8(item) != expected) return false;  // lone surrogates: not the expected text
    }
    return true;
}

namespace detail {

Owned unpack_iterator(Borrowed iterable) {
    if (PyObject* iterator = PyObject_GetIter(iterable.get())) return Owned::steal(iterator);
    // The statement's own text for an object that is no iterable at all.
    PyTypeObject* type = Py_TYPE(iterable.get());
    if (PyErr_ExceptionMatches(PyExc_TypeError) && !PyType_GetSlot(type, Py_tp_iter) &&
        !PySequence_Check(iterable.get()))
        raise_format(PyExc_TypeError, "cannot unpack non-iterable %.200U object", type_name(iterable).get());
    throw_error();
}

void raise_too_few(size_t expected, size_t got) {
    raise_format(PyExc_ValueError, "not enough values to unpack (expected %zu, got %zu)", expected, got);
}

void raise_too_many(size_t expected) {
    raise_format(PyExc_ValueError, "too many values to unpack (expected %zu)", expected);
}

}  // namespace detail

FsPath::FsPath(Borrowed path) {
    PyObject* bytes = nullptr;
    if (!PyUnicode_FSConverter(path.get(), &bytes)) throw_error();
    bytes_ = Owned::steal(bytes);
}

Owned fs_decode(Borrowed path) {
    Owned fs_path = check(PyOS_FSPath(path.get()));
    if (!PyBytes_Check(fs_path.get())) return fs_path;
    const std::string_view bytes = bytes_view(fs_path);
    return check(PyUnicode_DecodeFSDefaultAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
}

Owned call(Borrowed callable, std::initializer_list<Borrowed> args, std::initializer_list<Kw> kwargs) {
    return call(callable, args, std::span<const Kw>(kwargs.begin(), kwargs.size()));
}

namespace {

constexpr size_t kMaxStack = 24;

// The vectorcall stack of one call: positional arguments, then the values of
// the keywords `names` names (a tuple, or null without keywords).
class CallStack {
public:
    explicit CallStack(std::initializer_list<Borrowed> args, size_t keywords) {
        if (args.size() + keywords > kMaxStack) raise(PyExc_SystemError, "too many arguments for bridge::call");
        for (Borrowed a : args) push(a);
        positional_ = size_;
    }
    void push(Borrowed value) { stack_[1 + size_++] = value.get(); }
    Owned call(Borrowed callable, Borrowed names) {
        return check(PyObject_Vectorcall(callable.get(), stack_.data() + 1, positional_ | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                         names.get()));
    }

private:
    std::array<PyObject*, kMaxStack + 1> stack_{};
    size_t size_ = 0;
    size_t positional_ = 0;
};

}  // namespace

Owned call(Borrowed callable, std::initializer_list<Borrowed> args, std::span<const Kw> kwargs) {
    size_t given = 0;
    for (const Kw& kw : kwargs) given += kw.value ? 1 : 0;
    CallStack stack(args, given);
    Owned names = check(PyTuple_New(static_cast<Py_ssize_t>(given)));
    Py_ssize_t k = 0;
    for (const Kw& kw : kwargs) {
        if (!kw.value) continue;
        fill_tuple_item(names, k++, Owned::ref(kw.name.get()));
        stack.push(kw.value);
    }
    return stack.call(callable, given ? names.borrow() : Borrowed());
}

Owned interned_tuple(std::initializer_list<const char*> texts) {
    Owned tuple = new_tuple(static_cast<Py_ssize_t>(texts.size()));
    Py_ssize_t i = 0;
    for (const char* text : texts) fill_tuple_item(tuple, i++, intern(text));
    return tuple;
}

KeywordNames::KeywordNames(std::initializer_list<const char*> names)
    : names_(interned_tuple(names)), size_(names.size()) {}

Owned call(Borrowed callable, std::initializer_list<Borrowed> args, const KeywordNames& names,
           std::initializer_list<Borrowed> values) {
    if (values.size() != names.size()) raise(PyExc_SystemError, "keyword values do not match their names");
    CallStack stack(args, values.size());
    for (Borrowed v : values) stack.push(v);
    return stack.call(callable, names.tuple());
}

Owned call_with_dict(Borrowed callable, std::initializer_list<Borrowed> args, Borrowed kwargs_dict) {
    Owned positional = check(PyTuple_New(static_cast<Py_ssize_t>(args.size())));
    Py_ssize_t i = 0;
    for (Borrowed a : args) fill_tuple_item(positional, i++, Owned::ref(a.get()));
    return check(PyObject_Call(callable.get(), positional.get(), kwargs_dict.get()));
}

Owned type_name(Borrowed obj) {
    PyTypeObject* type = Py_TYPE(obj.get());
    Owned name = check(PyType_GetName(type));
    // A class (a heap type) is shown by its __name__; a static type by its
    // dotted C name, which is __module__.__name__ unless it is a builtin.
    if (PyType_GetFlags(type) & Py_TPFLAGS_HEAPTYPE) return name;
    Owned module = check(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
    if (!PyUnicode_Check(module.get()) || PyUnicode_CompareWithASCIIString(module.get(), "builtins") == 0)
        return name;
    return concat({module, ".", name});
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
