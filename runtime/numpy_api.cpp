#include "numpy_api.hpp"

#include <cstring>
#include <string>
#include <string_view>

#include "internal_failure.hpp"
#include "references.hpp"
#include "wrapped_error.hpp"
#include "write_once.hpp"

namespace marundex::runtime {

namespace {

// Positions in NumPy's C-API table.
constexpr std::size_t slot_descr_from_type = 45;
constexpr std::size_t slot_equiv_types = 182;
constexpr std::size_t slot_feature_version = 211;

constexpr int type_number_double = 12;
// NumPy's int64 on the LP64 systems the module is built for: its `long`.
constexpr int type_number_int64 = 7;

// NumPy 2.0 is C-API feature version 18; it widened the descriptor's fields.
constexpr std::uint32_t first_numpy2_feature_version = 18;

WriteOnce<const char*> core_name_cell;

Result<OwnedRef> import_module(const char* name) noexcept {
    OwnedRef module(PyImport_ImportModule(name));
    if (!module) {
        return failure(PyErr::fetch());
    }
    return module;
}

Result<OwnedRef> attribute(PyObject* object, const char* name) noexcept {
    OwnedRef value(PyObject_GetAttrString(object, name));
    if (!value) {
        return failure(PyErr::fetch());
    }
    return value;
}

Result<long> numpy_major_version() noexcept {
    auto numpy = import_module("numpy");
    if (!numpy) {
        return failure(std::move(numpy.error()));
    }
    auto version = attribute(numpy->get(), "__version__");
    if (!version) {
        return failure(std::move(version.error()));
    }
    auto numpy_lib = import_module("numpy.lib");
    if (!numpy_lib) {
        return failure(std::move(numpy_lib.error()));
    }
    auto version_class = attribute(numpy_lib->get(), "NumpyVersion");
    if (!version_class) {
        return failure(std::move(version_class.error()));
    }
    const OwnedRef parsed(PyObject_CallOneArg(version_class->get(), version->get()));
    if (!parsed) {
        return failure(PyErr::fetch());
    }
    auto major = attribute(parsed.get(), "major");
    if (!major) {
        return failure(std::move(major.error()));
    }
    const long value = PyLong_AsLong(major->get());
    if (value == -1 && PyErr_Occurred() != nullptr) {
        return failure(PyErr::fetch());
    }
    if (value < 0 || value > 255) {
        return failure(PyErr::with_fixed_text(PyExc_OverflowError,
                                              "out of range integral type conversion attempted"));
    }
    return value;
}

Result<void* const*> lookup_array_api_table() noexcept {
    auto module_name = multiarray_module_name();
    if (!module_name) {
        return failure(std::move(module_name.error()));
    }
    auto multiarray = import_module(*module_name);
    if (!multiarray) {
        return failure(std::move(multiarray.error()));
    }
    auto capsule = attribute(multiarray->get(), "_ARRAY_API");
    if (!capsule) {
        return failure(std::move(capsule.error()));
    }
    if (!PyCapsule_CheckExact(capsule->get())) {
        return failure(PyErr::type_mismatch(capsule->get(), "PyCapsule"));
    }
    const char* capsule_name = PyCapsule_GetName(capsule->get());
    if (capsule_name == nullptr && PyErr_Occurred() != nullptr) {
        return failure(PyErr::fetch());
    }
    void* table = PyCapsule_GetPointer(capsule->get(), capsule_name);
    if (table == nullptr) {
        return failure(PyErr::fetch());
    }
    // The capsule keeps the table alive; its reference is kept for the process.
    PyObject* kept = capsule->release();
    return cached::array_api_table.publish(static_cast<void* const*>(table),
                                           [kept](void* const*) { release_ref(kept); });
}

template <typename Function>
Function table_function(void* const* table, std::size_t slot) noexcept {
    return reinterpret_cast<Function>(table[slot]);
}

}  // namespace

namespace cached {
WriteOnce<void* const*> array_api_table;
WriteOnce<std::uint32_t> api_feature_version;
WriteOnce<PyObject*> float64_descr;
}  // namespace cached

Result<const char*> core_module_name() noexcept {
    if (const char* const* stored = core_name_cell.get()) {
        return *stored;
    }
    auto major = numpy_major_version();
    if (!major) {
        return failure(std::move(major.error()));
    }
    return core_name_cell.publish(*major >= 2 ? "numpy._core" : "numpy.core");
}

Result<const char*> multiarray_module_name() noexcept {
    auto core = core_module_name();
    if (!core) {
        return failure(std::move(core.error()));
    }
    // Both possible names are fixed texts, so the derived one is too.
    return std::string_view(*core) == "numpy._core" ? "numpy._core.multiarray"
                                                    : "numpy.core.multiarray";
}

Result<void* const*> find_array_api_table() noexcept {
    auto table = lookup_array_api_table();
    if (!table) {
        return failure(runtime_error_caused_by("Failed to access NumPy array API capsule",
                                               std::move(table.error())));
    }
    return table;
}

Result<std::uint32_t> find_api_feature_version() noexcept {
    auto table = array_api_table();
    if (!table) {
        return failure(std::move(table.error()));
    }
    using FeatureVersion = unsigned int (*)();
    const unsigned int version = table_function<FeatureVersion>(*table, slot_feature_version)();
    return cached::api_feature_version.publish(static_cast<std::uint32_t>(version));
}

std::int64_t element_size(PyObject* array, std::uint32_t feature_version) noexcept {
    // Descriptor: object head, type object pointer, four chars and the type number,
    // then in NumPy 1.x a 32-bit element size; NumPy 2.x puts 64-bit flags first and
    // widens the element size to 64 bits.
    const char* descr = reinterpret_cast<const char*>(array_fields(array).descr);
    const std::size_t common = sizeof(PyObject) + sizeof(PyTypeObject*) + 4 + sizeof(int);
    if (feature_version < first_numpy2_feature_version) {
        int size = 0;
        std::memcpy(&size, descr + common, sizeof size);
        return size;
    }
    std::int64_t size = 0;
    std::memcpy(&size, descr + common + sizeof(std::uint64_t), sizeof size);
    return size;
}

namespace {

// NumPy's descriptor of a built-in type: a singleton, of which one reference is kept
// for the process instead of one taken and dropped per array.
PyObject* builtin_descr(void* const* table, WriteOnce<PyObject*>& cell, int type_number) noexcept {
    if (PyObject* const* stored = cell.get()) {
        return *stored;
    }
    using DescrFromType = PyObject* (*)(int);
    PyObject* created = table_function<DescrFromType>(table, slot_descr_from_type)(type_number);
    if (created == nullptr) {
        internal_failure("NumPy gave no descriptor of a built-in type");
    }
    return cell.publish(created, [](PyObject* loser) { Py_DecRef(loser); });
}

WriteOnce<PyObject*> int64_descr;

// Whether `object` is a NumPy array (subclasses included) of `min_dimensions` to
// `max_dimensions` dimensions whose elements are those of `expected`.
Result<bool> test_array(PyObject* object, int min_dimensions, int max_dimensions,
                        WriteOnce<PyObject*>& expected, int type_number) noexcept {
    auto table = array_api_table();
    if (!table) {
        return failure(std::move(table.error()));
    }
    PyTypeObject* const type = array_type(*table);
    if (Py_TYPE(object) != type && PyType_IsSubtype(Py_TYPE(object), type) == 0) {
        return false;
    }
    const ArrayObjectFields& fields = array_fields(object);
    if (fields.nd < min_dimensions || fields.nd > max_dimensions) {
        return false;
    }
    if (fields.descr == nullptr) {
        internal_failure("NumPy array without a descriptor");
    }
    using EquivTypes = unsigned char (*)(PyObject*, PyObject*);
    // The array holds its descriptor for the whole test; nothing here can replace it.
    PyObject* const descr = fields.descr;
    PyObject* const wanted = builtin_descr(*table, expected, type_number);
    // Equivalence includes byte order, so a byte-swapped array is refused.
    return descr == wanted ||
           table_function<EquivTypes>(*table, slot_equiv_types)(descr, wanted) != 0;
}

}  // namespace

Result<bool> test_float64_array(PyObject* object) noexcept {
    return test_array(object, 1, 1, cached::float64_descr, type_number_double);
}

Result<bool> test_float64_grid(PyObject* object, int max_dimensions) noexcept {
    return test_array(object, 1, max_dimensions, cached::float64_descr, type_number_double);
}

Result<bool> check_int64_vector(PyObject* object) noexcept {
    return test_array(object, 1, 1, int64_descr, type_number_int64);
}

PyErr no_longer_one_dimensional(const char* parameter) noexcept {
    return parameter_error(PyExc_ValueError, parameter, "array is no longer one-dimensional");
}

}  // namespace marundex::runtime
