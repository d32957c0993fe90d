// What one extension module keeps while it lives: the names it interns, its
// native function type and its module object.
//
// A module declares its names once with BRIDGE_NAMES (an enum class N with
// one entry per name, and their texts) and uses ModuleRuntime<N> through
// three free functions of its own namespace: runtime(), name(N) and global(N).
// A module that binds objects once at import keeps them in its own State.
// The module lives in one interpreter per process and is initialised once, so
// this state exists once per process and lives as long as the module.
#pragma once

#include "function.hpp"
#include "module.hpp"
#include "object.hpp"

#include <array>
#include <memory>

namespace bridge {

// enum class Enum { name, ..., count_ } and the name texts, from a list
// macro of the form LIST(X) X(name1) X(name2) ...
#define BRIDGE_NAME_ENUM_ENTRY(name) name,
#define BRIDGE_NAME_TEXT_ENTRY(name) #name,
#define BRIDGE_NAMES(Enum, LIST)                                                           \
    enum class Enum : size_t { LIST(BRIDGE_NAME_ENUM_ENTRY) count_ };                      \
    inline constexpr std::array<const char*, static_cast<size_t>(Enum::count_)> Enum##_texts = { \
        LIST(BRIDGE_NAME_TEXT_ENTRY)}

// What a module keeps beyond its names, function type and module object:
// nothing, unless it names a struct of its own (bound callables, say).
struct NoState {};

template <class Names, class State = NoState>
struct ModuleRuntime {
    static constexpr size_t kCount = static_cast<size_t>(Names::count_);

    NameTable<kCount> names;
    Owned function_type;
    Borrowed module;  // the module object (kept alive by the module guard)
    State state;      // the module's own, filled by its exec

    // Valid from the start of the module's exec on.
    static ModuleRuntime& get() noexcept { return *instance_; }

    // Called first in the module's exec; `function_type_name` is the dotted
    // name of the native function type, e.g. "zentrel_core.pulsewire.native_function".
    static void init(Borrowed module, const std::array<const char*, kCount>& texts, const char* function_type_name) {
        auto rt = std::make_unique<ModuleRuntime>();
        rt->names.init(texts);
        rt->function_type = make_function_type(module, function_type_name);
        rt->module = module;
        instance_ = rt.release();
    }

    // Only a failed module exec frees the runtime (with the GIL held).
    static void reset() noexcept {
        delete instance_;
        instance_ = nullptr;
    }

    Borrowed name(Names n) const noexcept { return names[static_cast<size_t>(n)]; }
    // A name bound in the module namespace, looked up at each use so that a
    // replacement assigned to the module attribute is the one used.
    Owned global(Names n) const { return module_global(module, name(n)); }

private:
    // Deliberately not a smart pointer: the module is never unloaded, and a
    // destructor run at process exit would release Python objects after the
    // interpreter has finalised.
    static inline ModuleRuntime* instance_ = nullptr;
};

}  // namespace bridge
