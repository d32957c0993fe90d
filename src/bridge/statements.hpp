// The Python statements that business code needs, each written once:
//
//   with_block      with manager as value: ...
//   try_finally     try: ... finally: ...
//   try_except      try: ... except SomeError as e: ...
//   on_error        try: ... except BaseException: cleanup(); raise
//   attempt         try: ...  except Exception: pass
//   raise_from      raise exc from cause
//   raise_in_context  raise exc (inside an except block: __context__ is set)
//   for_each        for item in iterable: ...
//   equal           a == b
//   compare         a < b, a <= b, a > b, a >= b
//   dict_of         {"key": value, ...}
//
// Each behaves as the statement does, including the exception chaining that
// Python does by itself (__context__ of an error raised while another one is
// being handled).
#pragma once

#include "object.hpp"

#include <optional>
#include <type_traits>
#include <utility>

namespace bridge {

// `raise exc from cause`: __cause__ set, __suppress_context__ true.
[[noreturn]] void raise_from(Owned exc, Owned cause);

// `raise exc` while `context` is being handled: __context__ set (with a
// null context, exc is raised as it is).
[[noreturn]] void raise_in_context(Owned exc, Owned context);

// Re-raises `error` after `cleanup` has run; when cleanup raises, its error
// wins and gets `error` as context.  `cleanup` runs while `error` counts as
// handled, as a finally clause or an except block would see it.
template <class Cleanup>
[[noreturn]] void reraise_after(Owned error, Cleanup&& cleanup) {
    try {
        Handling handling(error);
        cleanup();
    } catch (const PyError&) {
        Owned cleanup_error = fetch_error();
        if (cleanup_error.get() != error.get()) PyException_SetContext(cleanup_error.get(), error.release());
        restore_error(std::move(cleanup_error));
    }
    restore_error(std::move(error));
}

// try: return body()  finally: cleanup()
// The cleanup runs exactly once: after the body's error (which it then
// re-raises, or replaces with its own error), or after the body's result.
template <class Body, class Cleanup>
auto try_finally(Body&& body, Cleanup&& cleanup) -> decltype(body()) {
    using Result = decltype(body());
    std::optional<std::conditional_t<std::is_void_v<Result>, int, Result>> result;
    try {
        if constexpr (std::is_void_v<Result>) body();
        else result.emplace(body());
    } catch (const PyError&) {
        reraise_after(fetch_error(), cleanup);
    }
    cleanup();
    if constexpr (!std::is_void_v<Result>) return std::move(*result);
}

// try: return body()  except <type> as e: return handler(e)
// The handler runs while `e` is the exception being handled (sys.exception()
// sees it; an error raised there gets it as __context__).  Exceptions of
// other types, and everything the handler raises, propagate.
template <class Body, class Handler>
auto try_except(Body&& body, Borrowed type, Handler&& handler) -> decltype(body()) {
    try {
        return body();
    } catch (const PyError&) {
        Owned error = fetch_error();
        if (!PyErr_GivenExceptionMatches(error.get(), type.get())) restore_error(std::move(error));
        Handling handling(error);
        return handler(error);
    }
}

// try: return body()  except BaseException: cleanup(); raise
// For what must not outlive a failure (a temporary file, say): the cleanup
// runs while the body's error is being handled, then that same error is
// raised again; an error of the cleanup wins and gets it as __context__.
template <class Body, class Cleanup>
auto on_error(Body&& body, Cleanup&& cleanup) -> decltype(body()) {
    try {
        return body();
    } catch (const PyError&) {
        reraise_after(fetch_error(), cleanup);
    }
}

// try: step()  except Exception: pass
// True when the step ran to its end.  Interrupts and exit requests (outside
// the Exception family) propagate.
template <class Step>
bool attempt(Step&& step) {
    return try_except(
        [&] {
            step();
            return true;
        },
        PyExc_Exception, [](Borrowed) { return false; });
}

// The special method of a context manager, looked up on its type as the
// with statement does; TypeError when it is missing.
Owned context_method(Borrowed manager, Borrowed name, bool exit);

// with manager as value: body(value)
// When body raises, __exit__ receives the exception (while it is being
// handled) and may suppress it: then the result is null (void bodies: no
// result at all).
template <class Body>
auto with_block(Borrowed manager, Borrowed enter_name, Borrowed exit_name, Body&& body) {
    using Result = decltype(body(std::declval<Borrowed>()));
    Owned enter = context_method(manager, enter_name, false);
    Owned exit = context_method(manager, exit_name, true);
    PyObject* enter_args[] = {nullptr, manager.get()};  // the slot before the argument, for vectorcall
    Owned value = check(PyObject_Vectorcall(enter.get(), enter_args + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    std::conditional_t<std::is_void_v<Result>, int, Result> result{};
    try {
        if constexpr (std::is_void_v<Result>) body(value.borrow());
        else result = body(value.borrow());
    } catch (const PyError&) {
        Owned error = fetch_error();
        Owned error_type = Owned::ref(reinterpret_cast<PyObject*>(Py_TYPE(error.get())));
        Owned traceback = Owned::steal(PyException_GetTraceback(error.get()));
        bool suppressed = false;
        {
            Handling handling(error);  // an error of __exit__ chains to the body's error
            PyObject* args[] = {manager.get(), error_type.get(), error.get(), traceback ? traceback.get() : Py_None};
            suppressed = check_status(PyObject_IsTrue(check(PyObject_Vectorcall(exit.get(), args, 4, nullptr)).get()));
        }
        if (!suppressed) restore_error(std::move(error));
        if constexpr (!std::is_void_v<Result>) return Result{};
        else return;
    }
    PyObject* args[] = {manager.get(), Py_None, Py_None, Py_None};
    check(PyObject_Vectorcall(exit.get(), args, 4, nullptr));
    if constexpr (!std::is_void_v<Result>) return result;
}

// for item in iterable: fn(item)
template <class Fn>
void for_each(Borrowed iterable, Fn&& fn) {
    Owned iterator = check(PyObject_GetIter(iterable.get()));
    while (Owned item = Owned::steal(PyIter_Next(iterator.get()))) fn(item.borrow());
    if (PyErr_Occurred()) throw_error();
}

// a == b as containers compare their items: identity first, then __eq__.
inline bool equal(Borrowed a, Borrowed b) { return check_status(PyObject_RichCompareBool(a.get(), b.get(), Py_EQ)) != 0; }

// The ordering operators, for compare().
enum class Order : int { less = Py_LT, less_equal = Py_LE, greater = Py_GT, greater_equal = Py_GE };

// `a < b` (and the other orderings) taken as a truth value, as an if
// statement does: the reflected method of b is tried as Python tries it.
inline bool compare(Borrowed a, Order op, Borrowed b) {
    return check_status(PyObject_RichCompareBool(a.get(), b.get(), static_cast<int>(op))) != 0;
}

// {"key": value, ...} in the given order.
struct Entry {
    const char* key;
    Borrowed value;
};
Owned dict_of(std::initializer_list<Entry> entries);

}  // namespace bridge
