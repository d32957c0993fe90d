#include "runtime.hpp"

#include "bridge/module.hpp"

#include <array>
#include <memory>

namespace clusterlane {

namespace {

// A plain pointer on purpose: the runtime lives as long as the module, which
// is never released once initialised, and must not be destroyed by static
// destructors after the interpreter has shut down.  It is freed only when
// the module's exec fails.
Runtime* g_runtime = nullptr;

constexpr std::array<const char*, static_cast<size_t>(N::count_)> kNameTexts = {
#define CLUSTERLANE_NAME_TEXT(name) #name,
    CLUSTERLANE_NAMES(CLUSTERLANE_NAME_TEXT)
#undef CLUSTERLANE_NAME_TEXT
};

}  // namespace

Runtime& runtime() noexcept { return *g_runtime; }

void init_runtime(Borrowed module) {
    auto rt = std::make_unique<Runtime>();
    rt->names.init(kNameTexts);
    rt->function_type = bridge::make_function_type(module, "zentrel_core.clusterlane.native_function");
    rt->module = module;
    g_runtime = rt.release();
}

void reset_runtime() noexcept {
    delete g_runtime;
    g_runtime = nullptr;
}

Owned global(N n) { return bridge::module_global(runtime().module, name(n)); }

}  // namespace clusterlane
