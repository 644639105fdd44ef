// The process-wide registry of lent-out array memory, shared with every extension
// module that follows the same protocol through a capsule on NumPy's multiarray
// module.
#pragma once

#include <cstddef>
#include <cstdint>

#include "borrow_span.hpp"
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

inline constexpr const char* borrow_capsule_name = "_RUST_NUMPY_BORROW_CHECKING_API";

// One read-only borrow of an array that passed the array test, as an entry point
// holds it for a call. With this module's own registry the key is computed once,
// when the borrow is taken, and the borrow is given back under that same key:
// Python code that runs during the call may resize the array, and a key computed
// again from its new memory would match nothing and leave the borrow registered
// for the rest of the process. Another module's registry is reached through its
// table, which computes the key from the array as it is at each operation.
class ReadBorrow {
  public:
    // Asks the registry for the borrow; the answer is one of the codes above.
    // Only a granted borrow may be released.
    ReadBorrow(const BorrowCheckingApi* api, PyObject* array) noexcept;
    [[nodiscard]] std::int32_t acquire() noexcept;
    void release() const noexcept;

  private:
    const BorrowCheckingApi* api_;
    PyObject* array_;
    BorrowKey key_{};
    std::size_t shard_ = 0;  // where this module's registry keeps the borrow
    bool own_registry_;
};

// A new capsule holding a new, empty registry; its destructor frees them.
Result<PyObject*> create_borrow_capsule() noexcept;

// The table in use by this process: found on NumPy's multiarray module, or created
// and attached there when absent. Cached after the first success; a failure caches
// nothing, so the next need looks again.
Result<const BorrowCheckingApi*> borrow_api() noexcept;

}  // namespace marundex::runtime
