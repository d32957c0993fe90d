// Multi-phase module initialisation for a module that lives in one
// interpreter per process and is initialised once.
//
// - create: the first interpreter that creates the module owns it; any other
//   interpreter gets ImportError.  Once the module exists, a repeated import
//   (after it was dropped from sys.modules) gets the same object back.
// - exec: runs the module code once, on that object.  Running it again on the
//   same object does nothing; running it on any other module object raises
//   RuntimeError.  If the module code fails, the object and everything built
//   for it are released so that a later import starts afresh.
#pragma once

#include "error.hpp"

#include <cstdint>
#include <initializer_list>

namespace bridge {

class SingleInterpreterModule {
public:
    using Body = void (*)(Borrowed module);
    using Reset = void (*)();

    // `short_name` appears in the re-initialisation message ("clusterlane").
    constexpr SingleInterpreterModule(const char* short_name, Body body, Reset reset) noexcept
        : short_name_(short_name), body_(body), reset_(reset) {}

    PyObject* create(PyObject* spec, PyModuleDef* def) noexcept;
    int exec(PyObject* module) noexcept;

    Borrowed module() const noexcept { return module_; }
    const char* short_name() const noexcept { return short_name_; }

private:
    const char* short_name_;
    Body body_;
    Reset reset_;
    std::int64_t interpreter_id_ = -1;
    PyObject* module_ = nullptr;  // strong reference once exec has started
};

// The module definition with its create and exec slots bound to `Module`;
// the extension's PyInit_<name> returns definition().
template <SingleInterpreterModule& Module>
class MultiPhaseDefinition {
public:
    static PyObject* definition() noexcept { return PyModuleDef_Init(&def_); }

private:
    static PyObject* create(PyObject* spec, PyModuleDef* def) noexcept { return Module.create(spec, def); }
    static int exec(PyObject* module) noexcept { return Module.exec(module); }

    static inline PyModuleDef_Slot slots_[] = {
        {Py_mod_create, reinterpret_cast<void*>(create)},
        {Py_mod_exec, reinterpret_cast<void*>(exec)},
        {0, nullptr},
    };
    static inline PyModuleDef def_ = {
        PyModuleDef_HEAD_INIT, Module.short_name(), nullptr, 0, nullptr, slots_, nullptr, nullptr, nullptr,
    };
};

// The extension's entry point: CPython looks up PyInit_<name> in the file
// and gets the definition of `module` (a SingleInterpreterModule).
#define BRIDGE_MODULE_ENTRY(name, module) \
    PyMODINIT_FUNC PyInit_##name() { return ::bridge::MultiPhaseDefinition<module>::definition(); }

// A name bound in the module's namespace, looked up at each use so that a
// replacement assigned to the module attribute is the one used; NameError
// when it is not bound.
Owned module_global(Borrowed module, Borrowed name);

// The module's __name__ as its definition gave it ("zentrel_core.pulsewire").
inline Owned module_name(Borrowed module) { return check(PyModule_GetNameObject(module.get())); }

// A builtin (open, say) from the builtins of the running code, as a name
// that no module binds is looked up; NameError when there is none.
Owned builtin(Borrowed name);

// The import statement's first half, `from <name> import <fromlist...>`:
// the module the import gives, the fromlist's names not yet taken from it.
// import_from imports the absolute name; import_relative a level-1 name
// (`from .<name> import ...`) as the code of `module` runs it, its package
// taken from the module's __package__ / __spec__ / __name__.
Owned import_from(Borrowed name, Borrowed fromlist);
Owned import_relative(Borrowed module, Borrowed name, Borrowed fromlist);

// module.<key> = value, in the module's namespace.
void bind(Borrowed module, const char* key, Borrowed value);

// The second half of `from <imported> import <name>`: the attribute, or
// ImportError "cannot import name ..." as the import statement raises it.
Owned import_name(Borrowed imported, Borrowed name);

// `from <source> import <name>` (absolute), its texts made once, as Python
// keeps them with the compiled statement; calling it runs the import and
// gives the value.
class FromImport {
public:
    FromImport() = default;
    FromImport(const char* source, const char* name);
    Owned operator()() const;

private:
    Owned source_;
    Owned name_;
    Owned fromlist_;
};

// `from <imported> import <names...>` run by the code of `module`: each name
// bound in the module's namespace, in order.  `imported` is the module
// object the import gave; with a text, that absolute import runs first.
void bind_from(Borrowed module, Borrowed imported, std::initializer_list<const char*> names);
void bind_from(Borrowed module, const char* source, std::initializer_list<const char*> names);

}  // namespace bridge
