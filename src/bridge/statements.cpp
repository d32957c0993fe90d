#include "statements.hpp"

namespace bridge {

void raise_from(Owned exc, Owned cause) {
    PyException_SetCause(exc.get(), cause.release());  // also sets __suppress_context__
    restore_error(std::move(exc));
}

void raise_in_context(Owned exc, Owned context) {
    if (context && context.get() != exc.get()) PyException_SetContext(exc.get(), context.release());
    restore_error(std::move(exc));
}

Owned context_method(Borrowed manager, Borrowed name, bool exit) {
    Owned type = Owned::ref(reinterpret_cast<PyObject*>(Py_TYPE(manager.get())));
    Owned found = getattr_optional(type, name);
    if (!found)
        raise_format(PyExc_TypeError, "'%.200U' object does not support the context manager protocol%s",
                     type_name(manager).get(), exit ? " (missed __exit__ method)" : "");
    return found;
}

Owned dict_of(std::initializer_list<Entry> entries) {
    Owned dict = new_dict();
    for (const Entry& e : entries) dict_set(dict, e.key, e.value);
    return dict;
}

}  // namespace bridge
