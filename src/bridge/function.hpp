// A native function object that looks and behaves like a Python function.
//
// Each object is described by a static `FunctionSpec`: its name, docstring,
// parameters (positional-or-keyword, with defaults, string annotations and an
// exact-type rule), an optional **kwargs collector, a declared result type
// and whether it is an abstract method; its qualified name is formed from the
// owner given at creation ("ClusterlaneBase") and its name.  The object is
// called through vectorcall, binds to an instance like a Python method
// (descriptor protocol), can be weakly referenced, is pickled and copied by
// reference, and exposes __name__, __qualname__, __module__, __doc__,
// __annotations__, __isabstractmethod__, __signature__ and a __dict__.
#pragma once

#include "object.hpp"

#include <cstdint>
#include <span>
#include <string_view>

namespace bridge {

// How an argument is checked before the body runs.
enum class ArgType : std::uint8_t {
    Any,    // accepted as is
    Str,    // exactly str
    Dict,   // exactly dict
    List,   // exactly list
    Int,    // any real number, converted with int()
    Float,  // any real number, converted with float()
};

struct DefaultValue {
    enum class Kind : std::uint8_t { Required, None, Str, Int } kind = Kind::Required;
    const char* text = nullptr;
    long long number = 0;

    static constexpr DefaultValue required() { return {}; }
    static constexpr DefaultValue none() { return {Kind::None}; }
    static constexpr DefaultValue str(const char* t) { return {Kind::Str, t}; }
    static constexpr DefaultValue integer(long long n) { return {Kind::Int, nullptr, n}; }
};

struct Param {
    const char* name;
    ArgType type = ArgType::Any;
    bool none_allowed = false;         // Optional[...]: None passes the type check
    DefaultValue default_value = DefaultValue::required();
    const char* annotation = nullptr;  // text in __annotations__, or none
};

// Shorthands for parameter tables.
constexpr Param self_param() { return {"self"}; }
constexpr Param any_param(const char* name, const char* annotation = nullptr) {
    return {name, ArgType::Any, true, DefaultValue::required(), annotation};
}
constexpr Param str_param(const char* name) { return {name, ArgType::Str, false, DefaultValue::required(), "str"}; }
constexpr Param dict_param(const char* name, const char* annotation = "dict") {
    return {name, ArgType::Dict, false, DefaultValue::required(), annotation};
}
constexpr Param list_param(const char* name) { return {name, ArgType::List, false, DefaultValue::required(), "list"}; }

// Declared result type: the body's result must be exactly this type (or None,
// which the abstract bodies return) or the call raises TypeError.
enum class ResultType : std::uint8_t { Any, Str, Dict, Bool };

class CallFrame;
using FunctionBody = Owned (*)(CallFrame&);

struct FunctionSpec {
    const char* name;
    const char* doc;
    std::span<const Param> params;          // `self` included for methods
    const char* var_keywords = nullptr;     // name of the **kwargs parameter, if any
    const char* return_annotation = nullptr;
    ResultType result = ResultType::Any;
    bool abstract = false;
    FunctionBody body = nullptr;
};

inline constexpr size_t kMaxParams = 12;

// The resolved arguments of one call, in parameter order.
class CallFrame {
public:
    Borrowed operator[](size_t i) const noexcept { return values_[i]; }
    // The **kwargs dict (empty dict when none were given); null when the
    // function takes no **kwargs.
    Borrowed extra_keywords() const noexcept { return extra_.borrow(); }
    Borrowed module() const noexcept { return module_; }
    Borrowed closure() const noexcept { return closure_; }

private:
    friend struct FunctionAccess;
    std::array<Borrowed, kMaxParams> values_{};
    std::array<Owned, kMaxParams> holders_{};  // keeps converted values alive
    Owned extra_;
    Borrowed module_;
    Borrowed closure_;
};

// A parameter name as a template argument, so that a body names the
// arguments it reads: args.get<"flow_vars">().
template <size_t N>
struct ParamName {
    char text[N]{};
    consteval ParamName(const char (&s)[N]) {  // NOLINT: implicit on purpose
        for (size_t i = 0; i < N; ++i) text[i] = s[i];
    }
    constexpr std::string_view view() const { return {text, N - 1}; }
};

// The arguments of one call, read by parameter name.  The name is looked up
// in the function's parameter table at compile time: a name that is not in
// the table does not compile.
template <const auto& Params>
class Args {
public:
    explicit Args(CallFrame& frame) noexcept : frame_(frame) {}

    template <ParamName Name>
    Borrowed get() const noexcept {
        constexpr size_t i = index<Name>();
        return frame_[i];
    }
    Borrowed self() const noexcept { return get<"self">(); }
    // The **kwargs dict (empty when none were given).
    Borrowed extra_keywords() const noexcept { return frame_.extra_keywords(); }
    Borrowed module() const noexcept { return frame_.module(); }
    Borrowed closure() const noexcept { return frame_.closure(); }

private:
    template <ParamName Name>
    static consteval size_t index() {
        for (size_t i = 0; i < std::size(Params); ++i)
            if (std::string_view(Params[i].name) == Name.view()) return i;
        throw "no parameter of this name in the function's table";
    }
    CallFrame& frame_;
};

template <const auto& Params>
using Body = Owned (*)(const Args<Params>&);

// Everything of a FunctionSpec but its parameters and body.
struct FunctionInfo {
    const char* name;
    const char* doc;
    const char* var_keywords = nullptr;
    const char* return_annotation = nullptr;
    ResultType result = ResultType::Any;
    bool abstract = false;
};

template <const auto& Params, Body<Params> body>
Owned call_body(CallFrame& frame) {
    return body(Args<Params>(frame));
}

// The FunctionSpec of a body that reads its arguments from `Params` by name:
// the table and the body are tied together here, once.
template <const auto& Params, Body<Params> body>
constexpr FunctionSpec function(const FunctionInfo& info) {
    return FunctionSpec{.name = info.name,
                        .doc = info.doc,
                        .params = std::span<const Param>(Params),
                        .var_keywords = info.var_keywords,
                        .return_annotation = info.return_annotation,
                        .result = info.result,
                        .abstract = info.abstract,
                        .body = &call_body<Params, body>};
}

// Creates the function type for one module (call once in the module's exec).
// `type_name` is the dotted name, e.g. "zentrel_core.clusterlane.native_function".
Owned make_function_type(Borrowed module, const char* type_name);

// Creates a function object of `type` for `spec`, belonging to `module`.
// `closure` is any object the body may read through CallFrame::closure().
// `owner` is the qualified name of the class the function is a method of
// (its __qualname__ is then "<owner>.<name>"), or null for a module function.
Owned make_function(Borrowed type, const FunctionSpec& spec, Borrowed module, Borrowed closure = {},
                    const char* owner = nullptr);

// The "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)" error.
[[noreturn]] void raise_argument_type(const char* name, const char* expected, Borrowed given);

}  // namespace bridge
