// The states behind one stream object: one series, or one state per symbol of a
// universe, with the lock that serializes the calls on them.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <span>
#include <vector>

#include "indicators.hpp"
#include "state_lock.hpp"

namespace marundex::stream {

// Why a universe could not be made or copied.
enum class MakeError { state, memory };

struct MakeFailure {
    MakeError kind;
    core::StateError state_error;
};

// Why the rows of a call were refused, and the first row at fault.
struct RowRefusal {
    enum Kind { out_of_range, repeated } kind;
    std::int64_t row;
};

// Why the lengths of a ragged call were refused: the first negative count, or the
// sum of the counts (saturated) where it is not the inputs' length.
struct LengthRefusal {
    enum Kind { negative, wrong_sum } kind;
    std::int64_t value;
};

template <class Indicator>
class Universe {
  public:
    using State = typename Indicator::State;
    using Parameters = std::array<std::uint64_t, Indicator::parameters.size()>;

    // One series when `symbols` is empty, else that many states.
    static std::expected<std::unique_ptr<Universe>, MakeFailure> make(
        const Parameters& parameters, std::optional<std::uint64_t> symbols) noexcept {
        auto first = Indicator::make(parameters);
        if (!first) {
            return std::unexpected(MakeFailure{MakeError::state, first.error()});
        }
        const std::uint64_t count = symbols.value_or(1);
        return build(parameters, symbols, count,
                     [&](std::uint64_t) { return Indicator::copy(*first); });
    }

    // An independent universe that continues as this one would.
    std::expected<std::unique_ptr<Universe>, MakeFailure> copy() const noexcept {
        const std::scoped_lock lock(mutex_);
        return build(parameters_, symbols_, states_.size(),
                     [&](std::uint64_t s) { return Indicator::copy(states_[s]); });
    }

    // The checkpoint words of each state; every state of a universe has as many.
    [[nodiscard]] std::size_t words_per_state() const noexcept { return words_per_state_; }
    [[nodiscard]] std::uint64_t state_count() const noexcept { return states_.size(); }

    // Every state's checkpoint, one after the other. The caller holds the lock.
    void write_states(std::span<std::uint64_t> words) const noexcept {
        for (std::size_t s = 0; s < states_.size(); ++s) {
            states_[s].write_checkpoint(words.subspan(s * words_per_state_, words_per_state_));
        }
    }

    // The universe that wrote these words, or why no universe could have: the
    // states must be of one indicator with the same parameters, and parameters that no
    // constructor takes are refused for an empty universe too, which has no state
    // to check them.
    static std::expected<std::unique_ptr<Universe>, MakeFailure> from_states(
        const Parameters& parameters, std::optional<std::uint64_t> symbols, std::uint64_t count,
        std::size_t words_each, std::span<const std::uint64_t> words) noexcept {
        if (count == 0) {
            if (auto made = Indicator::make(parameters); !made) {
                const bool memory = made.error() == core::StateError::out_of_memory;
                return std::unexpected(MakeFailure{memory ? MakeError::memory : MakeError::state,
                                                   core::StateError::bad_checkpoint});
            }
        }
        return build(parameters, symbols, count,
                     [&](std::uint64_t s) -> std::expected<State, core::StateError> {
                         auto state = State::from_checkpoint(
                             words.subspan(static_cast<std::size_t>(s) * words_each, words_each));
                         if (state && Indicator::parameters_of(*state) != parameters) {
                             return std::unexpected(core::StateError::bad_checkpoint);
                         }
                         return state;
                     });
    }

    [[nodiscard]] const Parameters& parameters() const noexcept { return parameters_; }
    [[nodiscard]] std::optional<std::uint64_t> symbols() const noexcept { return symbols_; }
    [[nodiscard]] StateLock& mutex() const noexcept { return mutex_; }

    // The states, for a caller that holds the lock.
    [[nodiscard]] std::span<State> states() noexcept { return states_; }

    // Copies the caller's `rows` into the universe's own memory and checks the copy:
    // every row in range, then none repeated. The computation indexes the states with
    // the copy only, so a thread that rewrites the caller's array meanwhile makes
    // wrong numbers at worst, never an index that was not checked. For a caller that
    // holds the lock: the copy and the marks are shared by every call.
    [[nodiscard]] std::optional<RowRefusal> take_rows(
        std::span<const std::int64_t> given) noexcept {
        // Rows beyond symbols + 1 are read for their range only: the first symbols + 1
        // in range already hold a repeat.
        const std::size_t kept = std::min(given.size(), taken_.size());
        std::copy_n(given.begin(), kept, taken_.begin());
        for (std::size_t i = 0; i < given.size(); ++i) {
            const std::int64_t row = i < kept ? taken_[i] : given[i];
            if (row < 0 || static_cast<std::uint64_t>(row) >= states_.size()) {
                return RowRefusal{RowRefusal::out_of_range, row};
            }
        }
        ++epoch_;
        for (std::size_t i = 0; i < kept; ++i) {
            std::uint64_t& mark = marks_[static_cast<std::size_t>(taken_[i])];
            if (mark == epoch_) {
                return RowRefusal{RowRefusal::repeated, taken_[i]};
            }
            mark = epoch_;
        }
        return std::nullopt;
    }

    // Copies the caller's `lengths` (one count per symbol, or per entry of rows)
    // into the universe's own memory and checks the copy: no count negative, and
    // their sum the inputs' length. The computation reads the copy only, so a thread
    // that rewrites the caller's array meanwhile cannot make it read past the
    // inputs. For a caller that holds the lock.
    [[nodiscard]] std::optional<LengthRefusal> take_lengths(std::span<const std::int64_t> given,
                                                            std::uint64_t total) noexcept {
        std::copy_n(given.begin(), given.size(), lengths_.begin());
        std::uint64_t sum = 0;
        for (std::size_t i = 0; i < given.size(); ++i) {
            const std::int64_t count = lengths_[i];
            if (count < 0) {
                return LengthRefusal{LengthRefusal::negative, count};
            }
            const auto bars = static_cast<std::uint64_t>(count);
            sum = bars > total - std::min(sum, total) ? total + 1 : sum + bars;
        }
        if (sum != total) {
            return LengthRefusal{LengthRefusal::wrong_sum, 0};
        }
        return std::nullopt;
    }

    // The lengths that take_lengths() accepted, for a caller that holds the lock.
    [[nodiscard]] std::span<const std::int64_t> taken_lengths(std::size_t count) const noexcept {
        return std::span<const std::int64_t>(lengths_).first(count);
    }

    // The rows that take_rows() accepted, for a caller that holds the lock.
    [[nodiscard]] std::span<const std::int64_t> taken_rows(std::size_t count) const noexcept {
        return std::span<const std::int64_t>(taken_).first(count);
    }

  private:
    Universe(const Parameters& parameters, std::optional<std::uint64_t> symbols) noexcept
        : parameters_(parameters), symbols_(symbols) {}

    template <class Make>
    static std::expected<std::unique_ptr<Universe>, MakeFailure> build(
        const Parameters& parameters, std::optional<std::uint64_t> symbols, std::uint64_t count,
        Make&& make_state) noexcept {
        const MakeFailure no_memory{MakeError::memory, core::StateError::out_of_memory};
        // Counts that no address space holds are refused before anything is asked of
        // the allocator, which may then raise rather than return null.
        constexpr std::uint64_t most_states =
            static_cast<std::uint64_t>(std::numeric_limits<std::ptrdiff_t>::max()) /
            (sizeof(State) + sizeof(std::uint64_t) + sizeof(std::int64_t));
        if (count > most_states) {
            return std::unexpected(no_memory);
        }
        std::unique_ptr<Universe> made(new (std::nothrow) Universe(parameters, symbols));
        if (!made) {
            return std::unexpected(no_memory);
        }
        try {
            made->states_.reserve(static_cast<std::size_t>(count));
            if (symbols) {
                made->marks_.assign(static_cast<std::size_t>(count), 0);
                made->taken_.assign(static_cast<std::size_t>(count) + 1, 0);
                made->lengths_.assign(static_cast<std::size_t>(count), 0);
            }
        } catch (const std::bad_alloc&) {
            return std::unexpected(no_memory);
        } catch (const std::length_error&) {
            return std::unexpected(no_memory);
        }
        for (std::uint64_t s = 0; s < count; ++s) {
            auto state = make_state(s);
            if (!state) {
                return std::unexpected(MakeFailure{state.error() == core::StateError::out_of_memory
                                                       ? MakeError::memory
                                                       : MakeError::state,
                                                   state.error()});
            }
            // Within the reserved capacity: no allocation, no exception.
            made->states_.push_back(std::move(*state));
        }
        made->words_per_state_ =
            made->states_.empty() ? 0 : made->states_.front().checkpoint_size();
        return made;
    }

    Parameters parameters_;
    std::optional<std::uint64_t> symbols_;
    std::vector<State> states_;
    // Which call last named each symbol in its rows.
    std::vector<std::uint64_t> marks_;
    // The rows of the call that holds the lock, copied from the caller's array.
    std::vector<std::int64_t> taken_;
    // The counts of the last ragged call.
    std::vector<std::int64_t> lengths_;
    std::uint64_t epoch_ = 0;
    std::size_t words_per_state_ = 0;
    mutable StateLock mutex_;
};

}  // namespace marundex::stream
