// Key passphrases kept out of every text the module writes.
//
// The secrets are found by walking what a call was given (any mapping,
// nested, behind parameter objects) and then masked in the finished text
// wherever their repr() or str() shows, so the mask does not depend on how a
// wrapper or a mapping type prints itself.  The walk runs in error handlers
// too, on objects that may just have failed: it is bounded and never fails
// on them.
#include "redaction.hpp"

#include "bridge/statements.hpp"

#include <algorithm>
#include <tuple>

namespace clusterlane {

namespace {

thread_local Secrets* t_current = nullptr;

using bridge::attempt;

bool is_passphrase_key(Borrowed key) {
    return bridge::str_is(key, "keyPassphrase");
}

// Values that hold nothing to look into.
bool is_leaf(Borrowed value) {
    return value.is_none() || PyUnicode_Check(value.get()) || PyBytes_Check(value.get()) ||
           PyByteArray_Check(value.get()) || PyLong_Check(value.get()) || PyFloat_Check(value.get());
}

void sort_longest_first(std::vector<Owned>& forms) {
    std::stable_sort(forms.begin(), forms.end(), [](const Owned& a, const Owned& b) {
        return bridge::text_length(a) > bridge::text_length(b);
    });
}

}  // namespace

void Secrets::scan(Borrowed source) { collect(source, 0); }

bool Secrets::scanned(Borrowed source) const { return seen_.count(source) != 0; }

void Secrets::add_secret(Borrowed value) { secrets_.push_back(Owned::ref(value.get())); }

void Secrets::collect(Borrowed value, int depth) {
    if (values_ >= kMaxValues) return;
    ++values_;
    if (depth > kMaxDepth || is_leaf(value)) return;
    if (!seen_.insert(value).second) return;
    kept_.push_back(Owned::ref(value.get()));

    if (PyList_Check(value.get()) || PyTuple_Check(value.get())) {
        attempt([&] { bridge::for_each_element(value, [&](Borrowed item) { collect(item, depth + 1); }); });
        return;
    }
    if (PyDict_Check(value.get())) {
        // what the dict's own text shows: its storage, not a subclass's methods
        Owned items;
        if (!attempt([&] { items = bridge::dict_items(value); })) return;
        bridge::for_each_element(items, [&](Borrowed pair) {
            Owned key, item;
            if (!attempt([&] { std::tie(key, item) = bridge::pair_of(pair); })) return;
            look_at_entry(key, item, depth);
        });
        return;
    }
    bool parameter = false;
    if (!attempt([&] { parameter = bridge::hasattr(value, name(N::get_value)); })) return;
    if (parameter) {
        Owned inner;
        if (attempt([&] { inner = bridge::call_method(value, name(N::get_value)); })) collect(inner, depth + 1);
        return;
    }
    if (!PyMapping_Check(value.get())) return;
    bool has_keys = false;
    Owned keys;
    if (!attempt([&] { has_keys = bridge::hasattr(value, name(N::keys)); }) || !has_keys) return;
    if (!attempt([&] { keys = bridge::list_of(bridge::call_method(value, name(N::keys))); }))
        return;
    bridge::for_each_element(keys, [&](Borrowed key) {
        Owned item;
        if (attempt([&] { item = bridge::get_item(value, key); }))
            look_at_entry(key, item, depth);
    });
}

void Secrets::look_at_entry(Borrowed key, Borrowed item, int depth) {
    if (values_ >= kMaxValues) return;
    if (is_passphrase_key(key)) {
        // a value whose truth cannot be told is hidden all the same
        bool hide = true;
        attempt([&] { hide = bridge::truthy(item); });
        if (hide) add_secret(item);
    }
    collect(item, depth + 1);
}

void Secrets::form_new_secrets() {
    if (formed_ == secrets_.size()) return;
    auto add_form = [](std::vector<Owned>& forms, Owned form) {
        if (form && PyUnicode_Check(form.get())) forms.push_back(std::move(form));
    };
    for (; formed_ < secrets_.size(); ++formed_) {
        Borrowed secret = secrets_[formed_];
        Owned form;
        if (attempt([&] { form = bridge::repr(secret); })) add_form(reprs_, std::move(form));
        // str() of bytes is their repr (and warns under -b)
        if (PyBytes_Check(secret.get()) || PyByteArray_Check(secret.get())) continue;
        if (attempt([&] { form = bridge::str(secret); })) add_form(strs_, std::move(form));
    }
    attempt([&] {
        sort_longest_first(reprs_);
        sort_longest_first(strs_);
    });
}

// All reprs go first, then all strs, each time the longest first: a shorter
// secret inside a longer one's text must not break the longer one's match.
Owned Secrets::masked(Borrowed text) {
    Owned out = Owned::ref(text.get());
    if (secrets_.empty() || !PyUnicode_Check(text.get())) return out;
    attempt([&] { form_new_secrets(); });
    auto mask = [&](const std::vector<Owned>& forms, const char* shown) {
        for (const Owned& form : forms) {
            attempt([&] {
                if (bridge::text_length(form) > 0) out = bridge::replace_all(out, form, bridge::str_from(shown));
            });
        }
    };
    mask(reprs_, "'***'");
    mask(strs_, "***");
    return out;
}

SecretsScope::SecretsScope(Secrets& secrets) noexcept : outer_(t_current) { t_current = &secrets; }

SecretsScope::~SecretsScope() { t_current = outer_; }

Secrets* SecretsScope::current() noexcept { return t_current; }

}  // namespace clusterlane
