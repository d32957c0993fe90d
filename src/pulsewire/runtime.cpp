#include "runtime.hpp"

#include "bridge/module.hpp"

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
    g_runtime = rt.release();
}

void reset_runtime() noexcept {
    delete g_runtime;
    g_runtime = nullptr;
}

Owned global(N n) { return bridge::module_global(runtime().module, name(n)); }

}  // namespace pulsewire
