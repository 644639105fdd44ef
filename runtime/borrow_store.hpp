// The store behind the borrow registry: which spans of which base objects are
// lent out, and how. It knows nothing of the interpreter, so that it can be
// measured on its own.
#pragma once

#include <array>
#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <mutex>
#include <thread>
#include <vector>

#include "borrow_key.hpp"

namespace marundex::runtime {

// Tells the core that it is waiting in a loop, so that it neither floods the lock's
// cache line with reads nor starves a sibling hardware thread.
inline void relax_while_spinning() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    __asm__ __volatile__("yield" ::: "memory");
#endif
}

// The lock the registry takes twice per input array of every call: uncontended,
// one atomic exchange and one store, with no call into the thread library. The
// holder only scans the records and calls nothing, so a waiter spins briefly and
// then gives up its time slice.
class SpinLock {
  public:
    void lock() noexcept {
        while (locked_.exchange(true, std::memory_order_acquire)) {
            for (int spins = 0; locked_.load(std::memory_order_relaxed); ++spins) {
                if (spins < 100) {
                    relax_while_spinning();
                } else {
                    std::this_thread::yield();
                }
            }
        }
    }

    void unlock() noexcept { locked_.store(false, std::memory_order_release); }

  private:
    std::atomic<bool> locked_{false};
};

// The records are spread over shards, each with its own lock and on cache lines of
// its own. A thread keeps its own read-only borrows in a shard of its own (threads
// are dealt shards in turn), so that a call touches one lock's cache line however
// many inputs it has, and threads working at once neither wait for each other nor
// pass a lock's cache line back and forth, whatever arrays they read. Such a
// borrow is given back with the index it was taken with. Borrows whose taker
// keeps no index (those of other modules, through the table) go to a shard chosen
// by base object and first address, so that the same span of the same base meets
// its count there from any thread.
//
// A read-only borrow conflicts only with writable borrows, but with those of any
// base: views made through an array interface (numpy.lib.stride_tricks.as_strided,
// say) end their base chain at another object than the array whose memory they
// reach. So a count of the writable borrows, granted or being granted, decides:
// while it is 0 a read-only borrow needs only its own shard; otherwise it, like
// every writable borrow, takes every shard's lock, in order, and scans them all.
// A writable borrow is counted before it takes the locks; a reader reads the count
// under its shard's lock, which the writer takes too, so either the reader sees the
// count or the writer sees the reader's record.
template <class Lock, std::size_t shard_count>
class BorrowStore {
    static_assert(std::has_single_bit(shard_count));

  public:
    // The shard of the calling thread's own read-only borrows.
    static std::size_t home_shard() noexcept {
        if constexpr (shard_count == 1) {
            return 0;
        } else {
            static std::atomic<std::size_t> dealt{0};
            // Constant-initialised, so reading it costs no guard; 0 is not yet dealt.
            static thread_local std::size_t ticket = 0;
            if (ticket == 0) {
                ticket = dealt.fetch_add(1, std::memory_order_relaxed) + 1;
            }
            return (ticket - 1) & (shard_count - 1);
        }
    }

    // The shard of a borrow whose taker keeps no index.
    static std::size_t shard_index(const BorrowKey& key) noexcept {
        if constexpr (shard_count == 1) {
            return 0;
        } else {
            // Objects lie at least 16 bytes apart and elements 8, so rows of a
            // float64 array differ in the bits from the third up; the
            // multiplication spreads neighbouring ones over all shards.
            const std::uint64_t mixed =
                ((reinterpret_cast<std::uintptr_t>(key.base) >> 4) ^ (key.span.start >> 3)) *
                0x9E3779B97F4A7C15U;
            return mixed >> (64 - std::countr_zero(shard_count));
        }
    }

    std::int32_t acquire_read(const BorrowKey& key) {
        return acquire_read_in(shard_index(key), key);
    }

    void release_read(const BorrowKey& key) noexcept { release_read_in(shard_index(key), key); }

    // Inlined where a borrow is taken or given back: a call of its own costs a good
    // part of what the steps cost.
    [[gnu::always_inline]] std::int32_t acquire_read_in(std::size_t index, const BorrowKey& key) {
        Shard& shard = shards_[index];
        {
            const std::lock_guard guard(shard.lock);
            if (writable_borrows_.load(std::memory_order_relaxed) == 0) {
                BorrowRecord* same = shard.find(key);
                if (same == nullptr) {
                    shard.records.push_back({key, 1});
                    return borrow_granted;
                }
                return add_reader(*same);
            }
        }
        return acquire_read_among_writers(shard, key);
    }

    std::int32_t acquire_write(const BorrowKey& key) {
        writable_borrows_.fetch_add(1, std::memory_order_relaxed);
        const AllShards guard(shards_);
        for (const Shard& shard : shards_) {
            for (const BorrowRecord& record : shard.records) {
                if (record.key.span == key.span || spans_conflict(key.span, record.key.span)) {
                    writable_borrows_.fetch_sub(1, std::memory_order_relaxed);
                    return already_borrowed;
                }
            }
        }
        shard_of(key).records.push_back({key, writable_count});
        return borrow_granted;
    }

    // A release that matches no borrow of its kind changes nothing.
    [[gnu::always_inline]] void release_read_in(std::size_t index, const BorrowKey& key) noexcept {
        Shard& shard = shards_[index];
        const std::lock_guard guard(shard.lock);
        if (BorrowRecord* record = shard.find(key); record != nullptr && record->count > 0) {
            if (--record->count == 0) {
                shard.remove(record);
            }
        }
    }

    void release_write(const BorrowKey& key) noexcept {
        Shard& shard = shard_of(key);
        const std::lock_guard guard(shard.lock);
        if (BorrowRecord* record = shard.find(key);
            record != nullptr && record->count == writable_count) {
            shard.remove(record);
            writable_borrows_.fetch_sub(1, std::memory_order_relaxed);
        }
    }

  private:
    // A live borrow: a positive count is that many read-only borrows of exactly
    // this span, -1 one writable borrow; no count is ever 0.
    struct BorrowRecord {
        BorrowKey key;
        std::int64_t count;
    };

    static constexpr std::int64_t writable_count = -1;

    // A process holds few live borrows at once, so a scan of a flat array is cheap,
    // and its storage is reused: a borrow in the steady state allocates nothing.
    struct Shard {
        Lock lock;
        std::vector<BorrowRecord> records;
        // The store is allocated by plain new, which aligns to 16 bytes only (an
        // over-aligned type would need the C++17 allocation functions, which
        // manylinux_2_24's libstdc++ lacks): a gap of two cache lines keeps one
        // shard's lock and records off the cache lines of the next one.
        std::array<std::byte, 128> gap{};

        BorrowRecord* find(const BorrowKey& key) noexcept {
            for (BorrowRecord& record : records) {
                if (record.key.base == key.base && record.key.span == key.span) {
                    return &record;
                }
            }
            return nullptr;
        }

        void remove(BorrowRecord* record) noexcept {
            *record = records.back();
            records.pop_back();
        }
    };

    class AllShards {
      public:
        explicit AllShards(std::array<Shard, shard_count>& shards) noexcept : shards_(shards) {
            for (Shard& shard : shards_) {
                shard.lock.lock();
            }
        }
        ~AllShards() {
            for (Shard& shard : shards_) {
                shard.lock.unlock();
            }
        }
        AllShards(const AllShards&) = delete;
        AllShards& operator=(const AllShards&) = delete;
        AllShards(AllShards&&) = delete;
        AllShards& operator=(AllShards&&) = delete;

      private:
        std::array<Shard, shard_count>& shards_;
    };

    static std::int32_t add_reader(BorrowRecord& record) noexcept {
        if (record.count < 0 || record.count == std::numeric_limits<std::int64_t>::max()) {
            return already_borrowed;
        }
        ++record.count;
        return borrow_granted;
    }

    [[gnu::noinline]] std::int32_t acquire_read_among_writers(Shard& own, const BorrowKey& key) {
        const AllShards guard(shards_);
        if (BorrowRecord* same = own.find(key)) {
            return add_reader(*same);
        }
        for (const Shard& shard : shards_) {
            for (const BorrowRecord& record : shard.records) {
                if (record.count < 0 && spans_conflict(key.span, record.key.span)) {
                    return already_borrowed;
                }
            }
        }
        own.records.push_back({key, 1});
        return borrow_granted;
    }

    Shard& shard_of(const BorrowKey& key) noexcept { return shards_[shard_index(key)]; }

    std::array<Shard, shard_count> shards_{};
    std::atomic<std::int64_t> writable_borrows_{0};
};

}  // namespace marundex::runtime
