// Calls that run on a thread of their own: a native function closing over a
// C++ value, and a daemon threading.Thread running it.
//
// The value lives in a box, a Python object (a capsule) that owns it: it
// lives as long as the last reference to the box, whether held from C++ (an
// Owned) or from Python (the closure of a function a thread still runs), so
// a caller that leaves early (a Ctrl-C in its wait) never frees what the
// thread still uses.  The thread runs the function in the interpreter that
// started it, with the GIL, as any Python thread does.
#pragma once

#include "function.hpp"

#include <memory>

namespace bridge {

namespace detail {
inline constexpr const char* kBoxName = "zentrel.bridge.box";

// The capsule's destructor, one per boxed type: it also tells the boxed type.
template <class T>
void destroy_box(PyObject* capsule) noexcept {
    delete static_cast<T*>(PyCapsule_GetPointer(capsule, kBoxName));
}

Owned box_pointer(void* value, PyCapsule_Destructor destroy);
void* unbox_pointer(Borrowed box, PyCapsule_Destructor destroy);
}  // namespace detail

// A Python object owning `value`.
template <class T>
Owned box(std::unique_ptr<T> value) {
    Owned result = detail::box_pointer(value.get(), &detail::destroy_box<T>);
    value.release();  // the box owns it now
    return result;
}

// The value a box of T holds; SystemError for any other object.
template <class T>
T& unbox(Borrowed box) {
    return *static_cast<T*>(detail::unbox_pointer(box, &detail::destroy_box<T>));
}

// What a call made on one thread for another gave: its result, or what it
// raised (a C++ failure as Python shows it: MemoryError, SystemError).
struct Outcome {
    Owned result;
    Owned error;
};

// Runs `call` (returning Owned) and keeps its outcome; never raises.
template <class F>
Outcome capture(F&& call) noexcept {
    try {
        return {call(), {}};
    } catch (...) {
        detail::translate_current_exception();
        return {{}, fetch_error()};
    }
}

// One call on a background thread: the native function `target` (its body
// reads `closure` through CallFrame::closure(), a box say) run by
// thread_type(target=<function>, args=args, daemon=True).
struct BackgroundCall {
    Borrowed thread_type;    // threading.Thread, as the module binds it
    Borrowed function_type;  // the module's native function type
    const FunctionSpec& target;
    Borrowed module;
    Borrowed closure;
    const char* owner = nullptr;  // the target's __qualname__ is "<owner>.<name>" with one
    Borrowed args = {};           // the target's positional arguments (a tuple), or none
};

// Starts the thread; returns it, started.  The thread's name is threading's
// default, "Thread-<n> (<target's __name__>)"; as a daemon it never holds up
// the interpreter's exit.
Owned start_daemon_thread(const BackgroundCall& call);

}  // namespace bridge
