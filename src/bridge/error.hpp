// One C++ exception type meaning "a Python error is set".
//
// Code below an entry point throws `PyError` right after a C API call failed
// (or after setting an error itself).  Every entry point called by CPython runs
// its body through `guarded`, which turns the exception back into the NULL / -1
// return that CPython expects.  Nothing in between has to check return codes.
#pragma once

#include "ref.hpp"

#include <exception>
#include <new>

namespace bridge {

struct PyError {};

[[noreturn]] inline void throw_error() { throw PyError{}; }

// New reference or throw: wraps the result of a C API call.
inline Owned check(PyObject* result) {
    if (!result) throw_error();
    return Owned::steal(result);
}

// Status code of a C API call: -1 means an error is set.
inline int check_status(int status) {
    if (status < 0) throw_error();
    return status;
}

// A size or index from a C API call that may fail (-1 with an error set).
inline Py_ssize_t check_status_size(Py_ssize_t size) {
    if (size < 0) throw_error();
    return size;
}

// Borrowed result of a C API call that may fail (NULL with an error set).
inline Borrowed check_borrowed(PyObject* result) {
    if (!result) throw_error();
    return result;
}

// Raising, as the raise statement does: `raise type(message)` and `raise
// exc`.  While an exception is being handled (an except block, a Handling
// below) it becomes the new one's __context__; the traceback an exception
// object already has is kept.  Re-raising a caught error unchanged, as a
// bare `raise` does, is restore_error.
[[noreturn]] inline void raise(Borrowed type, const char* message) {
    PyErr_SetString(type.get(), message);
    throw_error();
}

// raise type(<message formatted as PyUnicode_FromFormat does>)
template <class... A>
[[noreturn]] void raise_format(Borrowed type, const char* format, A... args) {
    PyErr_Format(type.get(), format, args...);
    throw_error();
}

// `raise exc` of an exception object, or of an exception class (an
// instance made without arguments).
[[noreturn]] inline void raise(Borrowed exc) {
    if (PyExceptionClass_Check(exc.get())) PyErr_SetNone(exc.get());
    else PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
    throw_error();
}

// The OSError (or the subclass, FileExistsError say) that errno stands for,
// with `filename`, as os.open raises it.  Call it right after the failed
// system call, before anything can change errno.
[[noreturn]] inline void raise_os_error(Borrowed filename) {
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, filename.get());
    throw_error();
}

// Saves the error currently set, for re-raising or inspection later.
inline Owned fetch_error() { return Owned::steal(PyErr_GetRaisedException()); }

[[noreturn]] inline void restore_error(Owned exc) {
    PyErr_SetRaisedException(exc.release());
    throw_error();
}

// While it lives, `exc` is the exception being handled, as in the body of a
// Python `except` block: code called meanwhile sees it in sys.exception(),
// and an exception raised meanwhile gets it as __context__.  The previous
// state of the thread is put back on destruction.
class Handling {
public:
    explicit Handling(Borrowed exception) noexcept : outer_(Owned::steal(PyErr_GetHandledException())) {
        PyErr_SetHandledException(exception.get());
    }
    ~Handling() { PyErr_SetHandledException(outer_ ? outer_.get() : Py_None); }
    Handling(const Handling&) = delete;
    Handling& operator=(const Handling&) = delete;

private:
    Owned outer_;
};

namespace detail {
[[gnu::cold, gnu::noinline]] inline void translate_current_exception() noexcept {
    try {
        throw;
    } catch (const PyError&) {
        // the Python error is already set
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
    }
}
}  // namespace detail

// Runs `body` (returning Owned) and gives CPython a new reference or NULL.
template <class F>
PyObject* guarded(F&& body) noexcept {
    try {
        return body().release();
    } catch (...) {
        detail::translate_current_exception();
        return nullptr;
    }
}

// Runs `body` (returning void) and gives CPython 0 or -1.
template <class F>
int guarded_status(F&& body) noexcept {
    try {
        body();
        return 0;
    } catch (...) {
        detail::translate_current_exception();
        return -1;
    }
}

}  // namespace bridge
