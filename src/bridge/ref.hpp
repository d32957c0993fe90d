// Owned and borrowed references to Python objects.
//
// `Owned` holds a strong reference and releases it when it goes out of scope;
// `Borrowed` is a plain non-owning view that documents intent.  Business code
// works with these and never calls Py_INCREF / Py_DECREF by hand.
#pragma once

#include <Python.h>

#include <compare>
#include <functional>
#include <utility>

namespace bridge {

class Borrowed {
public:
    constexpr Borrowed() noexcept = default;
    constexpr Borrowed(PyObject* p) noexcept : p_(p) {}  // NOLINT: implicit on purpose
    PyObject* get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    PyObject* operator->() const noexcept { return p_; }
    bool is_none() const noexcept { return p_ == Py_None; }
    bool is_true() const noexcept { return p_ == Py_True; }    // `is True`
    bool is_false() const noexcept { return p_ == Py_False; }  // `is False`
    // Identity, as Python's `is`.
    friend bool operator==(Borrowed a, Borrowed b) noexcept { return a.p_ == b.p_; }
    // An order of identities, for sets of the objects seen (std::set<Borrowed>).
    friend std::strong_ordering operator<=>(Borrowed a, Borrowed b) noexcept {
        return std::compare_three_way{}(a.p_, b.p_);
    }

private:
    PyObject* p_ = nullptr;
};

class Owned {
public:
    Owned() noexcept = default;
    Owned(const Owned& other) noexcept : p_(Py_XNewRef(other.p_)) {}
    Owned(Owned&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    ~Owned() { Py_XDECREF(p_); }

    Owned& operator=(Owned other) noexcept {
        std::swap(p_, other.p_);
        return *this;
    }

    // Takes over a new reference (the result of most C API calls).
    static Owned steal(PyObject* p) noexcept { return Owned(p); }
    // Adds a reference to an object we only borrow.
    static Owned ref(PyObject* p) noexcept { return Owned(Py_XNewRef(p)); }

    PyObject* get() const noexcept { return p_; }
    Borrowed borrow() const noexcept { return p_; }
    operator Borrowed() const noexcept { return p_; }  // NOLINT
    explicit operator bool() const noexcept { return p_ != nullptr; }
    PyObject* operator->() const noexcept { return p_; }
    bool is_none() const noexcept { return p_ == Py_None; }
    bool is_true() const noexcept { return p_ == Py_True; }
    bool is_false() const noexcept { return p_ == Py_False; }

    // Hands the reference to the caller (an entry point returning to CPython).
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }

    // Lets go of the object without releasing the reference: it is never
    // finalized.  For objects a forked child inherited and must not finalize
    // (a paramiko Channel sends its close when it is freed).
    void leak() noexcept { p_ = nullptr; }

private:
    explicit Owned(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

}  // namespace bridge
