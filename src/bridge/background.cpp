#include "background.hpp"

namespace bridge {

namespace detail {

Owned box_pointer(void* value, PyCapsule_Destructor destroy) { return check(PyCapsule_New(value, kBoxName, destroy)); }

void* unbox_pointer(Borrowed box, PyCapsule_Destructor destroy) {
    if (!PyCapsule_IsValid(box.get(), kBoxName) || PyCapsule_GetDestructor(box.get()) != destroy)
        raise(PyExc_SystemError, "a native closure got an object that is not its own box");
    return PyCapsule_GetPointer(box.get(), kBoxName);
}

}  // namespace detail

namespace {

// The keyword and method names a thread start uses, interned on first use
// and kept for the life of the process, as the modules' runtimes are.
struct ThreadNames {
    Owned target = intern("target");
    Owned args = intern("args");
    Owned daemon = intern("daemon");
    Owned start = intern("start");
};

const ThreadNames& thread_names() {
    static const ThreadNames* names = new ThreadNames();
    return *names;
}

}  // namespace

Owned start_daemon_thread(const BackgroundCall& call) {
    const ThreadNames& n = thread_names();
    Owned target = make_function(call.function_type, call.target, call.module, call.closure, call.owner);
    Owned daemon = boolean(true);
    const Kw keywords[] = {{n.target, target}, {n.args, call.args}, {n.daemon, daemon}};
    Owned thread = bridge::call(call.thread_type, {}, keywords);
    call_method(thread, n.start);
    return thread;
}

}  // namespace bridge
