#include "json_text.hpp"

#include <charconv>
#include <cmath>
#include <cstring>
#include <string>

namespace pulsewire {

namespace {

// Deeper nesting (or a container holding itself) is left to json.dumps.
constexpr int kMaxDepth = 48;

class SimpleJsonWriter {
public:
    // False when the value holds anything outside the simple types.
    bool write(PyObject* value, int depth) {
        if (value == Py_None) return append("null");
        if (value == Py_True) return append("true");
        if (value == Py_False) return append("false");
        if (PyUnicode_CheckExact(value)) return write_string(value);
        if (PyFloat_CheckExact(value)) return write_float(PyFloat_AS_DOUBLE(value));
        if (PyLong_CheckExact(value)) return write_int(value);
        if (depth >= kMaxDepth) return false;
        if (PyDict_CheckExact(value)) return write_dict(value, depth + 1);
        if (PyList_CheckExact(value) || PyTuple_CheckExact(value)) return write_sequence(value, depth + 1);
        return false;
    }

    const std::string& text() const noexcept { return out_; }

private:
    bool append(const char* text) {
        out_.append(text);
        return true;
    }

    // ensure_ascii: printable ASCII as is, the usual short escapes, every
    // other character as \uXXXX (lower-case hex, surrogate pairs above the
    // Basic Multilingual Plane).
    bool write_string(PyObject* text) {
        static constexpr char kHex[] = "0123456789abcdef";
        const int kind = PyUnicode_KIND(text);
        const void* data = PyUnicode_DATA(text);
        const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
        out_.push_back('"');
        auto unicode_escape = [&](Py_UCS4 unit) {
            const char escaped[] = {'\\', 'u', kHex[(unit >> 12) & 0xf], kHex[(unit >> 8) & 0xf],
                                    kHex[(unit >> 4) & 0xf], kHex[unit & 0xf]};
            out_.append(escaped, sizeof escaped);
        };
        for (Py_ssize_t i = 0; i < length; ++i) {
            const Py_UCS4 c = PyUnicode_READ(kind, data, i);
            if (c >= ' ' && c <= '~' && c != '\\' && c != '"') {
                out_.push_back(static_cast<char>(c));
                continue;
            }
            switch (c) {
                case '\\': out_.append("\\\\"); break;
                case '"': out_.append("\\\""); break;
                case '\b': out_.append("\\b"); break;
                case '\f': out_.append("\\f"); break;
                case '\n': out_.append("\\n"); break;
                case '\r': out_.append("\\r"); break;
                case '\t': out_.append("\\t"); break;
                default:
                    if (c >= 0x10000) {
                        const Py_UCS4 v = c - 0x10000;
                        unicode_escape(0xd800 | ((v >> 10) & 0x3ff));
                        unicode_escape(0xdc00 | (v & 0x3ff));
                    } else {
                        unicode_escape(c);
                    }
            }
        }
        out_.push_back('"');
        return true;
    }

    // float.__repr__ (shortest text that reads back the same, always with a
    // fraction or exponent); NaN and the infinities as bare tokens.
    bool write_float(double value) {
        if (std::isnan(value)) return append("NaN");
        if (std::isinf(value)) return append(value > 0 ? "Infinity" : "-Infinity");
        char* text = PyOS_double_to_string(value, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
        if (!text) bridge::throw_error();
        out_.append(text);
        PyMem_Free(text);
        return true;
    }

    bool write_int(PyObject* value) {
        int overflow = 0;
        const long long small = PyLong_AsLongLongAndOverflow(value, &overflow);
        if (!overflow) {
            if (small == -1 && PyErr_Occurred()) bridge::throw_error();
            char digits[24];
            const auto result = std::to_chars(digits, digits + sizeof digits, small);
            out_.append(digits, result.ptr);
            return true;
        }
        Owned text = bridge::check(PyLong_Type.tp_repr(value));
        out_.append(bridge::utf8(text));
        return true;
    }

    bool write_dict(PyObject* dict, int depth) {
        if (PyDict_GET_SIZE(dict) == 0) return append("{}");
        out_.push_back('{');
        Py_ssize_t position = 0;
        PyObject* key = nullptr;
        PyObject* item = nullptr;
        bool first = true;
        while (PyDict_Next(dict, &position, &key, &item)) {
            if (!PyUnicode_CheckExact(key)) return false;
            if (!first) out_.append(", ");
            first = false;
            write_string(key);
            out_.append(": ");
            if (!write(item, depth)) return false;
        }
        out_.push_back('}');
        return true;
    }

    bool write_sequence(PyObject* sequence, int depth) {
        const bool is_list = PyList_CheckExact(sequence);
        const Py_ssize_t size = is_list ? PyList_GET_SIZE(sequence) : PyTuple_GET_SIZE(sequence);
        if (size == 0) return append("[]");
        out_.push_back('[');
        for (Py_ssize_t i = 0; i < size; ++i) {
            if (i) out_.append(", ");
            // Nothing here runs Python code, so the list cannot change under us.
            PyObject* item = is_list ? PyList_GET_ITEM(sequence, i) : PyTuple_GET_ITEM(sequence, i);
            if (!write(item, depth)) return false;
        }
        out_.push_back(']');
        return true;
    }

    std::string out_;
};

}  // namespace

Owned simple_json(Borrowed value) {
    SimpleJsonWriter writer;
    if (!writer.write(value, 0)) return Owned();
    const std::string& text = writer.text();
    Owned result = bridge::check(PyUnicode_New(static_cast<Py_ssize_t>(text.size()), 127));
    std::memcpy(PyUnicode_1BYTE_DATA(result.get()), text.data(), text.size());
    return result;
}

}  // namespace pulsewire
