#include "runtime.hpp"

#include <array>
#include <cstdio>
#include <ctime>
#include <memory>

namespace pulsewire {

namespace {

// Deliberately not a smart pointer: the module is never unloaded, and a
// destructor run at process exit would release Python objects after the
// interpreter has finalised.  Only a failed module exec frees it (with the
// GIL held).
Runtime* g_runtime = nullptr;

constexpr std::array<const char*, static_cast<size_t>(N::count_)> kNameTexts = {
#define PULSEWIRE_NAME_TEXT(name) #name,
    PULSEWIRE_NAMES(PULSEWIRE_NAME_TEXT)
#undef PULSEWIRE_NAME_TEXT
};

// builtins.__import__ of the running code (the caller's frame, or the
// interpreter's builtins when no Python frame is active).
Owned current_import_function() {
    Borrowed builtins = PyEval_GetBuiltins();
    Borrowed import_function = builtins ? bridge::dict_get(builtins, name(N::__import__)) : Borrowed();
    if (!import_function) bridge::raise(PyExc_ImportError, "__import__ not found");
    return Owned::ref(import_function);
}

// What the import statement does: __import__(module, globals, None, fromlist, 0),
// taking the direct route when __import__ is the interpreter's own.
Owned import_with(Borrowed module_name, Borrowed fromlist) {
    Borrowed globals = PyModule_GetDict(runtime().module);
    Owned import_function = current_import_function();
    if (import_function.get() == runtime().builtin_import.get())
        return bridge::check(PyImport_ImportModuleLevelObject(module_name, globals, nullptr, fromlist, 0));
    Owned level = bridge::integer(0);
    Borrowed from = fromlist ? fromlist : Borrowed(Py_None);
    return bridge::call(import_function, {module_name, globals, Borrowed(Py_None), from, level});
}

// Both the timestamp fast path and the generic path produce
// YYYY-MM-DDTHH:MM:SS[.ffffff]Z; the fast path is taken while the module's
// `datetime` and `timezone` are the standard ones.
Owned native_utc_timestamp() {
    timespec now{};
    if (clock_gettime(CLOCK_REALTIME, &now) != 0) {
        PyErr_SetFromErrno(PyExc_OSError);
        bridge::throw_error();
    }
    // datetime.now() floors the clock reading to whole microseconds.
    const time_t seconds = now.tv_sec;
    const long microseconds = now.tv_nsec / 1000;
    tm parts{};
    if (!gmtime_r(&seconds, &parts)) {
        PyErr_SetFromErrno(PyExc_OverflowError);
        bridge::throw_error();
    }
    // A leap second from the platform is shown as second 59, as datetime does.
    const int second = parts.tm_sec > 59 ? 59 : parts.tm_sec;
    char text[48];
    int size;
    if (microseconds == 0) {
        size = std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02dZ", parts.tm_year + 1900,
                             parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, second);
    } else {
        size = std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%06ldZ", parts.tm_year + 1900,
                             parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, second, microseconds);
    }
    return bridge::check(PyUnicode_DecodeASCII(text, size, nullptr));
}

Owned python_utc_timestamp(Borrowed datetime_type, Borrowed timezone_type) {
    Owned utc = bridge::getattr(timezone_type, name(N::utc));
    Owned now = bridge::call_method(datetime_type, name(N::now), {utc});
    Owned text = bridge::call_method(now, name(N::isoformat), {});
    return bridge::call_method(text, name(N::replace), {runtime().utc_offset, runtime().utc_suffix});
}

}  // namespace

Runtime& runtime() noexcept { return *g_runtime; }

void init_runtime(Borrowed module) {
    auto rt = std::make_unique<Runtime>();
    rt->names.init(kNameTexts);
    rt->function_type = bridge::make_function_type(module, "zentrel_core.pulsewire.native_function");
    rt->module = module;
    rt->channel = bridge::str_from("zentrel:logs");
    rt->default_port = bridge::str_from("18003");
    rt->utc_offset = bridge::str_from("+00:00");
    rt->utc_suffix = bridge::str_from("Z");
    rt->two_digits = bridge::str_from("02d");
    rt->default_keyword = bridge::intern("default");
    rt->host_logger_module = bridge::intern("zentrel_core.logger");
    Owned builtins = bridge::import("builtins");
    rt->builtin_import = bridge::getattr(builtins, rt->names[static_cast<size_t>(N::__import__)]);
    Owned datetime_module = bridge::import("datetime");
    rt->datetime_type = bridge::getattr(datetime_module, rt->names[static_cast<size_t>(N::datetime)]);
    rt->timezone_type = bridge::getattr(datetime_module, rt->names[static_cast<size_t>(N::timezone)]);
    g_runtime = rt.release();
}

void reset_runtime() noexcept {
    delete g_runtime;
    g_runtime = nullptr;
}

Owned global(N n) {
    Borrowed dict = PyModule_GetDict(runtime().module);
    Borrowed value = bridge::dict_get(dict, name(n));
    if (!value) {
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name(n).get());
        bridge::throw_error();
    }
    return Owned::ref(value);
}

Owned import_module(const char* module) {
    Owned module_name = bridge::intern(module);
    return import_with(module_name, Borrowed());
}

Owned import_from(const char* module, N item) { return import_from(bridge::intern(module), item); }

Owned import_from(Borrowed module_name, N item) {
    Owned fromlist = bridge::tuple_of(name(item));
    Owned imported = import_with(module_name, fromlist);
    Owned value = bridge::getattr_optional(imported, name(item));
    if (!value) {
        PyErr_Format(PyExc_ImportError, "cannot import name '%U' from '%U'", name(item).get(), module_name.get());
        bridge::throw_error();
    }
    return value;
}

Owned utc_timestamp() {
    Owned datetime_type = global(N::datetime);
    Owned timezone_type = global(N::timezone);
    if (datetime_type.get() == runtime().datetime_type.get() && timezone_type.get() == runtime().timezone_type.get())
        return native_utc_timestamp();
    return python_utc_timestamp(datetime_type, timezone_type);
}

}  // namespace pulsewire
