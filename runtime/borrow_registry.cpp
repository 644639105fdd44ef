#include "borrow_registry.hpp"

#include <memory>
#include <string>

#include "borrow_span.hpp"
#include "borrow_store.hpp"
#include "internal_failure.hpp"
#include "numpy_api.hpp"
#include "references.hpp"
#include "write_once.hpp"

namespace marundex::runtime {

namespace {

// The records in sixteen shards under spin locks: a process holds few live borrows
// at once, so a shard's scan is cheap, and threads calling on different arrays or
// rows (a pool over symbols) rarely take the same lock.
using BorrowRegistry = BorrowStore<SpinLock, 16>;

bool is_array(PyObject* object, PyTypeObject* array_type) noexcept {
    return Py_TYPE(object) == array_type || PyType_IsSubtype(Py_TYPE(object), array_type) != 0;
}

// Memory is owned by the end of the chain of NumPy arrays along `base`. NumPy
// gives every array it makes over a writable buffer (numpy.frombuffer of a
// bytearray, say) a memoryview of its own as base; the chain goes on through such
// views to the object that exports the memory, so that two arrays over one buffer
// are compared with each other.
const void* base_object(PyObject* array, PyTypeObject* array_type) noexcept {
    PyObject* current = array;
    while (true) {
        PyObject* base = array_fields(current).base;
        if (base == nullptr) {
            return current;
        }
        while (PyMemoryView_Check(base) && PyMemoryView_GET_BUFFER(base)->obj != nullptr) {
            base = PyMemoryView_GET_BUFFER(base)->obj;
        }
        if (!is_array(base, array_type)) {
            return base;
        }
        current = base;
    }
}

// Computed before the registry's lock is taken: the base walk may call into the
// interpreter, which must not happen under the lock.
[[gnu::always_inline]] inline BorrowKey borrow_key(PyObject* array,
                                                   std::int64_t element_size) noexcept {
    // A registry exists only once an array has passed the array test, so NumPy's
    // table has been found; failing here means the process state is broken.
    auto table = array_api_table();
    if (!table) {
        internal_failure("borrow checking without NumPy's C-API table", std::move(table.error()));
    }
    return {base_object(array, array_type(*table)), borrow_span(array, element_size)};
}

// The key of any array that another module hands to the table.
BorrowKey borrow_key(PyObject* array) noexcept {
    auto feature_version = api_feature_version();
    if (!feature_version) {
        internal_failure("borrow checking without NumPy's feature version",
                         std::move(feature_version.error()));
    }
    return borrow_key(array, element_size(array, *feature_version));
}

BorrowRegistry& registry_of(void* registry) noexcept {
    return *static_cast<BorrowRegistry*>(registry);
}

[[gnu::always_inline]] inline std::int32_t acquire_read_in(void* registry, std::size_t shard,
                                                           const BorrowKey& key) noexcept {
    try {
        return registry_of(registry).acquire_read_in(shard, key);
    } catch (...) {
        internal_failure("could not record a borrow");
    }
}

std::int32_t acquire_read(void* registry, PyObject* array) {
    const BorrowKey key = borrow_key(array);
    return acquire_read_in(registry, BorrowRegistry::shard_index(key), key);
}

std::int32_t acquire_write(void* registry, PyObject* array) {
    if (!is_writeable(array)) {
        return not_writeable;
    }
    const BorrowKey key = borrow_key(array);
    try {
        return registry_of(registry).acquire_write(key);
    } catch (...) {
        internal_failure("could not record a borrow");
    }
}

void release_read(void* registry, PyObject* array) {
    registry_of(registry).release_read(borrow_key(array));
}

void release_write(void* registry, PyObject* array) {
    registry_of(registry).release_write(borrow_key(array));
}

// The table, with the capsule's name kept beside it for as long as the capsule lives.
struct OwnedBorrowApi {
    BorrowCheckingApi api;
    char name[sizeof "_RUST_NUMPY_BORROW_CHECKING_API"];
};

void destroy_borrow_capsule(PyObject* capsule) {
    void* api = PyCapsule_GetPointer(capsule, PyCapsule_GetName(capsule));
    if (api == nullptr) {
        PyErr_Clear();
        return;
    }
    // The table is the first member of the block that owns it.
    auto* owned = reinterpret_cast<OwnedBorrowApi*>(api);
    delete &registry_of(owned->api.registry);
    delete owned;
}

WriteOnce<const BorrowCheckingApi*> api_cell;

Result<const BorrowCheckingApi*> table_of(PyObject* capsule) noexcept {
    if (!PyCapsule_CheckExact(capsule)) {
        return failure(PyErr::type_mismatch(capsule, "PyCapsule"));
    }
    // The pointer is read under whatever name the capsule carries.
    const char* name = PyCapsule_GetName(capsule);
    if (name == nullptr) {
        PyErr_Clear();
    }
    const auto* api = static_cast<const BorrowCheckingApi*>(PyCapsule_GetPointer(capsule, name));
    if (api == nullptr) {
        PyErr_Clear();
        return failure(
            PyErr::with_fixed_text(PyExc_TypeError, "the borrow checking capsule holds no table"));
    }
    // Only the version is common to every layout; the other fields are read because it is at
    // least 1.
    if (api->version == 0) {
        return failure(PyErr::with_fixed_text(
            PyExc_TypeError, "version 0 of the borrow checking API is not supported"));
    }
    return api;
}

// Attaches `created` unless another capsule is there by now, in one step, so that
// every module in the process ends up on the same table. Returns the capsule in
// place, as a new reference.
Result<OwnedRef> attach(PyObject* module, PyObject* key, OwnedRef created) noexcept {
    if (!PyModule_Check(module)) {
        if (PyObject_SetAttr(module, key, created.get()) == -1) {
            return failure(PyErr::fetch());
        }
        return created;
    }
    PyObject* in_place = PyDict_SetDefault(PyModule_GetDict(module), key, created.get());
    if (in_place == nullptr) {
        return failure(PyErr::fetch());
    }
    return OwnedRef::borrowed(in_place);
}

Result<const BorrowCheckingApi*> lookup_borrow_api() noexcept {
    auto module_name = multiarray_module_name();
    if (!module_name) {
        return failure(std::move(module_name.error()));
    }
    const OwnedRef module(PyImport_ImportModule(*module_name));
    if (!module) {
        return failure(PyErr::fetch());
    }
    const OwnedRef key(PyUnicode_FromString(borrow_capsule_name));
    if (!key) {
        python_api_call_failed();
    }
    OwnedRef capsule(PyObject_GetAttr(module.get(), key.get()));
    if (!capsule) {
        // Absent, whatever the exception said: this module creates the registry.
        const PyErr absent = PyErr::fetch();
        auto created = create_borrow_capsule();
        if (!created) {
            return failure(std::move(created.error()));
        }
        auto in_place = attach(module.get(), key.get(), OwnedRef(*created));
        if (!in_place) {
            return failure(std::move(in_place.error()));
        }
        capsule = std::move(*in_place);
    }
    auto api = table_of(capsule.get());
    if (!api) {
        return failure(std::move(api.error()));
    }
    // The capsule is kept for the process so that the table outlives every use.
    PyObject* kept = capsule.release();
    return api_cell.publish(*api, [kept](const BorrowCheckingApi*) { release_ref(kept); });
}

}  // namespace

ReadBorrow::ReadBorrow(const BorrowCheckingApi* api, PyObject* array) noexcept
    : api_(api), array_(array), own_registry_(api->acquire_read == &acquire_read) {}

std::int32_t ReadBorrow::acquire() noexcept {
    if (!own_registry_) {
        return api_->acquire_read(api_->registry, array_);
    }
    // The array has passed the array test: its elements are float64.
    key_ = borrow_key(array_, sizeof(double));
    shard_ = BorrowRegistry::home_shard();
    return acquire_read_in(api_->registry, shard_, key_);
}

void ReadBorrow::release() const noexcept {
    if (own_registry_) {
        registry_of(api_->registry).release_read_in(shard_, key_);
    } else {
        api_->release_read(api_->registry, array_);
    }
}

Result<PyObject*> create_borrow_capsule() noexcept {
    OwnedBorrowApi* owned = nullptr;
    try {
        auto registry = std::make_unique<BorrowRegistry>();
        // The allocation comes before the initialiser, so the registry is handed
        // over only once the table exists.
        owned = new OwnedBorrowApi{
            {1, registry.release(), acquire_read, acquire_write, release_read, release_write}, {}};
    } catch (...) {
        internal_failure("could not allocate the borrow registry");
    }
    std::char_traits<char>::copy(owned->name, borrow_capsule_name, sizeof owned->name);
    PyObject* capsule = PyCapsule_New(&owned->api, owned->name, destroy_borrow_capsule);
    if (capsule == nullptr) {
        delete &registry_of(owned->api.registry);
        delete owned;
        return failure(PyErr::fetch());
    }
    return capsule;
}

Result<const BorrowCheckingApi*> borrow_api() noexcept {
    if (const BorrowCheckingApi* const* stored = api_cell.get()) {
        return *stored;
    }
    return lookup_borrow_api();
}

}  // namespace marundex::runtime
