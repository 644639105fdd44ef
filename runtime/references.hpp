// Giving up strong references, at once when this thread holds the interpreter
// lock, otherwise deferred until a thread that holds it comes by.
#pragma once

#include <utility>

#include "python_api.hpp"

namespace marundex::runtime {

void release_ref(PyObject* object) noexcept;

// Drops the references deferred by threads that did not hold the lock. Costs one
// atomic load while no reference was ever deferred, which is the normal case.
void flush_pending_releases() noexcept;

// One strong reference, given up through release_ref when the owner goes.
class OwnedRef {
  public:
    OwnedRef() noexcept = default;
    // Takes over `object`, a new reference (or null).
    explicit OwnedRef(PyObject* object) noexcept : object_(object) {}
    static OwnedRef borrowed(PyObject* object) noexcept { return OwnedRef(Py_NewRef(object)); }

    OwnedRef(OwnedRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    OwnedRef& operator=(OwnedRef&& other) noexcept {
        if (this != &other) {
            reset();
            object_ = std::exchange(other.object_, nullptr);
        }
        return *this;
    }
    OwnedRef(const OwnedRef&) = delete;
    OwnedRef& operator=(const OwnedRef&) = delete;
    ~OwnedRef() { reset(); }

    [[nodiscard]] PyObject* get() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }
    // Hands the reference to the caller.
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }
    void reset() noexcept {
        if (object_ != nullptr) {
            release_ref(std::exchange(object_, nullptr));
        }
    }

  private:
    PyObject* object_ = nullptr;
};

}  // namespace marundex::runtime
