// The checkpoint of a stream object, as pickle and the copies across processes
// carry it: 64-bit words in the machine's order, a header, every state's words,
// and a CRC-64 of everything before it, so that a truncated or altered checkpoint,
// or one of another layout, is refused instead of continuing with other numbers.
//
//   magic, layout, indicator, symbols (all ones for one series), words per state,
//   the parameters, the states' words, CRC-64
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "../runtime/error.hpp"

namespace marundex::stream {

inline constexpr std::uint64_t checkpoint_magic = 0x006d727473786d64;  // "mdxstrm"
// Layout 2 added parameters that are not periods (MACD's seed); a checkpoint of
// layout 1 still restores, its missing parameters taking their defaults.
inline constexpr std::uint64_t checkpoint_layout = 2;
inline constexpr std::uint64_t oldest_readable_layout = 1;
inline constexpr std::uint64_t one_series = ~std::uint64_t{0};
inline constexpr std::size_t header_words = 5;

enum HeaderField : std::size_t { magic = 0, layout = 1, indicator = 2, symbols = 3, per_state = 4 };

// CRC-64/XZ: any change of up to 64 bits in a row changes it.
std::uint64_t crc64(std::span<const std::uint64_t> words) noexcept;

// The words of a checkpoint whose magic, layout and checksum hold, CRC excluded;
// a ValueError that says what is wrong otherwise. `object` must be bytes.
runtime::Result<std::span<const std::uint64_t>> checked_words(PyObject* object) noexcept;

}  // namespace marundex::stream
