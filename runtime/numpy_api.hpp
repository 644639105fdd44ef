// NumPy reached at run time through the C-API table that it publishes in a capsule.
// The module is not compiled against NumPy's headers, so one binary serves NumPy 1.x
// and 2.x: it reads only the parts of NumPy's objects whose layout both share, and
// the one field whose layout differs by the feature version that NumPy reports.
#pragma once

#include <cstdint>
#include <optional>

#include "error.hpp"
#include "python_api.hpp"
#include "write_once.hpp"

namespace marundex::runtime {

// The leading fields of NumPy's array object, identical in NumPy 1.x and 2.x.
struct ArrayObjectFields {
    PyObject head;
    char* data;
    int nd;
    Py_intptr_t* dimensions;
    Py_intptr_t* strides;
    PyObject* base;
    PyObject* descr;
    int flags;
};

inline ArrayObjectFields& array_fields(PyObject* array) noexcept {
    return *reinterpret_cast<ArrayObjectFields*>(array);
}

inline constexpr int writeable_flag = 0x0400;

inline bool is_writeable(PyObject* array) noexcept {
    return (array_fields(array).flags & writeable_flag) != 0;
}

// "numpy._core" for NumPy 2 and later, "numpy.core" before.
Result<const char*> core_module_name() noexcept;
Result<const char*> multiarray_module_name() noexcept;

// What the first call finds, kept for the process. Every call of the module needs
// them, so the accessors below read them inline and call out only the first time.
namespace cached {
extern WriteOnce<void* const*> array_api_table;
extern WriteOnce<std::uint32_t> api_feature_version;
extern WriteOnce<PyObject*> float64_descr;
}  // namespace cached

// The first-time paths of the accessors below.
Result<void* const*> find_array_api_table() noexcept;
Result<std::uint32_t> find_api_feature_version() noexcept;
// The whole array test of check_float64_array.
Result<bool> test_float64_array(PyObject* object) noexcept;

// The C-API table. A failure leaves nothing cached, so the next need tries again.
inline Result<void* const*> array_api_table() noexcept {
    if (void* const* const* stored = cached::array_api_table.get()) {
        return *stored;
    }
    return find_array_api_table();
}

inline Result<std::uint32_t> api_feature_version() noexcept {
    if (const std::uint32_t* stored = cached::api_feature_version.get()) {
        return *stored;
    }
    return find_api_feature_version();
}

// NumPy's array type, from a table that has been obtained.
inline PyTypeObject* array_type(void* const* table) noexcept {
    constexpr std::size_t slot_array_type = 2;
    return static_cast<PyTypeObject*>(table[slot_array_type]);
}

// Byte size of one element of `array`, read in the descriptor layout of the running NumPy.
std::int64_t element_size(PyObject* array, std::uint32_t feature_version) noexcept;

// Whether `object` is a one-dimensional NumPy array of native-order float64 (subclasses
// included). Fails only when the C-API table cannot be obtained, with a RuntimeError.
inline Result<bool> check_float64_array(PyObject* object) noexcept {
    // The common case once the first test has run: an ndarray itself, carrying NumPy's
    // float64 descriptor itself. Everything else takes the whole test.
    void* const* const* table = cached::array_api_table.get();
    PyObject* const* float64 = cached::float64_descr.get();
    if (table != nullptr && float64 != nullptr && Py_TYPE(object) == array_type(*table) &&
        array_fields(object).nd == 1 && array_fields(object).descr == *float64) {
        return true;
    }
    return test_float64_array(object);
}

// The whole array test of check_float64_grid.
Result<bool> test_float64_grid(PyObject* object, int max_dimensions) noexcept;

// Whether `object` is a NumPy array of native-order float64 (subclasses included)
// of one to `max_dimensions` dimensions; the common case inline, as above.
inline Result<bool> check_float64_grid(PyObject* object, int max_dimensions) noexcept {
    void* const* const* table = cached::array_api_table.get();
    PyObject* const* float64 = cached::float64_descr.get();
    if (table != nullptr && float64 != nullptr && Py_TYPE(object) == array_type(*table) &&
        array_fields(object).nd >= 1 && array_fields(object).nd <= max_dimensions &&
        array_fields(object).descr == *float64) {
        return true;
    }
    return test_float64_grid(object, max_dimensions);
}

// Whether `object` is a one-dimensional NumPy array of native-order int64.
Result<bool> check_int64_vector(PyObject* object) noexcept;

// The one-dimensional view of an array that passed check_float64_array.
struct SeriesView {
    char* data;
    std::uint64_t length;
    std::int64_t stride;

    [[nodiscard]] bool is_contiguous() const noexcept {
        return length <= 1 || stride == static_cast<std::int64_t>(sizeof(double));
    }

    // Whether the bytes of two contiguous views intersect. An empty view reaches no
    // byte, so it shares memory with nothing; views that only touch share none.
    [[nodiscard]] bool shares_memory_with(const SeriesView& other) const noexcept {
        if (length == 0 || other.length == 0) {
            return false;
        }
        return first_byte() < other.end_byte() && other.first_byte() < end_byte();
    }

    friend bool operator==(const SeriesView&, const SeriesView&) = default;

  private:
    // As integers: pointers into different arrays cannot be compared as pointers.
    [[nodiscard]] std::uintptr_t first_byte() const noexcept {
        return reinterpret_cast<std::uintptr_t>(data);
    }
    [[nodiscard]] std::uintptr_t end_byte() const noexcept {
        return first_byte() + length * sizeof(double);
    }
};

// The view of an array as it is now, or nothing when it does not have one dimension.
inline std::optional<SeriesView> current_view(PyObject* array) noexcept {
    const ArrayObjectFields& fields = array_fields(array);
    if (fields.nd != 1) {
        return std::nullopt;
    }
    return SeriesView{fields.data, static_cast<std::uint64_t>(fields.dimensions[0]),
                      static_cast<std::int64_t>(fields.strides[0])};
}

// An array of one or two dimensions, as rows of consecutive elements: a
// one-dimensional array is one element a row.
struct GridView {
    char* data;
    int dimensions;
    std::uint64_t rows;
    std::uint64_t columns;
    bool c_contiguous;

    [[nodiscard]] std::uint64_t size() const noexcept { return rows * columns; }

    // Whether the bytes of two contiguous views intersect; an empty view reaches none.
    [[nodiscard]] bool shares_memory_with(const GridView& other) const noexcept {
        if (size() == 0 || other.size() == 0) {
            return false;
        }
        const auto start = reinterpret_cast<std::uintptr_t>(data);
        const auto other_start = reinterpret_cast<std::uintptr_t>(other.data);
        return start < other_start + other.size() * sizeof(double) &&
               other_start < start + size() * sizeof(double);
    }

    // The same array, resized neither in its dimensions nor in its memory.
    [[nodiscard]] bool same_as(const GridView& other) const noexcept {
        return data == other.data && dimensions == other.dimensions && rows == other.rows &&
               columns == other.columns && c_contiguous == other.c_contiguous;
    }
};

// The view of an array of one or two dimensions as it is now, elements of
// `element_size` bytes, or nothing for another number of dimensions. C-contiguous
// as NumPy has it: the strides of the axes longer than 1 are those of packed rows,
// and an array with no element is contiguous whatever its strides ((0, k) has
// strides (0, 0)).
inline std::optional<GridView> current_grid(PyObject* array, std::int64_t element_size) noexcept {
    const ArrayObjectFields& fields = array_fields(array);
    if (fields.nd != 1 && fields.nd != 2) {
        return std::nullopt;
    }
    const auto rows = static_cast<std::uint64_t>(fields.dimensions[0]);
    const std::uint64_t columns =
        fields.nd == 2 ? static_cast<std::uint64_t>(fields.dimensions[1]) : 1;
    bool contiguous = true;
    std::int64_t packed = element_size;
    for (int axis = fields.nd - 1; axis >= 0; --axis) {
        const Py_intptr_t extent = fields.dimensions[axis];
        if (extent > 1 && fields.strides[axis] != packed) {
            contiguous = false;
        }
        packed *= extent;
    }
    if (rows * columns == 0) {
        contiguous = true;
    }
    return GridView{fields.data, fields.nd, rows, columns, contiguous};
}

// The ValueError of series_view, out of line and cold so that a successful view
// pays nothing for composing it.
[[gnu::cold, gnu::noinline]] PyErr no_longer_one_dimensional(const char* parameter) noexcept;

// Fails with a ValueError naming `parameter` when the array no longer has one
// dimension (it was reshaped in place after its test).
inline Result<SeriesView> series_view(PyObject* array, const char* parameter) noexcept {
    if (std::optional<SeriesView> view = current_view(array)) {
        return *view;
    }
    return failure(no_longer_one_dimensional(parameter));
}

}  // namespace marundex::runtime
