#include "interned.hpp"

#include <array>
#include <cstddef>
#include <string_view>

#include "internal_failure.hpp"
#include "write_once.hpp"

namespace marundex::runtime {

namespace {

constexpr std::array<std::string_view, 6> texts{"__name__", "__all__",  "io",
                                                "StringIO", "getvalue", "add_note"};

std::array<WriteOnce<PyObject*>, texts.size()> cells;

}  // namespace

PyObject* interned(InternedName name) noexcept {
    const auto index = static_cast<std::size_t>(name);
    WriteOnce<PyObject*>& cell = cells.at(index);
    if (PyObject* const* stored = cell.get()) {
        return *stored;
    }
    const std::string_view text = texts.at(index);
    PyObject* created =
        PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    if (created == nullptr) {
        python_api_call_failed();
    }
    PyUnicode_InternInPlace(&created);
    return cell.publish(created, [](PyObject* loser) { Py_DecRef(loser); });
}

}  // namespace marundex::runtime
