#include "binding.hpp"

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "internal_failure.hpp"
#include "object_text.hpp"

namespace marundex::runtime {

namespace {

std::string display_name(const CallSignature& signature) {
    std::string name;
    if (signature.class_name != nullptr) {
        name = signature.class_name;
        name += '.';
    }
    name += signature.function_name;
    name += "()";
    return name;
}

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'.
std::string name_list(const std::vector<std::string_view>& names) {
    std::string list;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            list += names.size() > 2 ? ", " : " ";
            if (i + 1 == names.size()) {
                list += "and ";
            }
        }
        list += '\'';
        list += names[i];
        list += '\'';
    }
    return list;
}

PyErr binding_error(std::string message) noexcept {
    return PyErr::with_owned_text(PyExc_TypeError, std::move(message));
}

PyErr surplus_error(const CallSignature& signature, Py_ssize_t given) {
    const std::size_t total = signature.positional.size();
    const std::size_t required = signature.required_positional_count;
    std::string message = display_name(signature) + " takes ";
    if (required == total) {
        message += std::to_string(total);
    } else {
        message += "from " + std::to_string(required) + " to " + std::to_string(total);
    }
    message += " positional arguments but " + std::to_string(given) +
               (given == 1 ? " was given" : " were given");
    return binding_error(std::move(message));
}

PyErr missing_error(const CallSignature& signature, const char* kind,
                    const std::vector<std::string_view>& names) {
    return binding_error(display_name(signature) + " missing " + std::to_string(names.size()) +
                         " required " + kind +
                         (names.size() == 1 ? " argument: " : " arguments: ") + name_list(names));
}

bool same_name(std::string_view given, const char* declared) {
    return given.size() == std::strlen(declared) &&
           std::memcmp(given.data(), declared, given.size()) == 0;
}

// Index of `name` in `names`, or names.size().
template <typename Names, typename NameOf>
std::size_t find_name(std::string_view name, const Names& names, NameOf name_of) {
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (same_name(name, name_of(names[i]))) {
            return i;
        }
    }
    return names.size();
}

Result<void> bind(const CallSignature& signature, PyObject* const* args,
                  Py_ssize_t positional_count, PyObject* keyword_names,
                  std::span<PyObject*> slots) {
    const std::size_t total = signature.positional.size();
    const auto given = static_cast<std::size_t>(positional_count);

    if (args != nullptr) {
        for (std::size_t i = 0; i < given && i < total; ++i) {
            slots[i] = args[i];
        }
    }
    if (given > total) {
        return failure(surplus_error(signature, positional_count));
    }

    std::vector<std::string_view> positional_only_names;
    // Keyword values follow the positional ones in the same vector, so there are
    // none without a vector.
    const Py_ssize_t keyword_count =
        keyword_names == nullptr || args == nullptr ? 0 : PyTuple_GET_SIZE(keyword_names);
    for (Py_ssize_t j = 0; j < keyword_count; ++j) {
        PyObject* name_object = PyTuple_GET_ITEM(keyword_names, j);
        PyObject* value = args[positional_count + j];
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(name_object, &size);
        if (utf8 == nullptr) {
            (void)PyErr::take();
            return failure(binding_error(display_name(signature) +
                                         " got an unexpected keyword argument '" +
                                         object_text(name_object) + "'"));
        }
        const std::string_view name(utf8, static_cast<std::size_t>(size));
        const auto duplicate = [&] {
            return failure(binding_error(display_name(signature) +
                                         " got multiple values for argument '" + std::string(name) +
                                         "'"));
        };

        const std::size_t keyword_index =
            find_name(name, signature.keyword_only,
                      [](const KeywordOnlyParameter& parameter) { return parameter.name; });
        if (keyword_index < signature.keyword_only.size()) {
            PyObject*& slot = slots[total + keyword_index];
            if (slot != nullptr) {
                return duplicate();
            }
            slot = value;
            continue;
        }

        const std::size_t positional_index =
            find_name(name, signature.positional, [](const char* declared) { return declared; });
        if (positional_index < total) {
            if (positional_index < signature.positional_only_count) {
                positional_only_names.push_back(name);
                continue;
            }
            PyObject*& slot = slots[positional_index];
            if (slot != nullptr) {
                return duplicate();
            }
            slot = value;
            continue;
        }

        return failure(binding_error(display_name(signature) +
                                     " got an unexpected keyword argument '" +
                                     object_text(name_object) + "'"));
    }

    if (!positional_only_names.empty()) {
        return failure(binding_error(display_name(signature) +
                                     " got some positional-only arguments passed as keyword "
                                     "arguments: " +
                                     name_list(positional_only_names)));
    }

    const std::size_t required = signature.required_positional_count;
    if (given < required) {
        std::vector<std::string_view> missing;
        for (std::size_t i = 0; i < required; ++i) {
            if (slots[i] == nullptr) {
                missing.emplace_back(signature.positional[i]);
            }
        }
        if (!missing.empty()) {
            return failure(missing_error(signature, "positional", missing));
        }
    }

    std::vector<std::string_view> missing_keywords;
    for (std::size_t k = 0; k < signature.keyword_only.size(); ++k) {
        if (signature.keyword_only[k].required && slots[total + k] == nullptr) {
            missing_keywords.emplace_back(signature.keyword_only[k].name);
        }
    }
    if (!missing_keywords.empty()) {
        return failure(missing_error(signature, "keyword", missing_keywords));
    }
    return {};
}

}  // namespace

Result<void> bind_arguments(const CallSignature& signature, PyObject* const* args,
                            Py_ssize_t positional_count, PyObject* keyword_names,
                            std::span<PyObject*> slots) noexcept {
    // Nearly every call passes each parameter by position and nothing else: there is
    // nothing to match, and nothing that could be missing.
    const std::size_t total = signature.positional.size();
    if (keyword_names == nullptr && signature.keyword_only.empty() &&
        positional_count == static_cast<Py_ssize_t>(total)) {
        std::copy_n(args, total, slots.begin());
        return {};
    }
    try {
        return bind(signature, args, positional_count, keyword_names, slots);
    } catch (...) {
        internal_failure("could not compose an argument binding error");
    }
}

}  // namespace marundex::runtime
