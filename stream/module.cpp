// marundex_stream: the module definition, its types (indicators.hpp) and its
// initialisation.
#include <array>
#include <atomic>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>

#include "../runtime/call_frame.hpp"
#include "../runtime/try.hpp"
#include "../runtime/write_once.hpp"
#include "stream_type.hpp"

namespace marundex::stream {

namespace {

using FastMethod = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept;

PyCFunction as_function(FastMethod method) noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method));
}

template <class Indicator>
PyType_Spec* spec_of() noexcept {
    using T = StreamType<Indicator>;
    static std::array<PyMethodDef, 7> methods{{
        {"update", as_function(T::update), METH_FASTCALL | METH_KEYWORDS,
         "Writes the outputs of the new bars and moves the state past them."},
        {"preview", as_function(T::preview), METH_FASTCALL | METH_KEYWORDS,
         "Writes what update would write, and leaves the state as it was."},
        {"copy", T::copy, METH_NOARGS, "An independent state that continues as this one would."},
        {"__copy__", T::copy, METH_NOARGS, nullptr},
        {"__deepcopy__", T::deep_copy, METH_O, nullptr},
        {"__reduce__", T::reduce, METH_NOARGS, nullptr},
        {nullptr, nullptr, 0, nullptr},
    }};
    constexpr std::size_t getter_count = 3 + Indicator::parameters.size();
    static std::array<PyGetSetDef, getter_count> getters =
        []<std::size_t... Index>(std::index_sequence<Index...>) {
        return std::array<PyGetSetDef, getter_count>{{
            {"bars", T::bars, nullptr,
             "Bars consumed: an int, or an int64 array with one count per symbol.", nullptr},
            {"symbols", T::symbols, nullptr, "None for one series, else the number of symbols.",
             nullptr},
            {Indicator::parameters[Index].name, T::template parameter<Index>, nullptr, nullptr,
             nullptr}...,
        }};
    }
    (std::make_index_sequence<Indicator::parameters.size()>());
    static std::string doc_text = Indicator::doc;
    static std::array<PyType_Slot, 6> slots{{
        {Py_tp_new, reinterpret_cast<void*>(T::create)},
        {Py_tp_dealloc, reinterpret_cast<void*>(T::dealloc)},
        {Py_tp_methods, methods.data()},
        {Py_tp_getset, getters.data()},
        {Py_tp_doc, doc_text.data()},
        {0, nullptr},
    }};
    static const std::string name = std::string("marundex_stream.") + Indicator::name;
    static PyType_Spec spec{name.c_str(), static_cast<int>(sizeof(StreamObject<Indicator>)), 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots.data()};
    return &spec;
}

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    "marundex_stream",
    "Resumable indicators: live bars, one series or a universe of symbols a call, with the "
    "bits of marundex's batch functions.",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

constexpr int python_api_version = 1013;

// The type of the checkpoint's kind restores it.
template <class... Indicators>
Result<PyObject*> restore_to(TypeList<Indicators...> /*types*/,
                             std::span<const std::uint64_t> words) noexcept {
    std::optional<Result<PyObject*>> restored;
    // The fold stops at the first kind that matches; its value is not needed.
    static_cast<void>(((words[indicator] == Indicators::kind &&
                        (restored.emplace(StreamType<Indicators>::restore(words)), true)) ||
                       ...));
    if (!restored) {
        return failure(inconsistent_checkpoint());
    }
    return std::move(*restored);
}

Result<PyObject*> restore_checkpoint(PyObject* checkpoint) noexcept {
    MARUNDEX_TRY(words, checked_words(checkpoint));
    return restore_to(Catalogue{}, *words);
}

PyObject* restore(PyObject* /*module*/, PyObject* checkpoint) noexcept {
    return run_in_call_frame([&] { return restore_checkpoint(checkpoint); });
}

// Single-phase, as marundex: one module object per process, in one interpreter.
std::atomic<std::int64_t> owning_interpreter{-1};
WriteOnce<PyObject*> module_cache;

template <class Indicator>
Result<void> add_type(PyObject* module, PyObject* all) noexcept {
    const char* name = Indicator::name;
    const OwnedRef type(PyType_FromSpec(spec_of<Indicator>()));
    if (!type) {
        return failure(PyErr::fetch());
    }
    // Kept for the process, as the module is, for checkpoints to restore to.
    StreamType<Indicator>::registered = reinterpret_cast<PyTypeObject*>(Py_NewRef(type.get()));
    if (PyModule_AddObjectRef(module, name, type.get()) == -1) {
        return failure(PyErr::fetch());
    }
    const OwnedRef text(PyUnicode_FromString(name));
    if (!text || PyList_Append(all, text.get()) == -1) {
        return failure(PyErr::fetch());
    }
    return {};
}

template <class... Indicators>
Result<void> add_types(TypeList<Indicators...> /*types*/, PyObject* module,
                       PyObject* all) noexcept {
    Result<void> added;
    // The fold stops at the first failure, which `added` keeps.
    static_cast<void>(((added = add_type<Indicators>(module, all), added.has_value()) && ...));
    return added;
}

Result<PyObject*> initialise() noexcept {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) {
        return failure(PyErr::fetch());
    }
    std::int64_t owner = -1;
    if (!owning_interpreter.compare_exchange_strong(owner, id) && owner != id) {
        return failure(PyErr::with_fixed_text(
            PyExc_ImportError, "marundex_stream does not support subinterpreters yet"));
    }
    if (PyObject* const* cached = module_cache.get()) {
        return Py_NewRef(*cached);
    }
    OwnedRef module(PyModule_Create2(&definition, python_api_version));
    if (!module) {
        return failure(PyErr::fetch());
    }
#ifdef Py_GIL_DISABLED
    // Every state has a lock of its own: the module needs no interpreter lock.
    if (PyUnstable_Module_SetGIL(module.get(), Py_MOD_GIL_NOT_USED) < 0) {
        return failure(PyErr::fetch());
    }
#endif
    const OwnedRef all(PyList_New(0));
    if (!all) {
        return failure(PyErr::fetch());
    }
    MARUNDEX_TRY(types, add_types(Catalogue{}, module.get(), all.get()));
    // Pickle's way back to an object: the module's one function.
    static PyMethodDef restore_definition{"_restore", restore, METH_O,
                                          "The stream object of a checkpoint (pickle's path)."};
    const OwnedRef restore_function(PyCFunction_New(&restore_definition, nullptr));
    if (!restore_function ||
        PyModule_AddObjectRef(module.get(), "_restore", restore_function.get()) == -1) {
        return failure(PyErr::fetch());
    }
    if (PyModule_AddObjectRef(module.get(), "__all__", all.get()) == -1) {
        return failure(PyErr::fetch());
    }
    if (PyModule_AddStringConstant(module.get(), "__version__", MARUNDEX_VERSION) == -1) {
        return failure(PyErr::fetch());
    }
    PyObject* made = module.release();
    PyObject* cached = module_cache.publish(made, [](PyObject* loser) { release_ref(loser); });
    return Py_NewRef(cached);
}

}  // namespace

}  // namespace marundex::stream

PyMODINIT_FUNC PyInit_marundex_stream() {
    return marundex::runtime::run_in_call_frame(marundex::stream::initialise);
}
