// Key passphrases kept out of every text the module writes.
//
// The secrets are found by walking the options (any mapping, nested, behind
// parameter objects) and then masked in the finished text wherever their
// repr() or str() shows, so the mask does not depend on how a wrapper or a
// mapping type prints itself.
#include "redaction.hpp"

#include "bridge/statements.hpp"

#include <algorithm>
#include <vector>

namespace clusterlane {

namespace {

// Nesting deeper than this is not looked into (a self-containing mapping
// would never end otherwise).
constexpr int kMaxDepth = 32;

bool is_passphrase_key(Borrowed key) {
    return PyUnicode_Check(key.get()) && PyUnicode_CompareWithASCIIString(key.get(), "keyPassphrase") == 0;
}

void collect(Borrowed value, Borrowed found, int depth) {
    if (depth > kMaxDepth || PyUnicode_Check(value.get()) || PyBytes_Check(value.get()) ||
        PyByteArray_Check(value.get()) || PyLong_Check(value.get()) || PyFloat_Check(value.get()) ||
        value.get() == Py_None)
        return;
    if (PyList_Check(value.get()) || PyTuple_Check(value.get())) {
        bridge::for_each(value, [&](Borrowed item) { collect(item, found, depth + 1); });
        return;
    }
    if (bridge::hasattr(value, name(N::get_value))) {
        collect(bridge::call_method(value, name(N::get_value)), found, depth + 1);
        return;
    }
    if (!PyMapping_Check(value.get()) || !bridge::hasattr(value, name(N::keys))) return;
    Owned keys = bridge::check(PySequence_List(bridge::call_method(value, name(N::keys)).get()));
    bridge::for_each(keys, [&](Borrowed key) {
        Owned item = bridge::check(PyObject_GetItem(value.get(), key.get()));
        if (is_passphrase_key(key) && bridge::truthy(item)) bridge::list_append(found, item);
        collect(item, found, depth + 1);
    });
}

Owned replaced(Borrowed text, Borrowed old, const char* replacement) {
    if (PyUnicode_GET_LENGTH(old.get()) == 0) return Owned::ref(text.get());
    return bridge::check(PyUnicode_Replace(text.get(), old.get(), bridge::str_from(replacement).get(), -1));
}

}  // namespace

Owned passphrases_in(Borrowed source) {
    Owned found = bridge::new_list();
    collect(source, found, 0);
    return found;
}

// All reprs go first, then all strs, each time the longest first: a shorter
// secret inside a longer one's text must not break the longer one's match.
Owned masked_text(Borrowed text, Borrowed passphrases) {
    std::vector<Owned> reprs, strs;
    bridge::for_each(passphrases, [&](Borrowed secret) {
        reprs.push_back(bridge::check(PyObject_Repr(secret.get())));
        // str() of bytes is their repr (and warns under -b)
        if (!PyBytes_Check(secret.get()) && !PyByteArray_Check(secret.get())) strs.push_back(bridge::str(secret));
    });
    auto longest_first = [](const Owned& a, const Owned& b) {
        return PyUnicode_GET_LENGTH(a.get()) > PyUnicode_GET_LENGTH(b.get());
    };
    std::sort(reprs.begin(), reprs.end(), longest_first);
    std::sort(strs.begin(), strs.end(), longest_first);
    Owned out = Owned::ref(text.get());
    for (const Owned& r : reprs) out = replaced(out, r, "'***'");
    for (const Owned& s : strs) out = replaced(out, s, "***");
    return out;
}

Owned mask_passphrases(Borrowed text, Borrowed source) { return masked_text(text, passphrases_in(source)); }

}  // namespace clusterlane
