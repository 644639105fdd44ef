// What the borrow registry's store costs as threads grow, with no interpreter in
// the way: each thread makes "calls" of one indicator, taking and giving back a
// read-only borrow of each input as an entry point does, and nothing else. So the
// time is the store's alone, and the slow-down with threads is its contention.
//
//   marundex_registry_contention [--calls N] [--repeats R] [--inputs K] [--threads T]
//
// Five stores side by side, in one run: one spin-locked array ("spin x1", the
// registry's first store), the same with the sleeping lock ("sleep x1"), sixteen
// shards with the spin lock and borrows placed by key ("spin x16k", the store
// before threads kept shards of their own), the same with borrows in the thread's
// own shard ("spin x16", the registry's store) and that with the sleeping lock
// ("sleep x16"). Workloads: every thread with
// arrays of its own; every thread with rows of its own of arrays all threads share
// (a pool over the symbols of one 2-D array of a market); all threads on the same
// arrays. Prints, per store, workload and thread count, the median over the
// repeats of the wall time per call of one thread and the spread (lowest-highest),
// and the throughput of all threads.
#include <algorithm>
#include <atomic>
#include <barrier>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "borrow_store.hpp"
#include "sleeping_lock.hpp"

namespace {

using marundex::runtime::BorrowKey;
using marundex::runtime::BorrowStore;
using marundex::runtime::SleepingLock;
using marundex::runtime::SpinLock;

struct Options {
    long calls = 200000;
    int repeats = 5;
    int inputs = 1;
    int threads = 32;  // the most threads measured
};

constexpr int max_threads = 32;
constexpr int row_length = 16;

// A contiguous float64 array of `length` elements at `memory`, owned by `base`.
BorrowKey key_of(const void* base, const double* memory, int length = row_length) {
    const auto data = reinterpret_cast<std::uintptr_t>(memory);
    return {base, {data, data + static_cast<std::uintptr_t>(length) * sizeof(double), data, 8, 8}};
}

// Arrays as a process has them: separate heap objects with their memory apart.
struct Arrays {
    std::vector<std::unique_ptr<double[]>> memory;
    std::vector<BorrowKey> keys;

    explicit Arrays(int count, int rows = 1) {
        for (int i = 0; i < count; ++i) {
            memory.push_back(
                std::make_unique<double[]>(static_cast<std::size_t>(rows * row_length)));
            keys.push_back(key_of(memory.back().get(), memory.back().get(), rows * row_length));
        }
    }
};

enum class Workload { own, rows, shared };

const char* name_of(Workload workload) {
    switch (workload) {
        case Workload::own:
            return "own";
        case Workload::rows:
            return "rows";
        case Workload::shared:
            return "shared";
    }
    return "";
}

// Row `row` of each of `table`'s arrays.
std::vector<BorrowKey> rows_of(const Arrays& table, int row) {
    std::vector<BorrowKey> keys;
    for (const auto& memory : table.memory) {
        keys.push_back(key_of(memory.get(), memory.get() + row * row_length));
    }
    return keys;
}

// Where a thread's borrows go: to the shard of each key, as the capsule's table
// places them, or to the thread's own shard, as the entry points do.
enum class Placement { by_key, by_thread };

template <class Store>
std::int32_t acquire(Store& store, Placement placement, std::size_t home, const BorrowKey& key) {
    return placement == Placement::by_key ? store.acquire_read(key)
                                          : store.acquire_read_in(home, key);
}

template <class Store>
void release(Store& store, Placement placement, std::size_t home, const BorrowKey& key) {
    if (placement == Placement::by_key) {
        store.release_read(key);
    } else {
        store.release_read_in(home, key);
    }
}

template <class Store>
double run_once(Store& store, Placement placement, int threads, Workload workload,
                const Options& options) {
    const Arrays common(options.inputs);
    const Arrays table(options.inputs, max_threads);
    std::vector<std::unique_ptr<Arrays>> own;
    std::vector<std::vector<BorrowKey>> keys_of_thread;
    for (int t = 0; t < threads; ++t) {
        own.push_back(std::make_unique<Arrays>(options.inputs));
        switch (workload) {
            case Workload::own:
                keys_of_thread.push_back(own.back()->keys);
                break;
            case Workload::rows:
                keys_of_thread.push_back(rows_of(table, t));
                break;
            case Workload::shared:
                keys_of_thread.push_back(common.keys);
                break;
        }
    }
    std::barrier start(threads + 1);
    std::atomic<int> refused{0};
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t) {
        const std::vector<BorrowKey>& keys = keys_of_thread[static_cast<std::size_t>(t)];
        pool.emplace_back([&store, placement, &keys, &start, &refused, &options] {
            const std::size_t home = Store::home_shard();
            start.arrive_and_wait();
            // Counted apart and added once: a shared counter would be a contended
            // cache line of the benchmark's own.
            int refused_here = 0;
            for (long call = 0; call < options.calls; ++call) {
                for (const BorrowKey& key : keys) {
                    refused_here += acquire(store, placement, home, key) != 0;
                }
                for (const BorrowKey& key : keys) {
                    release(store, placement, home, key);
                }
            }
            refused.fetch_add(refused_here, std::memory_order_relaxed);
        });
    }
    // The clock starts before the threads are let go: were the main thread to lose
    // its core at the barrier, they could be done before it looked.
    const auto begin = std::chrono::steady_clock::now();
    start.arrive_and_wait();
    for (std::thread& thread : pool) {
        thread.join();
    }
    const auto end = std::chrono::steady_clock::now();
    if (refused.load() != 0) {
        std::fprintf(stderr, "a read-only borrow was refused\n");
        std::exit(1);
    }
    return std::chrono::duration<double, std::nano>(end - begin).count() /
           static_cast<double>(options.calls);
}

template <class Store>
void measure(const char* name, Placement placement, const Options& options) {
    for (const Workload workload : {Workload::own, Workload::rows, Workload::shared}) {
        for (const int threads : {1, 2, 4, 8, 16, max_threads}) {
            if (threads > options.threads) {
                break;
            }
            auto store = std::make_unique<Store>();
            std::vector<double> times;
            for (int r = 0; r < options.repeats; ++r) {
                times.push_back(run_once(*store, placement, threads, workload, options));
            }
            std::sort(times.begin(), times.end());
            const double median = times[times.size() / 2];
            std::printf("%-10s %-7s %3d  %9.1f  %9.1f-%-9.1f %9.2f\n", name, name_of(workload),
                        threads, median, times.front(), times.back(), threads * 1e3 / median);
            std::fflush(stdout);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string flag = argv[i];
        const long value = std::strtol(argv[i + 1], nullptr, 10);
        if (flag == "--calls") {
            options.calls = value;
        } else if (flag == "--repeats") {
            options.repeats = static_cast<int>(value);
        } else if (flag == "--inputs") {
            options.inputs = static_cast<int>(value);
        } else if (flag == "--threads") {
            options.threads = static_cast<int>(value);
        } else {
            std::fprintf(stderr, "unknown flag %s\n", argv[i]);
            return 2;
        }
    }
    std::printf("%d input(s) a call, %ld calls a thread, median of %d; %u hardware threads\n",
                options.inputs, options.calls, options.repeats,
                std::thread::hardware_concurrency());
    std::printf("%-10s %-7s %3s  %9s  %-19s %9s\n", "store", "arrays", "thr", "ns/call",
                "spread (ns/call)", "Mcalls/s");
    measure<BorrowStore<SpinLock, 1>>("spin x1", Placement::by_key, options);
    measure<BorrowStore<SleepingLock, 1>>("sleep x1", Placement::by_key, options);
    measure<BorrowStore<SpinLock, 16>>("spin x16k", Placement::by_key, options);
    measure<BorrowStore<SpinLock, 16>>("spin x16", Placement::by_thread, options);
    measure<BorrowStore<SleepingLock, 16>>("sleep x16", Placement::by_thread, options);
}
