#include "runtime.hpp"

#include "bridge/module.hpp"

#include <array>
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

// Writes `value` as exactly `width` decimal digits, zero-padded.
char* put_digits(char* out, long value, int width) {
    for (int i = width - 1; i >= 0; --i) {
        out[i] = static_cast<char>('0' + value % 10);
        value /= 10;
    }
    return out + width;
}

struct CivilDate {
    long year;
    int month;
    int day;
};

// Proleptic Gregorian date of a day count since 1970-01-01 (the inverse of
// the usual days-from-civil computation, in 400-year eras).
CivilDate civil_from_days(long days) {
    days += 719468;
    const long era = (days >= 0 ? days : days - 146096) / 146097;
    const long day_of_era = days - era * 146097;
    const long year_of_era = (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
    const long day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
    const long shifted_month = (5 * day_of_year + 2) / 153;
    const int day = static_cast<int>(day_of_year - (153 * shifted_month + 2) / 5 + 1);
    const int month = static_cast<int>(shifted_month < 10 ? shifted_month + 3 : shifted_month - 9);
    return {year_of_era + era * 400 + (month <= 2 ? 1 : 0), month, day};
}

// Both the timestamp fast path and the generic path produce
// YYYY-MM-DDTHH:MM:SS[.ffffff]Z; the fast path is taken while the module's
// `datetime` and `timezone` are the standard ones.  Like datetime.now(), it
// floors the system clock to whole microseconds.
Owned native_utc_timestamp() {
    timespec now{};
    if (clock_gettime(CLOCK_REALTIME, &now) != 0) {
        PyErr_SetFromErrno(PyExc_OSError);
        bridge::throw_error();
    }
    const long seconds_of_day = static_cast<long>(((now.tv_sec % 86400) + 86400) % 86400);
    const long days = static_cast<long>((now.tv_sec - seconds_of_day) / 86400);
    const CivilDate date = civil_from_days(days);
    if (date.year < 1 || date.year > 9999) bridge::raise(PyExc_ValueError, "year is out of range");
    const long microseconds = now.tv_nsec / 1000;

    char text[32];
    char* out = put_digits(text, date.year, 4);
    *out++ = '-';
    out = put_digits(out, date.month, 2);
    *out++ = '-';
    out = put_digits(out, date.day, 2);
    *out++ = 'T';
    out = put_digits(out, seconds_of_day / 3600, 2);
    *out++ = ':';
    out = put_digits(out, seconds_of_day / 60 % 60, 2);
    *out++ = ':';
    out = put_digits(out, seconds_of_day % 60, 2);
    if (microseconds != 0) {
        *out++ = '.';
        out = put_digits(out, microseconds, 6);
    }
    *out++ = 'Z';
    return bridge::check(PyUnicode_DecodeASCII(text, out - text, nullptr));
}

// The C function behind datetime.now, so that a clock replaced at that level
// (as time-travel test libraries do) is noticed and honoured.
void remember_datetime_now(Runtime& rt) {
    Owned type_dict = bridge::getattr(rt.datetime_type, rt.names[static_cast<size_t>(N::__dict__)]);
    Owned now = bridge::check(PyObject_GetItem(type_dict, rt.names[static_cast<size_t>(N::now)]));
    if (!Py_IS_TYPE(now.get(), &PyClassMethodDescr_Type)) return;  // the native timestamp stays off
    rt.datetime_now = now;
    rt.datetime_now_function = reinterpret_cast<PyMethodDescrObject*>(now.get())->d_method->ml_meth;
}

bool datetime_now_is_standard(const Runtime& rt) {
    return rt.datetime_now_function &&
           reinterpret_cast<PyMethodDescrObject*>(rt.datetime_now.get())->d_method->ml_meth == rt.datetime_now_function;
}

Owned python_utc_timestamp(Borrowed datetime_type, Borrowed timezone_type) {
    Owned utc = bridge::getattr(timezone_type, name(N::utc));
    Owned now = bridge::call_method(datetime_type, name(N::now), {utc});
    Owned text = bridge::call_method(now, name(N::isoformat), {});
    return bridge::call_method(text, name(N::replace), {runtime().utc_offset, runtime().utc_suffix});
}

// The attribute `item` was missing from `imported`: like the import
// statement, take a submodule of that name already in sys.modules, or raise
// the interpreter's own ImportError (text, name, path and name_from).
Owned submodule_or_import_error(Borrowed imported, Borrowed item) {
    Owned package_name = Owned::steal(PyObject_GetAttrString(imported, "__name__"));
    if (package_name && !PyUnicode_Check(package_name.get())) package_name = Owned();
    if (package_name) {
        Owned full_name = bridge::check(PyUnicode_FromFormat("%U.%U", package_name.get(), item.get()));
        if (PyObject* submodule = PyImport_GetModule(full_name)) return Owned::steal(submodule);
        if (PyErr_Occurred()) bridge::throw_error();
    }
    PyErr_Clear();
    Owned path = PyModule_Check(imported.get()) ? Owned::steal(PyModule_GetFilenameObject(imported)) : Owned();
    PyErr_Clear();
    if (path && !PyUnicode_Check(path.get())) path = Owned();
    Owned shown_name = package_name ? package_name : bridge::str_from("<unknown module name>");
    Owned message;
    if (!path) {
        message = bridge::check(PyUnicode_FromFormat("cannot import name %R from %R (unknown location)", item.get(),
                                                     shown_name.get()));
    } else {
        Owned spec = Owned::steal(PyObject_GetAttrString(imported, "__spec__"));
        Owned initializing = spec ? Owned::steal(PyObject_GetAttrString(spec, "_initializing")) : Owned();
        const int partial = initializing ? PyObject_IsTrue(initializing) : 0;
        PyErr_Clear();
        const char* format = partial > 0 ? "cannot import name %R from partially initialized module %R "
                                           "(most likely due to a circular import) (%S)"
                                         : "cannot import name %R from %R (%S)";
        message = bridge::check(PyUnicode_FromFormat(format, item.get(), shown_name.get(), path.get()));
    }
    PyErr_SetImportError(message, package_name ? package_name.get() : nullptr, path ? path.get() : nullptr);
    Owned error = bridge::fetch_error();
    if (PyObject_SetAttrString(error, "name_from", item) < 0) PyErr_Clear();
    bridge::restore_error(std::move(error));
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
    remember_datetime_now(*rt);
    Owned threading = bridge::import("threading");
    rt->local_type = bridge::getattr(threading, rt->names[static_cast<size_t>(N::local)]);
    rt->json_module = bridge::import("json");
    rt->json_dumps = bridge::getattr(rt->json_module, rt->names[static_cast<size_t>(N::dumps)]);
    rt->json_encoder = bridge::getattr(rt->json_module, rt->names[static_cast<size_t>(N::JSONEncoder)]);
    rt->os_module = bridge::import("os");
    rt->os_getenv = bridge::getattr(rt->os_module, rt->names[static_cast<size_t>(N::getenv)]);
    rt->os_environ = bridge::getattr(rt->os_module, rt->names[static_cast<size_t>(N::environ)]);
    g_runtime = rt.release();
}

void reset_runtime() noexcept {
    delete g_runtime;
    g_runtime = nullptr;
}

Owned global(N n) { return bridge::module_global(runtime().module, name(n)); }

namespace {

// A cached object per name, built by `make` on first use.
template <class Make>
Borrowed cached(std::array<Owned, static_cast<size_t>(N::count_)>& cache, N item, Make&& make) {
    Owned& slot = cache[static_cast<size_t>(item)];
    if (!slot) slot = make();
    return slot.borrow();
}

// The interned module name.  Callers pass string literals, so the literal's
// address identifies the name and the interning runs once per name; the
// handful of names fit a small table (interned strings are immortal, and the
// GIL serialises access).
Owned module_name_of(const char* module) {
    struct Entry {
        const char* text;
        PyObject* name;
    };
    static std::array<Entry, 8> table{};
    for (Entry& entry : table) {
        if (entry.text == module) return Owned::ref(entry.name);
        if (!entry.text) {
            entry.name = bridge::intern(module).release();
            entry.text = module;
            return Owned::ref(entry.name);
        }
    }
    return bridge::intern(module);
}

}  // namespace

Owned import_module(const char* module) { return import_with(module_name_of(module), Borrowed()); }

Owned import_from(const char* module, N item) { return import_from(module_name_of(module), item); }

Owned import_from(Borrowed module_name, N item) {
    Borrowed fromlist = cached(runtime().fromlists, item, [&] { return bridge::tuple_of(name(item)); });
    Owned imported = import_with(module_name, fromlist);
    if (Owned value = bridge::getattr_optional(imported, name(item))) return value;
    return submodule_or_import_error(imported, name(item));
}

Owned getenv(N key, Borrowed fallback) {
    Owned os = global(N::os);
    Owned getenv_function = bridge::getattr(os, name(N::getenv));
    const Runtime& rt = runtime();
    if (os.get() != rt.os_module.get() || getenv_function.get() != rt.os_getenv.get())
        return bridge::call(getenv_function, {name(key), fallback});
    // The standard os.getenv reads os.environ, whose _data dict maps the
    // file-system-encoded names to encoded values; read it without the
    // Python-level mapping layers.
    Owned environ = bridge::getattr(os, name(N::environ));
    Owned data = environ.get() == rt.os_environ.get() ? bridge::getattr_optional(environ, name(N::_data)) : Owned();
    if (!data || !PyDict_CheckExact(data.get()))
        return bridge::call(getenv_function, {name(key), fallback});
    Borrowed encoded_key = cached(runtime().encoded_names, key,
                                  [&] { return bridge::check(PyUnicode_EncodeFSDefault(name(key))); });
    Borrowed value = bridge::dict_get(data, encoded_key);
    if (!value) return Owned::ref(fallback);
    if (!PyBytes_CheckExact(value.get())) return bridge::call(getenv_function, {name(key), fallback});
    return bridge::check(PyUnicode_DecodeFSDefaultAndSize(PyBytes_AS_STRING(value.get()), PyBytes_GET_SIZE(value.get())));
}

Owned utc_timestamp() {
    Owned datetime_type = global(N::datetime);
    Owned timezone_type = global(N::timezone);
    const Runtime& rt = runtime();
    if (datetime_type.get() == rt.datetime_type.get() && timezone_type.get() == rt.timezone_type.get() &&
        datetime_now_is_standard(rt))
        return native_utc_timestamp();
    return python_utc_timestamp(datetime_type, timezone_type);
}

}  // namespace pulsewire
