// A native function object that looks and behaves like a Python function.
//
// Each object is described by a static `FunctionSpec`: its name, qualified
// name, docstring, parameters (positional-or-keyword, with defaults, string
// annotations and an exact-type rule), an optional **kwargs collector, a
// declared result type and whether it is an abstract method.  The object is
// called through vectorcall, binds to an instance like a Python method
// (descriptor protocol), can be weakly referenced, is pickled and copied by
// reference, and exposes __name__, __qualname__, __module__, __doc__,
// __annotations__, __isabstractmethod__, __signature__ and a __dict__.
#pragma once

#include "object.hpp"

#include <cstdint>
#include <span>

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
    enum class Kind : std::uint8_t { Required, None, Str, Int, False, True } kind = Kind::Required;
    const char* text = nullptr;
    long long number = 0;

    static constexpr DefaultValue required() { return {}; }
    static constexpr DefaultValue none() { return {Kind::None}; }
    static constexpr DefaultValue str(const char* t) { return {Kind::Str, t}; }
    static constexpr DefaultValue integer(long long n) { return {Kind::Int, nullptr, n}; }
    static constexpr DefaultValue false_() { return {Kind::False}; }
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
    const char* qualname;
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
    Borrowed function() const noexcept { return function_; }
    // Converted value of an ArgType::Float parameter (after the check).
    double as_double(size_t i) const { return PyFloat_AS_DOUBLE(values_[i].get()); }

private:
    friend struct FunctionAccess;
    std::array<Borrowed, kMaxParams> values_{};
    std::array<Owned, kMaxParams> holders_{};  // keeps converted values alive
    Owned extra_;
    Borrowed module_;
    Borrowed closure_;
    Borrowed function_;
};

// Creates the function type for one module (call once in the module's exec).
// `type_name` is the dotted name, e.g. "zentrel_core.clusterlane.native_function".
Owned make_function_type(Borrowed module, const char* type_name);

// Creates a function object of `type` for `spec`, belonging to `module`.
// `closure` is any object the body may read through CallFrame::closure().
Owned make_function(Borrowed type, const FunctionSpec& spec, Borrowed module, Borrowed closure = {});

// The "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)" error.
[[noreturn]] void raise_argument_type(const char* name, const char* expected, Borrowed given);

}  // namespace bridge
