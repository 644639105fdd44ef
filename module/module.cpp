// The module definition and its initialisation.
#include <array>
#include <atomic>
#include <cstdint>

#include "../runtime/call_frame.hpp"
#include "../runtime/interned.hpp"
#include "../runtime/try.hpp"
#include "../runtime/write_once.hpp"
#include "entry_points.hpp"

namespace marundex::module {

namespace {

using namespace runtime;

using FastFunction = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept;

struct FunctionEntry {
    const char* name;
    FastFunction function;
    const char* text_signature;
};

// Registered in this order, which is also the order of __all__.
constexpr std::array<FunctionEntry, 4> functions{{
    {"indicator_sma", indicator_sma, "indicator_sma(period, data, output)\n--\n\n"},
    {"indicator_ema", indicator_ema, "indicator_ema(period, data, output)\n--\n\n"},
    {"indicator_macd", indicator_macd,
     "indicator_macd(fast_period, slow_period, signal_period, data, macd_output, "
     "signal_output, hist_output)\n--\n\n"},
    {"indicator_atr", indicator_atr, "indicator_atr(period, high, low, close, output)\n--\n\n"},
}};

// CPython's API version, as PyModule_Create passes it.
constexpr int python_api_version = 1013;

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT, "marundex", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

// The module is single-phase: one module object per process, in one interpreter.
std::atomic<std::int64_t> owning_interpreter{-1};
WriteOnce<PyObject*> module_cache;

Result<void> add_function(PyObject* module, OwnedRef function) noexcept {
    const OwnedRef name(PyObject_GetAttr(function.get(), interned(InternedName::dunder_name)));
    if (!name) {
        return failure(PyErr::fetch());
    }
    if (!PyUnicode_Check(name.get())) {
        return failure(PyErr::type_mismatch(name.get(), "PyString"));
    }

    OwnedRef all(PyObject_GetAttr(module, interned(InternedName::dunder_all)));
    if (!all) {
        PyErr missing = PyErr::fetch();
        if (!missing.matches(PyExc_AttributeError)) {
            return failure(std::move(missing));
        }
        all = OwnedRef(PyList_New(0));
        if (!all) {
            python_api_call_failed();
        }
        if (PyObject_SetAttr(module, interned(InternedName::dunder_all), all.get()) == -1) {
            return failure(PyErr::fetch());
        }
    } else if (!PyList_Check(all.get())) {
        return failure(PyErr::type_mismatch(all.get(), "PyList"));
    }
    if (PyList_Append(all.get(), name.get()) == -1) {
        internal_failure("could not append __name__ to __all__", PyErr::fetch());
    }
    all.reset();

    if (PyObject_SetAttr(module, name.get(), function.get()) == -1) {
        return failure(PyErr::fetch());
    }
    return {};
}

Result<void> module_body(PyObject* module) noexcept {
    for (const FunctionEntry& entry : functions) {
        const OwnedRef module_name(PyModule_GetNameObject(module));
        if (!module_name) {
            return failure(PyErr::fetch());
        }
        // The function object refers to its definition for the rest of the process.
        auto* method = new (std::nothrow) PyMethodDef{
            entry.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry.function)),
            METH_FASTCALL | METH_KEYWORDS, entry.text_signature};
        if (method == nullptr) {
            internal_failure("could not allocate a method definition");
        }
        OwnedRef function(PyCMethod_New(method, module, module_name.get(), nullptr));
        if (!function) {
            return failure(PyErr::fetch());
        }
        MARUNDEX_TRY(added, add_function(module, std::move(function)));
    }
    return {};
}

Result<PyObject*> initialise() noexcept {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) {
        return failure(PyErr::fetch());
    }
    // Recorded once and for good, also when this initialisation fails later.
    std::int64_t owner = -1;
    if (!owning_interpreter.compare_exchange_strong(owner, id) && owner != id) {
        return failure(PyErr::with_fixed_text(PyExc_ImportError,
                                              "marundex does not support subinterpreters yet"));
    }
    if (PyObject* const* cached = module_cache.get()) {
        return Py_NewRef(*cached);
    }

    OwnedRef module(PyModule_Create2(&definition, python_api_version));
    if (!module) {
        return failure(PyErr::fetch());
    }
#ifdef Py_GIL_DISABLED
    // The module relies on the interpreter lock; a free-threaded interpreter then
    // turns it on at import, unless the user forced it off.
    if (PyUnstable_Module_SetGIL(module.get(), Py_MOD_GIL_USED) < 0) {
        return failure(PyErr::fetch());
    }
#endif
    MARUNDEX_TRY(built, module_body(module.get()));

    PyObject* made = module.release();
    PyObject* cached = module_cache.publish(made, [](PyObject* loser) { release_ref(loser); });
    return Py_NewRef(cached);
}

}  // namespace

}  // namespace marundex::module

PyMODINIT_FUNC PyInit_marundex() {
    return marundex::runtime::run_in_call_frame(marundex::module::initialise);
}
