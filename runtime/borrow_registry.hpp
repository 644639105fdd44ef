// The process-wide registry of lent-out array memory, shared with every extension
// module that follows the same protocol through a capsule on NumPy's multiarray
// module.
#pragma once

#include <cstdint>

#include "error.hpp"
#include "python_api.hpp"

namespace marundex::runtime {

// The capsule's table. Its layout is an interface between separately built modules:
// the order, offsets and widths of these fields never change.
struct BorrowCheckingApi {
    std::uint64_t version;
    void* registry;
    std::int32_t (*acquire_read)(void* registry, PyObject* array);
    std::int32_t (*acquire_write)(void* registry, PyObject* array);
    void (*release_read)(void* registry, PyObject* array);
    void (*release_write)(void* registry, PyObject* array);
};

inline constexpr std::int32_t borrow_granted = 0;
inline constexpr std::int32_t already_borrowed = -1;
inline constexpr std::int32_t not_writeable = -2;

inline constexpr const char* borrow_capsule_name = "_RUST_NUMPY_BORROW_CHECKING_API";

// A new capsule holding a new, empty registry; its destructor frees them.
Result<PyObject*> create_borrow_capsule() noexcept;

// The table in use by this process: found on NumPy's multiarray module, or created
// and attached there when absent. Cached after the first success; a failure caches
// nothing, so the next need looks again.
Result<const BorrowCheckingApi*> borrow_api() noexcept;

}  // namespace marundex::runtime
