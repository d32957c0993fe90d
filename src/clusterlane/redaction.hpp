// Key passphrases kept out of every text the module writes: log lines, log
// metadata and exception texts.
#pragma once

#include "runtime.hpp"

#include <cstddef>
#include <set>
#include <vector>

namespace clusterlane {

// The passphrases one call has to hide, and the texts they show as.
//
// scan() looks for values stored under a "keyPassphrase" key anywhere in a
// source: in a mapping (anything with keys(), as dict.update reads it), at
// any depth, in lists and tuples, and behind parameter objects
// (get_value()).  The walk is bounded: each container is looked into once
// (by identity, also across several scans of one collection), at most
// kMaxDepth levels deep and at most kMaxValues values in all; an object
// whose inspection raises (keys, iteration, item access, get_value,
// attribute lookup, truth test) is skipped.  Only an interrupt or an exit
// request raised in the caller's code meanwhile (outside the Exception
// family) leaves it, as it is.
//
// masked() shows every occurrence of a passphrase's repr() as '***' and then
// of its str() as ***; forms that cannot be made (their method raises or
// gives no text) are left out.  It never raises.
class Secrets {
public:
    static constexpr int kMaxDepth = 64;
    static constexpr size_t kMaxValues = 10000;

    void scan(Borrowed source);
    // True when `source` itself was looked into by an earlier scan.
    bool scanned(Borrowed source) const;
    Owned masked(Borrowed text);

private:
    void collect(Borrowed value, int depth);
    void look_at_entry(Borrowed key, Borrowed item, int depth);
    void add_secret(Borrowed value);
    void form_new_secrets();

    // A std::set, not an unordered_set: allocating the buckets of an unordered_set
    // calls into the C++ runtime of GCC 11 (GLIBCXX_3.4.29), which would raise
    // the wheel to manylinux_2_34.
    std::set<Borrowed> seen_;
    std::vector<Owned> kept_;  // what `seen_` points to stays alive: no address is reused
    size_t values_ = 0;
    std::vector<Owned> secrets_;
    size_t formed_ = 0;          // secrets_[0, formed_) have their forms below
    std::vector<Owned> reprs_;   // longest first
    std::vector<Owned> strs_;    // longest first
};

// The collection of the execute() call running on this thread, for the
// methods it calls (a pass reuses it for the options execute() looked into).
class SecretsScope {
public:
    explicit SecretsScope(Secrets& secrets) noexcept;
    ~SecretsScope();
    SecretsScope(const SecretsScope&) = delete;
    SecretsScope& operator=(const SecretsScope&) = delete;

    // The innermost collection of this thread, or null.
    static Secrets* current() noexcept;

private:
    Secrets* outer_;
};

}  // namespace clusterlane
