#include "references.hpp"

#include <atomic>
#include <mutex>
#include <vector>

#include "internal_failure.hpp"
#include "lock_depth.hpp"

namespace marundex::runtime {

namespace {

struct PendingReleases {
    std::mutex mutex;
    std::vector<PyObject*> objects;
};

// Created by the first release on a thread without the lock and never destroyed,
// so that a flush racing with the creation can never see it disappear.
std::atomic<PendingReleases*> pending_releases{nullptr};

PendingReleases& pending_releases_created() {
    PendingReleases* existing = pending_releases.load(std::memory_order_acquire);
    if (existing != nullptr) {
        return *existing;
    }
    auto* created = new PendingReleases;
    if (pending_releases.compare_exchange_strong(existing, created, std::memory_order_acq_rel)) {
        return *created;
    }
    delete created;
    return *existing;
}

// The slow paths, out of line: the checks in front of them, which every call
// makes, are all that a caller inlines.
[[gnu::noinline]] void defer(PyObject* object) noexcept {
    try {
        PendingReleases& pending = pending_releases_created();
        const std::lock_guard guard(pending.mutex);
        if (pending.objects.capacity() == 0) {
            pending.objects.reserve(4);
        }
        pending.objects.push_back(object);
    } catch (...) {
        internal_failure("could not defer the release of a reference");
    }
}

[[gnu::noinline]] void flush(PendingReleases* pending) noexcept {
    std::vector<PyObject*> taken;
    {
        const std::lock_guard guard(pending->mutex);
        if (pending->objects.empty()) {
            return;
        }
        taken.swap(pending->objects);
    }
    // Dropping a reference may run arbitrary code, which must not run under the mutex.
    for (PyObject* object : taken) {
        Py_DecRef(object);
    }
}

}  // namespace

void release_ref(PyObject* object) noexcept {
    if (lock_depth > 0) {
        Py_DecRef(object);
    } else {
        defer(object);
    }
}

void flush_pending_releases() noexcept {
    if (PendingReleases* pending = pending_releases.load(std::memory_order_acquire)) {
        flush(pending);
    }
}

}  // namespace marundex::runtime
