#include "notes.hpp"

#include "internal_failure.hpp"
#include "object_text.hpp"

namespace marundex::runtime::notes {

namespace {

constexpr const char* expected_array = "a one-dimensional numpy.ndarray of float64";

bool is_numpy_array(PyObject* object) noexcept {
    // The array test that failed has found the table, so this lookup is a load.
    auto table = array_api_table();
    if (!table) {
        return false;
    }
    PyTypeObject* const type = array_type(*table);
    return Py_TYPE(object) == type || PyType_IsSubtype(Py_TYPE(object), type) != 0;
}

// What turns a series of the object's kind into a float64 array, missing values
// as NaN; empty for a kind not known here. pandas, polars and pyarrow are told
// apart by their types' module and name, so that none of them is imported.
std::string kind_conversion(PyObject* object) {
    if (PyList_Check(object) || PyTuple_Check(object)) {
        return "numpy.asarray(x, dtype=numpy.float64)";
    }
    if (is_numpy_array(object)) {
        // A float64 array was refused for its shape or layout, which no dtype mends.
        PyObject* const descr = array_fields(object).descr;
        const bool float64 = descr != nullptr && object_text(descr) == "float64";
        return float64 ? std::string() : std::string("x.astype(numpy.float64)");
    }
    PyTypeObject* const type = Py_TYPE(object);
    const std::string module =
        utf8_of_new(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"))
            .value_or("");
    const std::string package = module.substr(0, module.find('.'));
    const std::string name = type_name_text(type, false);
    if (package == "pandas" && name == "Series") {
        return "x.to_numpy(dtype=\"float64\", na_value=numpy.nan)";
    }
    if (package == "polars" && name == "Series") {
        return "x.cast(polars.Float64).fill_null(float(\"nan\")).to_numpy()";
    }
    if (package == "pyarrow" && name.ends_with("Array")) {
        return "x.cast(pyarrow.float64()).fill_null(float(\"nan\")).to_numpy()";
    }
    return {};
}

std::string with_front_door(const std::string& conversion) {
    return "pass " + conversion + "; marundex_ta's functions take x as it is";
}

std::string argument(const char* parameter) {
    return std::string("argument '") + parameter + "'";
}

std::string conversion_text(PyObject* object, const char* parameter, ArrayRole role) {
    std::string given = type_name_text(Py_TYPE(object), true);
    const std::string conversion = kind_conversion(object);
    std::string fix = conversion.empty() ? "pass numpy.ascontiguousarray(x, dtype=numpy.float64)"
                                         : with_front_door(conversion);
    if (is_numpy_array(object)) {
        const ArrayObjectFields& fields = array_fields(object);
        const std::string dtype = fields.descr != nullptr ? object_text(fields.descr) : "unknown";
        given += " of dtype " + dtype + " with " + std::to_string(fields.nd) +
                 (fields.nd == 1 ? " dimension" : " dimensions");
        if (fields.nd == 1) {
            fix = with_front_door(conversion);
        } else if (fields.nd == 0) {
            // A scalar has no column to pick: it becomes a series of one value.
            fix = dtype == "float64"
                      ? "pass a series of one value, numpy.atleast_1d(x)"
                      : "pass a series of one value, numpy.atleast_1d(x).astype(numpy.float64)";
        } else if (dtype == "float64") {
            fix = "pass one column, x[:, k], or x.ravel()";
        } else {
            fix =
                "pass one column, x[:, k], or x.ravel(), through "
                "numpy.ascontiguousarray(..., dtype=numpy.float64)";
        }
    }
    if (role == ArrayRole::output) {
        return argument(parameter) + " takes " + expected_array +
               " to write into, given: " + given +
               "; pass numpy.empty(n) and assign it afterwards (df[\"col\"] = out): "
               "a converted copy, not your object, would receive the result";
    }
    return argument(parameter) + " takes " + expected_array + ", given: " + given + "; " + fix;
}

std::string contiguity_text(const char* parameter, const SeriesView& view, ArrayRole role) {
    const std::string text =
        argument(parameter) + " has a stride of " + std::to_string(view.stride) + " bytes, and ";
    if (role == ArrayRole::output) {
        return text +
               "marundex writes float64 values that lie next to each other (a stride of 8 "
               "bytes); pass numpy.empty(n) and copy the result into the view afterwards "
               "(x[:] = out)";
    }
    return text +
           "marundex reads float64 values that lie next to each other (a stride of 8 bytes); "
           "pass numpy.ascontiguousarray(x)";
}

template <typename Compose>
std::string composed(Compose compose) noexcept {
    try {
        return compose();
    } catch (...) {
        internal_failure("could not compose an error message");
    }
}

}  // namespace

std::string conversion(PyObject* object, const char* parameter, ArrayRole role) noexcept {
    return composed([&] { return conversion_text(object, parameter, role); });
}

std::string series_conversion(PyObject* object) noexcept {
    return composed([&] {
        const std::string conversion = kind_conversion(object);
        return conversion.empty() ? conversion : with_front_door(conversion);
    });
}

std::string contiguity(const char* parameter, const SeriesView& view, ArrayRole role) noexcept {
    return composed([&] { return contiguity_text(parameter, view, role); });
}

std::string read_only(const char* parameter) noexcept {
    return composed([&] {
        return argument(parameter) +
               " is read-only: a view of read-only memory, or under pandas copy-on-write the "
               "array that Series.to_numpy() returns; pass numpy.empty(n) and assign it "
               "afterwards (df[\"col\"] = out)";
    });
}

std::string shared_memory() noexcept {
    return composed([] {
        return std::string(
            "marundex reads its inputs while it writes its outputs, so every output needs "
            "memory of its own; pass numpy.empty(n), and to compute in place copy the result "
            "back afterwards (x[:] = out)");
    });
}

std::string period_range(const char* parameter) noexcept {
    return composed([&] { return argument(parameter) + " takes an integer from 0 to 2**64 - 1"; });
}

}  // namespace marundex::runtime::notes
