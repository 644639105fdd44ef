#include "checkpoint.hpp"

#include <array>
#include <cstring>
#include <string>

#include "../runtime/checks.hpp"
#include "../runtime/internal_failure.hpp"

namespace marundex::stream {

namespace {

constexpr std::array<std::uint64_t, 256> crc_table = [] {
    constexpr std::uint64_t polynomial = 0xc96c5795d7870f42;  // reflected
    std::array<std::uint64_t, 256> table{};
    for (std::uint64_t byte = 0; byte < 256; ++byte) {
        std::uint64_t crc = byte;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 1) != 0 ? (crc >> 1) ^ polynomial : crc >> 1;
        }
        table[byte] = crc;
    }
    return table;
}();

runtime::PyErr damaged(runtime::StaticText why) noexcept {
    return runtime::value_error(why);
}

}  // namespace

std::uint64_t crc64(std::span<const std::uint64_t> words) noexcept {
    std::uint64_t crc = ~std::uint64_t{0};
    for (const std::uint64_t word : words) {
        std::array<unsigned char, sizeof word> bytes{};
        std::memcpy(bytes.data(), &word, sizeof word);
        for (const unsigned char byte : bytes) {
            crc = crc_table[(crc ^ byte) & 0xff] ^ (crc >> 8);
        }
    }
    return ~crc;
}

runtime::Result<std::span<const std::uint64_t>> checked_words(PyObject* object) noexcept {
    if (!PyBytes_Check(object)) {
        return runtime::failure(
            runtime::PyErr::with_fixed_text(PyExc_TypeError, "A checkpoint must be bytes"));
    }
    const char* data = PyBytes_AS_STRING(object);
    const auto size = static_cast<std::size_t>(PyBytes_GET_SIZE(object));
    // CPython aligns a bytes object's characters to 8 bytes, as the words need.
    if (reinterpret_cast<std::uintptr_t>(data) % alignof(std::uint64_t) != 0) {
        runtime::internal_failure("a bytes object whose characters are not 8-byte aligned");
    }
    const std::span<const std::uint64_t> words(reinterpret_cast<const std::uint64_t*>(data),
                                               size / sizeof(std::uint64_t));
    if (size % sizeof(std::uint64_t) != 0 || words.size() < header_words + 1 ||
        words[magic] != checkpoint_magic) {
        return runtime::failure(damaged("Not a marundex_stream checkpoint, or a truncated one"));
    }
    if (words[layout] < oldest_readable_layout || words[layout] > checkpoint_layout) {
        try {
            return runtime::failure(runtime::PyErr::with_owned_text(
                PyExc_ValueError, "A checkpoint of layout " + std::to_string(words[layout]) +
                                      ", which this marundex_stream, of layout " +
                                      std::to_string(checkpoint_layout) + ", does not read"));
        } catch (...) {
            runtime::internal_failure("could not compose an error message");
        }
    }
    const std::span<const std::uint64_t> body = words.first(words.size() - 1);
    if (crc64(body) != words.back()) {
        return runtime::failure(
            damaged("The checkpoint is damaged: its checksum does not match its contents"));
    }
    return body;
}

}  // namespace marundex::stream
