// Small, throwing wrappers around the C API calls that business code needs:
// attribute access, calls through vectorcall, strings, numbers, dicts, lists
// and tuples, file system paths, threads and signals.
//
// Business code (src/clusterlane, src/pulsewire, src/host) speaks these
// words.  What it still names of the C API, and why:
//   Py*_Check                   type tests (PyUnicode_Check, PyDict_Check,
//                               PyMapping_Check, ...): plain questions that
//                               never fail, read like Python's isinstance
//                               (an exact type test is bridge::is_exact_str).
//   PyExc_*                     the built-in exception types, handed to
//                               bridge::raise, try_except and error_matches.
//   Py_ssize_t                  the size type of list_size, length and the
//                               other size words, for positions compared with
//                               their results (retrieval.cpp).
//   bridge::PyError             the bridge's own exception, not the C API's.
// The entry point each extension file needs is BRIDGE_MODULE_ENTRY
// (module.hpp).
#pragma once

#include "error.hpp"

#include <array>
#include <cstddef>
#include <initializer_list>
#include <iterator>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace bridge {

// ---- strings -------------------------------------------------------------

inline Owned str_from(std::string_view text) {
    return check(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

inline Owned intern(const char* text) { return check(PyUnicode_InternFromString(text)); }

// UTF-8 view of a str object; valid as long as the object lives.
inline std::string_view utf8(Borrowed s) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(s.get(), &size);
    if (!data) throw_error();
    return {data, static_cast<size_t>(size)};
}

// The UTF-8 text of a str, or nothing for anything else and for a str that
// cannot be encoded (lone surrogates); never raises, so a handler may ask it
// of any object.
std::optional<std::string_view> try_utf8(Borrowed s) noexcept;

// True when `s` is a str (or a subclass) holding exactly the ASCII `text`;
// never raises.
inline bool str_is(Borrowed s, const char* text) noexcept {
    return PyUnicode_Check(s.get()) && PyUnicode_CompareWithASCIIString(s.get(), text) == 0;
}

inline Owned bytes_from(std::string_view data) {
    return check(PyBytes_FromStringAndSize(data.data(), static_cast<Py_ssize_t>(data.size())));
}

// The type str itself (json.dumps(..., default=str), say).
inline Borrowed str_type() noexcept { return reinterpret_cast<PyObject*>(&PyUnicode_Type); }

// Python's str(obj) and repr(obj).
inline Owned str(Borrowed obj) { return check(PyObject_Str(obj.get())); }
inline Owned repr(Borrowed obj) { return check(PyObject_Repr(obj.get())); }

// len() of a str object, in code points.
inline Py_ssize_t text_length(Borrowed s) {
    const Py_ssize_t n = PyUnicode_GetLength(s.get());
    if (n < 0) throw_error();
    return n;
}

// text.replace(old, new) for str objects.
inline Owned replace_all(Borrowed text, Borrowed old, Borrowed replacement) {
    return check(PyUnicode_Replace(text.get(), old.get(), replacement.get(), -1));
}

// True when the str holds any of the code points; never raises (a str that
// cannot be encoded as UTF-8, with lone surrogates, is searched all the same).
bool str_has_any_of(Borrowed s, std::initializer_list<char32_t> code_points);

// One piece of a concatenated text: literal UTF-8 text or a str object.
class Piece {
public:
    Piece(const char* text) : text_(text) {}  // NOLINT: implicit on purpose
    Piece(std::string_view text) : text_(text) {}  // NOLINT
    Piece(Borrowed str_object) : object_(str_object) {}  // NOLINT
    Piece(const Owned& str_object) : object_(str_object.borrow()) {}  // NOLINT
    Owned to_str() const { return object_ ? Owned::ref(object_.get()) : str_from(text_); }

private:
    std::string_view text_;
    Borrowed object_;
};

// Joins literal texts and str objects into one str ("a" + s + "b").
Owned concat(std::initializer_list<Piece> pieces);

// separator.join(items): items is any iterable of str.
inline Owned join(const Piece& separator, Borrowed items) {
    return check(PyUnicode_Join(separator.to_str().get(), items.get()));
}


// ---- truth, types ----------------------------------------------------------

inline bool truthy(Borrowed obj) { return check_status(PyObject_IsTrue(obj.get())) != 0; }

inline Owned none() { return Owned::ref(Py_None); }
// None itself, for a Borrowed that stands for it (None lives for ever).
inline Borrowed none_object() noexcept { return Py_None; }
inline Owned boolean(bool value) { return Owned::ref(value ? Py_True : Py_False); }
inline Owned integer(long long value) { return check(PyLong_FromLongLong(value)); }
inline Owned float_from(double value) { return check(PyFloat_FromDouble(value)); }

// `type(obj) is str`: a str subclass may change what its text means
// (__str__, __eq__), so inputs that must be plain text ask this.
inline bool is_exact_str(Borrowed obj) noexcept { return PyUnicode_CheckExact(obj.get()) != 0; }

// The type's __name__, as Python shows it (without module prefix).
inline Owned type_short_name(Borrowed obj) {
    return check(PyType_GetName(Py_TYPE(obj.get())));
}

// The name of obj's type as CPython's own messages show it ("int",
// "collections.OrderedDict" of a built-in type in a module, a class's
// __name__): the module part only for types that are not classes.
Owned type_name(Borrowed obj);

// ---- numbers ---------------------------------------------------------------

// An int (or an object with __index__) as a C long / long long: TypeError
// for anything else, OverflowError when it does not fit.
inline long to_long(Borrowed value) {
    const long result = PyLong_AsLong(value.get());
    if (result == -1 && PyErr_Occurred()) throw_error();
    return result;
}
inline long long to_long_long(Borrowed value) {
    const long long result = PyLong_AsLongLong(value.get());
    if (result == -1 && PyErr_Occurred()) throw_error();
    return result;
}
// The same, with nothing instead of OverflowError for an int that does not
// fit (a range check can then refuse it as out of range).
inline std::optional<long long> to_long_long_if_fits(Borrowed value) {
    int overflow = 0;
    const long long result = PyLong_AsLongLongAndOverflow(value.get(), &overflow);
    if (result == -1 && PyErr_Occurred()) throw_error();
    if (overflow != 0) return std::nullopt;
    return result;
}
// float(value) of a float (or an object with __float__ or __index__) as a
// double: OverflowError for an int too large for a double.
inline double to_double(Borrowed value) {
    const double result = PyFloat_AsDouble(value.get());
    if (result == -1.0 && PyErr_Occurred()) throw_error();
    return result;
}
// The former name of to_double.
inline double float_value(Borrowed value) { return to_double(value); }

// int(value), a + b, divmod(a, b) and format(value, spec), as Python's own.
inline Owned int_of(Borrowed value) { return check(PyNumber_Long(value.get())); }
inline Owned add(Borrowed a, Borrowed b) { return check(PyNumber_Add(a.get(), b.get())); }
inline Owned divmod(Borrowed a, Borrowed b) { return check(PyNumber_Divmod(a.get(), b.get())); }
inline Owned format(Borrowed value, Borrowed spec) { return check(PyObject_Format(value.get(), spec.get())); }

// The bytes a bytes object holds; valid as long as the object lives (the
// data ends with a NUL byte after the view, as a C path needs).
inline std::string_view bytes_view(Borrowed bytes) {
    char* data = nullptr;
    Py_ssize_t size = 0;
    check_status(PyBytes_AsStringAndSize(bytes.get(), &data, &size));
    return {data, static_cast<size_t>(size)};
}

// ---- attributes -----------------------------------------------------------

inline Owned getattr(Borrowed obj, Borrowed name) { return check(PyObject_GetAttr(obj.get(), name.get())); }

// Python's hasattr(): true when getattr succeeds, false on AttributeError,
// any other error propagates.
bool hasattr(Borrowed obj, Borrowed name);

// getattr(obj, name) or a null Owned when the attribute does not exist.
Owned getattr_optional(Borrowed obj, Borrowed name);

inline void setattr(Borrowed obj, Borrowed name, Borrowed value) {
    check_status(PyObject_SetAttr(obj.get(), name.get(), value.get()));
}

// ---- calls ----------------------------------------------------------------

struct Kw {
    Borrowed name;   // an interned str
    Borrowed value;
};

// The most positional arguments a call through these helpers takes; the
// count is checked when the call is compiled.
inline constexpr size_t kMaxCallArgs = 12;

// callable(args...)
template <class... A>
Owned call(Borrowed callable, const A&... args) {
    static_assert(sizeof...(A) <= kMaxCallArgs, "too many arguments for bridge::call");
    // vectorcall lets the callee borrow the slot before the arguments.
    PyObject* stack[1 + sizeof...(A)] = {nullptr, Borrowed(args).get()...};
    return check(PyObject_Vectorcall(callable.get(), stack + 1, sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                     nullptr));
}

Owned call(Borrowed callable, std::initializer_list<Borrowed> args, std::initializer_list<Kw> kwargs);
// The same with keywords collected at run time; entries whose value is null
// are left out (an optional keyword argument).
Owned call(Borrowed callable, std::initializer_list<Borrowed> args, std::span<const Kw> kwargs);

// obj.name(args...)
template <class... A>
Owned call_method(Borrowed obj, Borrowed name, const A&... args) {
    static_assert(sizeof...(A) < kMaxCallArgs, "too many arguments for bridge::call_method");
    PyObject* stack[] = {obj.get(), Borrowed(args).get()...};
    return check(PyObject_VectorcallMethod(name.get(), stack, (1 + sizeof...(A)) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                           nullptr));
}

// The keyword names of one call site, as the compiled call keeps them: one
// tuple, made once, so a call made again and again allocates nothing for
// its keywords.
class KeywordNames {
public:
    KeywordNames() = default;
    explicit KeywordNames(std::initializer_list<const char*> names);
    Borrowed tuple() const noexcept { return names_; }
    size_t size() const noexcept { return size_; }

private:
    Owned names_;
    size_t size_ = 0;
};

// callable(*args, name1=values[0], ...), the names those of `names`.
Owned call(Borrowed callable, std::initializer_list<Borrowed> args, const KeywordNames& names,
           std::initializer_list<Borrowed> values);

// callable(*args, **kwargs_dict), the keywords in the dict's order.
Owned call_with_dict(Borrowed callable, std::initializer_list<Borrowed> args, Borrowed kwargs_dict);

// ---- containers -----------------------------------------------------------

inline Owned new_dict() { return check(PyDict_New()); }
inline Owned new_list(Py_ssize_t size = 0) { return check(PyList_New(size)); }

inline void dict_set(Borrowed dict, Borrowed key, Borrowed value) {
    check_status(PyDict_SetItem(dict.get(), key.get(), value.get()));
}
inline void dict_set(Borrowed dict, const char* key, Borrowed value) {
    check_status(PyDict_SetItemString(dict.get(), key, value.get()));
}
// Borrowed value or null when absent.
inline Borrowed dict_get(Borrowed dict, Borrowed key) {
    PyObject* v = PyDict_GetItemWithError(dict.get(), key.get());
    if (!v && PyErr_Occurred()) throw_error();
    return v;
}
// The two items of a tuple of two (a pair from dict_items, say).
inline std::pair<Owned, Owned> pair_of(Borrowed pair) {
    if (!PyTuple_Check(pair.get()) || PyTuple_Size(pair.get()) != 2) raise(PyExc_TypeError, "expected a pair");
    return {Owned::ref(check_borrowed(PyTuple_GetItem(pair.get(), 0)).get()),
            Owned::ref(check_borrowed(PyTuple_GetItem(pair.get(), 1)).get())};
}

// A list of the (key, value) pairs a dict (or a dict subclass) holds, read
// from its own storage: no method of a subclass runs.
inline Owned dict_items(Borrowed dict) { return check(PyDict_Items(dict.get())); }

// dict.update(other) as {**dict, **other} merges: a dict's own storage, or
// any object with keys() and __getitem__.
inline void dict_update(Borrowed dict, Borrowed other) { check_status(PyDict_Update(dict.get(), other.get())); }

inline void list_append(Borrowed list, Borrowed item) { check_status(PyList_Append(list.get(), item.get())); }

// Sizes and items of tuples, lists and dicts (or their subclasses, read from
// their own storage); a wrong type or an index out of range raises.
inline Py_ssize_t tuple_size(Borrowed tuple) { return check_status_size(PyTuple_Size(tuple.get())); }
inline Borrowed tuple_item(Borrowed tuple, Py_ssize_t i) { return check_borrowed(PyTuple_GetItem(tuple.get(), i)); }
inline Py_ssize_t list_size(Borrowed list) { return check_status_size(PyList_Size(list.get())); }
inline Borrowed list_item(Borrowed list, Py_ssize_t i) { return check_borrowed(PyList_GetItem(list.get(), i)); }
inline Py_ssize_t dict_size(Borrowed dict) { return check_status_size(PyDict_Size(dict.get())); }

// for (Borrowed item : list_items(list)): the items a list (or a subclass)
// holds, read from its own storage (no __iter__ of a subclass runs).  A list
// that changes meanwhile is read up to its current end; each item is held
// while the loop body runs, so the body may change the list.
class ListItems {
public:
    explicit ListItems(Borrowed list) noexcept : list_(list) {}

    class iterator {
    public:
        explicit iterator(Borrowed list) : list_(list) { load(); }
        Borrowed operator*() const noexcept { return item_; }
        iterator& operator++() {
            ++index_;
            load();
            return *this;
        }
        bool operator==(std::default_sentinel_t) const noexcept { return !item_; }

    private:
        void load() { item_ = index_ < list_size(list_) ? Owned::ref(list_item(list_, index_).get()) : Owned(); }
        Borrowed list_;
        Py_ssize_t index_ = 0;
        Owned item_;
    };

    iterator begin() const { return iterator(list_); }
    std::default_sentinel_t end() const noexcept { return {}; }

private:
    Borrowed list_;
};
inline ListItems list_items(Borrowed list) noexcept { return ListItems(list); }

// for (Borrowed item : tuple_items(tuple)): the items a tuple (or a
// subclass) holds, read from its own storage; the tuple keeps them alive.
class TupleItems {
public:
    explicit TupleItems(Borrowed tuple) : tuple_(tuple), size_(tuple_size(tuple)) {}

    class iterator {
    public:
        iterator(Borrowed tuple, Py_ssize_t index) noexcept : tuple_(tuple), index_(index) {}
        Borrowed operator*() const { return tuple_item(tuple_, index_); }
        iterator& operator++() noexcept {
            ++index_;
            return *this;
        }
        bool operator==(const iterator& other) const noexcept { return index_ == other.index_; }

    private:
        Borrowed tuple_;
        Py_ssize_t index_;
    };

    iterator begin() const noexcept { return {tuple_, 0}; }
    iterator end() const noexcept { return {tuple_, size_}; }

private:
    Borrowed tuple_;
    Py_ssize_t size_;
};
inline TupleItems tuple_items(Borrowed tuple) { return TupleItems(tuple); }

// fn(item) for each item a list or a tuple (or a subclass) holds, as
// list_items and tuple_items read them.
template <class Fn>
void for_each_element(Borrowed sequence, Fn&& fn) {
    if (PyList_Check(sequence.get())) {
        for (Borrowed item : list_items(sequence)) fn(item);
    } else {
        for (Borrowed item : tuple_items(sequence)) fn(item);
    }
}

// A tuple of `size` items, each filled once with fill_tuple_item before the
// tuple is used.
inline Owned new_tuple(Py_ssize_t size) { return check(PyTuple_New(size)); }
inline void fill_tuple_item(Borrowed tuple, Py_ssize_t i, Owned item) {
    check_status(PyTuple_SetItem(tuple.get(), i, item.release()));
}
// The same for a list made with new_list(size).
inline void fill_list_item(Borrowed list, Py_ssize_t i, Owned item) {
    check_status(PyList_SetItem(list.get(), i, item.release()));
}

// A tuple of the interned texts, in order (an import's fromlist, say).
Owned interned_tuple(std::initializer_list<const char*> texts);

template <class... Items>
Owned tuple_of(Items... items) {
    return check(PyTuple_Pack(sizeof...(Items), static_cast<PyObject*>(Borrowed(items).get())...));
}

// obj.get(key, default) for any mapping; exact dicts take the fast path.
Owned mapping_get(Borrowed mapping, Borrowed key, Borrowed fallback, Borrowed get_name);

// `import <name>` (absolute), and the module the name stands for: for a
// dotted name its last part, as importlib.import_module gives it.
Owned import(const char* name);
// `import <name>` of a top-level module, by an interned name.
inline Owned import(Borrowed name) {
    return check(PyImport_ImportModuleLevelObject(name.get(), nullptr, nullptr, nullptr, 0));
}

// len(obj)
inline Py_ssize_t length(Borrowed obj) {
    Py_ssize_t n = PyObject_Length(obj.get());
    if (n < 0) throw_error();
    return n;
}

// `item in container`
inline bool contains(Borrowed container, Borrowed item) {
    return check_status(PySequence_Contains(container.get(), item.get())) != 0;
}

// dict.copy() of a dict (or a subclass): a new dict of its items.
inline Owned dict_copy(Borrowed dict) { return check(PyDict_Copy(dict.get())); }

// list(iterable)
inline Owned list_of(Borrowed iterable) { return check(PySequence_List(iterable.get())); }

// obj[key] and obj[key] = value, on any object (its __getitem__ /
// __setitem__ run).
inline Owned get_item(Borrowed obj, Borrowed key) { return check(PyObject_GetItem(obj.get(), key.get())); }
inline void set_item(Borrowed obj, Borrowed key, Borrowed value) {
    check_status(PyObject_SetItem(obj.get(), key.get(), value.get()));
}

namespace detail {
Owned unpack_iterator(Borrowed iterable);
[[noreturn]] void raise_too_few(size_t expected, size_t got);
[[noreturn]] void raise_too_many(size_t expected);
}  // namespace detail

// `a, b, c = iterable` with N targets: the N items, or Python's own errors
// ("cannot unpack non-iterable int object", "not enough values to unpack
// (expected 3, got 2)", "too many values to unpack (expected 3)").  As the
// statement does, it reads at most one item beyond the N.
template <size_t N>
std::array<Owned, N> unpack(Borrowed iterable) {
    std::array<Owned, N> items;
    Owned iterator = detail::unpack_iterator(iterable);
    for (size_t i = 0; i < N; ++i) {
        items[i] = Owned::steal(PyIter_Next(iterator.get()));
        if (items[i]) continue;
        if (PyErr_Occurred()) throw_error();
        detail::raise_too_few(N, i);
    }
    if (Owned::steal(PyIter_Next(iterator.get()))) detail::raise_too_many(N);
    if (PyErr_Occurred()) throw_error();
    return items;
}

// exc.__cause__ and exc.__context__; null when unset.
inline Owned exception_cause(Borrowed exc) { return Owned::steal(PyException_GetCause(exc.get())); }
inline Owned exception_context(Borrowed exc) { return Owned::steal(PyException_GetContext(exc.get())); }

// Exception matching helpers for the currently raised exception.
inline bool error_matches(Borrowed exc, Borrowed type) {
    return PyErr_GivenExceptionMatches(exc.get(), type.get()) != 0;
}

// True when exc is exactly of `type` (no subclass) and its args are exactly
// these texts, each an exact str.  Runs no code of the exception's own and
// never raises, so a handler may ask it of any failure.
bool error_is(Borrowed exc, Borrowed type, std::initializer_list<std::string_view> args);

// ---- file system paths -------------------------------------------------------

// A path for the system calls, as os.fsencode(path) gives it: a str (or a
// str os.PathLike) encoded with the file system encoding and its error
// handler, bytes as they are.  A path holding a NUL byte raises ValueError
// ("embedded null byte"): the system would read it only up to the NUL, and
// act on another file than the one named.
class FsPath {
public:
    explicit FsPath(Borrowed path);
    // The path, NUL-terminated; valid as long as this object lives.
    const char* c_str() const noexcept { return PyBytes_AsString(bytes_.get()); }

private:
    Owned bytes_;
};

// os.fsdecode(path): a str path, or a str or bytes os.PathLike, as a str.
Owned fs_decode(Borrowed path);

// ---- threads and signals -------------------------------------------------------

// Runs `step` with the GIL released: it must not touch any Python object.
template <class Step>
auto without_gil(Step&& step) -> decltype(step()) {
    struct Released {
        PyThreadState* state = PyEval_SaveThread();
        ~Released() { PyEval_RestoreThread(state); }
    } released;
    return step();
}

// Runs the host's handlers of the signals that arrived meanwhile (in the
// main thread); raises what a handler raises (KeyboardInterrupt, say).
inline void check_signals() { check_status(PyErr_CheckSignals()); }

// Runs `step` where nothing may be raised (a destructor): an error already
// set is kept and set again afterwards, and an error of the step is reported
// through sys.unraisablehook.
template <class Step>
void unraisable(Step&& step) noexcept {
    PyObject* pending = PyErr_GetRaisedException();
    try {
        step();
    } catch (...) {
        detail::translate_current_exception();
        PyErr_WriteUnraisable(nullptr);
    }
    if (pending) PyErr_SetRaisedException(pending);
}

// ---- interned name tables -------------------------------------------------

// A fixed table of interned strings, one per name, filled once per module.
template <size_t N>
class NameTable {
public:
    void init(const std::array<const char*, N>& texts) {
        for (size_t i = 0; i < N; ++i) items_[i] = intern(texts[i]);
    }
    Borrowed operator[](size_t i) const noexcept { return items_[i].borrow(); }

private:
    std::array<Owned, N> items_;
};

}  // namespace bridge
