#include "function.hpp"

#include <structmember.h>

namespace bridge {

namespace {

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject* dict;
    PyObject* module;
    PyObject* closure;
    PyObject* name;
    PyObject* qualname;
    PyObject* doc;
    PyObject* param_names;  // tuple of interned str, one per parameter
    PyObject* defaults;     // tuple: defaults of the trailing parameters
    PyObject* annotations;  // built on first access
    PyObject* weakreflist;
    const FunctionSpec* spec;
    Py_ssize_t first_default;  // index of the first parameter with a default
    // The items of param_names and defaults (which keep them alive), read on
    // each call without going through the tuples.
    std::array<PyObject*, kMaxParams> name_items;
    std::array<PyObject*, kMaxParams> default_items;
};

// types.MethodType, bound when the function type is made: what a function
// read as an attribute of an instance gives.
PyObject* method_type = nullptr;

FunctionObject* as_function(PyObject* self) { return reinterpret_cast<FunctionObject*>(self); }

// ---- argument errors (kept out of the hot path) ---------------------------

[[gnu::cold, gnu::noinline]] void raise_count(const FunctionObject* f, Py_ssize_t given) {
    const auto total = static_cast<Py_ssize_t>(f->spec->params.size());
    const Py_ssize_t minimum = f->first_default;
    const bool too_many = given > total;
    const char* how = minimum == total ? "exactly" : (too_many ? "at most" : "at least");
    const Py_ssize_t expected = too_many ? total : minimum;
    raise_format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 f->spec->name, how, expected, expected == 1 ? "" : "s", given);
}

[[gnu::cold, gnu::noinline]] void raise_keyword(const FunctionObject* f, const char* what, PyObject* key) {
    raise_format(PyExc_TypeError, "%.200s() got %s keyword argument '%U'", f->spec->name, what, key);
}

// A keyword name that is not a str can only come from C code calling
// through vectorcall; Python functions refuse it the same way.
[[gnu::cold, gnu::noinline]] void raise_keyword_not_str(const FunctionObject* f) {
    raise_format(PyExc_TypeError, "%.200s() keywords must be strings", f->spec->name);
}

[[gnu::cold, gnu::noinline]] void raise_result_type(const char* expected, PyObject* got) {
    raise_format(PyExc_TypeError, "Expected %.16s, got %.200U", expected, type_name(got).get());
}

Py_ssize_t find_param(const FunctionObject* f, PyObject* key) {
    const auto n = static_cast<Py_ssize_t>(f->spec->params.size());
    for (Py_ssize_t i = 0; i < n; ++i)
        if (f->name_items[i] == key) return i;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* name = f->name_items[i];
        if (PyUnicode_Compare(name, key) == 0) return i;
    }
    if (PyErr_Occurred()) throw_error();
    return -1;
}

bool is_real_number(PyObject* value) {
    return PyNumber_Check(value) && !PyComplex_Check(value);
}

const char* expected_name(ArgType type) {
    switch (type) {
        case ArgType::Str: return "str";
        case ArgType::Dict: return "dict";
        case ArgType::List: return "list";
        case ArgType::Int: return "int";
        case ArgType::Float: return "float";
        case ArgType::Any: break;
    }
    return "object";
}

bool has_exact_type(PyObject* value, ArgType type) {
    switch (type) {
        case ArgType::Str: return PyUnicode_CheckExact(value);
        case ArgType::Dict: return PyDict_CheckExact(value);
        case ArgType::List: return PyList_CheckExact(value);
        default: return true;
    }
}

}  // namespace

[[gnu::cold, gnu::noinline]] void raise_argument_type(const char* name, const char* expected, Borrowed given) {
    raise_format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200U)", name,
                 expected, type_name(given).get());
}

struct FunctionAccess {
    static void bind(CallFrame& frame, FunctionObject* f, PyObject* const* args, size_t nargsf,
                     PyObject* kwnames) {
        const FunctionSpec& spec = *f->spec;
        const auto total = static_cast<Py_ssize_t>(spec.params.size());
        const Py_ssize_t given = PyVectorcall_NARGS(nargsf);
        if (given > total) raise_count(f, given);
        for (Py_ssize_t i = 0; i < given; ++i) frame.values_[i] = args[i];

        if (spec.var_keywords) frame.extra_ = new_dict();
        if (kwnames) {
            const Py_ssize_t nkw = tuple_size(kwnames);
            for (Py_ssize_t k = 0; k < nkw; ++k) {
                PyObject* key = tuple_item(kwnames, k).get();
                if (!PyUnicode_Check(key)) raise_keyword_not_str(f);
                PyObject* value = args[given + k];
                const Py_ssize_t index = find_param(f, key);
                if (index < 0) {
                    if (!spec.var_keywords) raise_keyword(f, "an unexpected", key);
                    dict_set(frame.extra_, key, value);
                } else if (frame.values_[index]) {
                    raise_keyword(f, "multiple values for", key);
                } else {
                    frame.values_[index] = value;
                }
            }
        }
        for (Py_ssize_t i = 0; i < total; ++i) {
            if (frame.values_[i]) continue;
            if (i < f->first_default) raise_count(f, given);
            frame.values_[i] = f->default_items[i - f->first_default];
        }
        check_types(frame, spec);
        frame.module_ = f->module;
        frame.closure_ = f->closure;
    }

    static void check_types(CallFrame& frame, const FunctionSpec& spec) {
        for (size_t i = 0; i < spec.params.size(); ++i) {
            const Param& p = spec.params[i];
            if (p.type == ArgType::Any) continue;
            PyObject* value = frame.values_[i].get();
            if (value == Py_None && p.none_allowed) continue;
            if (p.type == ArgType::Int || p.type == ArgType::Float) {
                if (!is_real_number(value)) raise_argument_type(p.name, expected_name(p.type), value);
                frame.holders_[i] = check(p.type == ArgType::Int ? PyNumber_Long(value) : PyNumber_Float(value));
                frame.values_[i] = frame.holders_[i].borrow();
            } else if (!has_exact_type(value, p.type)) {
                raise_argument_type(p.name, expected_name(p.type), value);
            }
        }
    }

    static void check_result(const FunctionObject* f, PyObject* result) {
        if (result == Py_None) return;
        switch (f->spec->result) {
            case ResultType::Any: return;
            case ResultType::Str:
                if (!PyUnicode_CheckExact(result)) raise_result_type("str", result);
                return;
            case ResultType::Dict:
                if (!PyDict_CheckExact(result)) raise_result_type("dict", result);
                return;
            case ResultType::Bool:
                if (!PyBool_Check(result)) raise_result_type("bool", result);
                return;
        }
    }
};

namespace {

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    return guarded([&] {
        FunctionObject* f = as_function(self);
        CallFrame frame;
        FunctionAccess::bind(frame, f, args, nargsf, kwnames);
        Owned result = f->spec->body(frame);
        FunctionAccess::check_result(f, result.get());
        return result;
    });
}

// ---- descriptor and attributes ---------------------------------------------

PyObject* function_get(PyObject* self, PyObject* instance, PyObject*) {
    if (instance == nullptr || instance == Py_None) return Py_NewRef(self);
    PyObject* args[] = {nullptr, self, instance};  // the slot before the arguments, for vectorcall
    return PyObject_Vectorcall(method_type, args + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    FunctionObject* f = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->dict);
    Py_VISIT(f->module);
    Py_VISIT(f->closure);
    Py_VISIT(f->defaults);
    Py_VISIT(f->annotations);
    return 0;
}

// Breaks reference cycles through the attributes a caller may set.  The
// module, closure and defaults stay until deallocation: a call can still
// reach a function whose cycle is being collected (from a __del__ of another
// member), and the call path reads them without checks.  Cycles through them
// are broken by the module's and the closure items' own clear.
int function_clear(PyObject* self) {
    FunctionObject* f = as_function(self);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->annotations);
    return 0;
}

void function_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    FunctionObject* f = as_function(self);
    if (f->weakreflist) PyObject_ClearWeakRefs(self);
    function_clear(self);
    Py_CLEAR(f->module);
    Py_CLEAR(f->closure);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->param_names);
    auto free_object = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_object(self);
    Py_DECREF(type);
}

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(as_function(self)->name); }
PyObject* get_qualname(PyObject* self, void*) { return Py_NewRef(as_function(self)->qualname); }
PyObject* get_doc(PyObject* self, void*) { return Py_NewRef(as_function(self)->doc); }
PyObject* get_defaults(PyObject* self, void*) {
    FunctionObject* f = as_function(self);
    if (f->first_default == static_cast<Py_ssize_t>(f->spec->params.size())) Py_RETURN_NONE;
    return Py_NewRef(f->defaults);
}
PyObject* get_abstract(PyObject* self, void*) { return PyBool_FromLong(as_function(self)->spec->abstract); }

Owned build_annotations(const FunctionSpec& spec) {
    Owned annotations = new_dict();
    for (const Param& p : spec.params)
        if (p.annotation) dict_set(annotations, p.name, str_from(p.annotation));
    if (spec.return_annotation) dict_set(annotations, "return", str_from(spec.return_annotation));
    return annotations;
}

PyObject* get_annotations(PyObject* self, void*) {
    return guarded([&] {
        FunctionObject* f = as_function(self);
        if (!f->annotations) f->annotations = build_annotations(*f->spec).release();
        return Owned::ref(f->annotations);
    });
}

int set_annotations(PyObject* self, PyObject* value, void*) {
    if (value == nullptr || !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    PyObject* old = as_function(self)->annotations;
    as_function(self)->annotations = Py_NewRef(value);
    Py_XDECREF(old);
    return 0;
}

// inspect.Signature built from the parameter table, so that
// inspect.signature() shows real names, defaults and annotations.
PyObject* get_signature(PyObject* self, void*) {
    return guarded([&] {
        FunctionObject* f = as_function(self);
        const FunctionSpec& spec = *f->spec;
        Owned inspect = import("inspect");
        Owned parameter = getattr(inspect, intern("Parameter"));
        Owned positional = getattr(parameter, intern("POSITIONAL_OR_KEYWORD"));
        Owned empty = getattr(parameter, intern("empty"));
        Owned kw_default = intern("default");
        Owned kw_annotation = intern("annotation");
        Owned params = new_list();
        for (size_t i = 0; i < spec.params.size(); ++i) {
            const Param& p = spec.params[i];
            const auto index = static_cast<Py_ssize_t>(i);
            Borrowed def = index >= f->first_default ? f->default_items[index - f->first_default] : empty.get();
            Owned annotation = p.annotation ? str_from(p.annotation) : Owned::ref(empty.get());
            list_append(params, call(parameter, {f->name_items[i], positional},
                                     {{kw_default, def}, {kw_annotation, annotation}}));
        }
        if (spec.var_keywords) {
            Owned var_kind = getattr(parameter, intern("VAR_KEYWORD"));
            list_append(params, call(parameter, str_from(spec.var_keywords), var_kind));
        }
        Owned ret = spec.return_annotation ? str_from(spec.return_annotation) : Owned::ref(empty.get());
        Owned signature_type = getattr(inspect, intern("Signature"));
        return call(signature_type, {params}, {{intern("return_annotation"), ret}});
    });
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"__doc__", get_doc, nullptr, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__isabstractmethod__", get_abstract, nullptr, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// Pickled and copied by reference, like a Python function: the result is
// looked up as __module__ + __qualname__.
PyObject* function_reduce(PyObject* self, PyObject*) { return Py_NewRef(as_function(self)->qualname); }

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef function_members[] = {
    {"__dictoffset__", T_PYSSIZET, offsetof(FunctionObject, dict), READONLY, nullptr},
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(FunctionObject, vectorcall), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(FunctionObject, weakreflist), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_get)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_getset, function_getset},
    {Py_tp_members, function_members},
    {Py_tp_methods, function_methods},
    {0, nullptr},
};

Owned default_object(const DefaultValue& d) {
    switch (d.kind) {
        case DefaultValue::Kind::None: return none();
        case DefaultValue::Kind::Str: return str_from(d.text);
        case DefaultValue::Kind::Int: return integer(d.number);
        case DefaultValue::Kind::Required: break;
    }
    return Owned();
}

}  // namespace

Owned make_function_type(Borrowed module, const char* type_name) {
    static PyType_Spec spec{};
    spec.name = type_name;
    spec.basicsize = sizeof(FunctionObject);
    spec.flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
                 Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION;
    spec.slots = function_slots;
    if (!method_type) method_type = getattr(import("types"), intern("MethodType")).release();
    return check(PyType_FromModuleAndSpec(module.get(), &spec, nullptr));
}

Owned make_function(Borrowed type, const FunctionSpec& spec, Borrowed module, Borrowed closure,
                    const char* owner) {
    if (spec.params.size() > kMaxParams) raise(PyExc_SystemError, "too many parameters for a native function");
    Owned param_names = new_tuple(static_cast<Py_ssize_t>(spec.params.size()));
    Owned defaults = new_list();
    Py_ssize_t first_default = static_cast<Py_ssize_t>(spec.params.size());
    for (size_t i = 0; i < spec.params.size(); ++i) {
        const Param& p = spec.params[i];
        fill_tuple_item(param_names, static_cast<Py_ssize_t>(i), intern(p.name));
        Owned d = default_object(p.default_value);
        if (d) {
            if (first_default == static_cast<Py_ssize_t>(spec.params.size()))
                first_default = static_cast<Py_ssize_t>(i);
            list_append(defaults, d);
        } else if (first_default != static_cast<Py_ssize_t>(spec.params.size())) {
            raise(PyExc_SystemError, "a required parameter follows one with a default");
        }
    }
    // __module__ is looked up on the type, whose own __module__ is a str (the
    // module part of its dotted name, which stubgen, inspect and pydoc read);
    // a function of a module with another name keeps its own in its __dict__,
    // which attribute lookup reads before the type's plain str.
    Owned module_name = module ? check(PyModule_GetNameObject(module.get())) : str_from("builtins");
    Owned type_module = getattr(type, intern("__module__"));
    const int same_module = PyObject_RichCompareBool(module_name.get(), type_module.get(), Py_EQ);
    if (same_module < 0) throw_error();
    Owned dict;
    if (!same_module) {
        dict = new_dict();
        dict_set(dict, "__module__", module_name);
    }
    Owned name = intern(spec.name);
    Owned qualname = owner ? check(PyUnicode_FromFormat("%s.%s", owner, spec.name)) : Owned::ref(name.get());
    Owned doc = spec.doc ? str_from(spec.doc) : none();
    Owned default_tuple = check(PyList_AsTuple(defaults.get()));

    auto* f = PyObject_GC_New(FunctionObject, reinterpret_cast<PyTypeObject*>(type.get()));
    if (!f) throw_error();
    Owned result = Owned::steal(reinterpret_cast<PyObject*>(f));
    f->vectorcall = function_vectorcall;
    f->dict = dict.release();
    f->module = Py_XNewRef(module.get());
    f->closure = Py_XNewRef(closure.get());
    f->name = name.release();
    f->qualname = qualname.release();
    f->doc = doc.release();
    f->param_names = param_names.release();
    f->defaults = default_tuple.release();
    f->annotations = nullptr;
    f->weakreflist = nullptr;
    f->spec = &spec;
    f->first_default = first_default;
    f->name_items = {};
    f->default_items = {};
    for (size_t i = 0; i < spec.params.size(); ++i)
        f->name_items[i] = tuple_item(f->param_names, static_cast<Py_ssize_t>(i)).get();
    for (Py_ssize_t i = 0; i < tuple_size(f->defaults); ++i) f->default_items[i] = tuple_item(f->defaults, i).get();
    PyObject_GC_Track(f);
    return result;
}

}  // namespace bridge
