"""marundex_stream: live bars give the batch functions' bits, for one series and for
universes with rows; preview moves nothing; bad calls write nothing and move
nothing; threads on one object."""

import copy
import pickle
import threading

import numpy as np
import pytest

import cases as refusals
from stream_cases import (CATALOGUE, INDICATORS, batch, feed, feed_made, feed_numbers, inputs_for, random_cuts,
                          stream_type)
from support import PARAMS, check_ok, free_threaded_build, run_python, snapshot

marundex = pytest.importorskip("marundex")
ms = pytest.importorskip("marundex_stream")

PERIODS = {
    "SMA": [(0,), (1,), (2,), (20,), (299,), (300,), (301,), (2**24,)],
    "EMA": [(0,), (1,), (20,), (300,), (301,), (2**64 - 1,)],
    "MACD": [(12, 26, 9), (1, 2, 1), (3, 299, 2), (2, 5, 2**64 - 1), (2, 5, 2**64 - 4)],
    "ATR": [(0,), (1,), (14,), (299,), (300,), (2**64 - 1,)],
    **{name: row.periods for name, row in CATALOGUE.items()},
}
CASES = [(name, p) for name in INDICATORS for p in PERIODS[name]]


def periods_of(name, k):
    """A type's k-th periods, or its last where it has fewer (TRANGE's are none)."""
    return PERIODS[name][min(k, len(PERIODS[name]) - 1)]


def bits(arrays):
    return [a.view(np.uint64).tolist() for a in arrays]


@pytest.mark.parametrize("name, periods", CASES)
@pytest.mark.parametrize("seed", range(3))
def test_any_cutting_gives_the_batch_bits(name, periods, seed):
    rng = np.random.default_rng(seed)
    inputs = inputs_for(name, rng, 300)
    expected = bits(batch(marundex, name, periods, inputs))
    for cuts in ([300], [1] * 300, [0, 150, 0, 150], random_cuts(rng, 300)):
        outs, previews = feed(stream_type(ms, name)(*periods), inputs, cuts)
        assert bits(outs) == expected, cuts
        assert bits(previews) == expected, cuts
    # Bars as numbers, and runs whose outputs the call makes.
    assert bits(feed_numbers(stream_type(ms, name)(*periods), inputs)[0]) == expected
    assert bits(feed_numbers(stream_type(ms, name)(*periods), inputs)[1]) == expected
    assert bits(feed_made(stream_type(ms, name)(*periods), inputs, random_cuts(rng, 300))) == expected


@pytest.mark.parametrize("name", INDICATORS)
def test_universe_with_rows_and_lengths_gives_each_symbol_its_batch_bits(name):
    rng = np.random.default_rng(7)
    periods = periods_of(name, 2)
    symbols, n = 9, 200
    series = [inputs_for(name, rng, n) for _ in range(symbols)]
    universe = stream_type(ms, name)(*periods, symbols=symbols)
    n_out = len(INDICATORS[name][3])
    got = [[[] for _ in range(n_out)] for _ in range(symbols)]
    fed = np.zeros(symbols, dtype=np.int64)
    while fed.min() < n:
        # Now a 2-D block for all symbols, now ragged runs (lengths) for all or some of
        # them, now one bar for some of them; outputs made by the call now and then.
        draw = rng.random()
        if draw < 0.3 and fed.max() == fed.min():
            k = int(min(rng.integers(0, 20), n - fed[0]))
            rows, lengths = None, None
            chosen = range(symbols)
            counts = [k] * symbols
            shape = (symbols, k)
        elif draw < 0.6:
            by_rows = rng.random() < 0.5
            chosen = [s for s in rng.permutation(symbols) if rng.random() < 0.6] if by_rows else range(symbols)
            rows = np.array(chosen, dtype=np.int64) if by_rows else None
            counts = [int(min(rng.integers(0, 6), n - fed[s])) for s in chosen]
            lengths = np.array(counts, dtype=np.int64)
            shape = (sum(counts),)
        else:
            chosen = [s for s in rng.permutation(symbols) if fed[s] < n and rng.random() < 0.6]
            rows, lengths = np.array(chosen, dtype=np.int64), None
            counts = [1] * len(chosen)
            shape = (len(chosen),)
        ins = [
            np.array([x for s, k in zip(chosen, counts) for x in series[s][i][fed[s] : fed[s] + k]],
                     dtype=np.float64).reshape(shape)
            for i in range(len(series[0]))
        ]
        extra = {} if lengths is None else {"lengths": lengths}
        if rng.random() < 0.5:
            outs = [np.empty(shape) for _ in range(n_out)]
            assert universe.update(*ins, *outs, rows=rows, **extra) is None
        else:
            made = universe.update(*ins, rows=rows, **extra)
            outs = [made] if n_out == 1 else list(made)
            assert all(o.shape == shape for o in outs)
        flat = [o.reshape(-1).tolist() for o in outs]
        start = 0
        for s, k in zip(chosen, counts):
            for o in range(n_out):
                got[s][o].extend(flat[o][start : start + k])
            start += k
            fed[s] += k
    assert universe.bars.tolist() == [n] * symbols
    for s in range(symbols):
        expected = bits(batch(marundex, name, periods, series[s]))
        assert bits([np.array(g, dtype=np.float64) for g in got[s]]) == expected, s


@pytest.mark.parametrize("name", INDICATORS)
def test_copies_continue_as_the_original(name):
    rng = np.random.default_rng(3)
    periods = periods_of(name, 2)
    inputs = inputs_for(name, rng, 120)
    state = stream_type(ms, name)(*periods)
    feed(state, [x[:70] for x in inputs], [70], use_preview=False)
    tail = [x[70:] for x in inputs]
    twins = [state.copy(), copy.copy(state), copy.deepcopy(state), pickle.loads(pickle.dumps(state))]
    expected = bits(feed(state, tail, [50], use_preview=False)[0])
    for twin in twins:
        assert bits(feed(twin, tail, [25, 25], use_preview=False)[0]) == expected


def bad_calls():
    z = np.zeros
    cases = [
        (lambda: ms.EMA(3), lambda s, o: s.update(z(3), z(4)), ValueError, "All arrays must have the same shape"),
        (lambda: ms.EMA(3), lambda s, o: s.update(z(3)[::-1], o), ValueError, "Input array must be C-contiguous"),
        (lambda: ms.EMA(3), lambda s, o: s.update(z(3), o, np.array([0])), ValueError, "One series takes no rows"),
        (lambda: ms.EMA(3), lambda s, o: s.update(z((3, 1)), o), TypeError,
         "argument 'data': 'ndarray' object cannot be converted to 'PyArray<T, D>'"),
        (lambda: ms.EMA(3), lambda s, o: s.update(z(3, dtype=np.float32), o), TypeError,
         "argument 'data': 'ndarray' object cannot be converted to 'PyArray<T, D>'"),
        (lambda: ms.EMA(3), lambda s, o: s.update([0.0, 1.0, 2.0], o), TypeError,
         "argument 'data': 'list' object cannot be converted to 'PyArray<T, D>'"),
        (lambda: ms.EMA(3), lambda s, o: s.update(o, o), ValueError,
         "Output array must not share memory with the input array"),
        (lambda: ms.MACD(2, 3, 2), lambda s, o: s.update(z(3), o, o, z(3)), ValueError,
         "MACD output array must not share memory with the signal output array"),
        (lambda: ms.ATR(2), lambda s, o: s.update(z(3), z(4), z(3), o), ValueError,
         "All arrays must have the same shape"),
        (lambda: ms.EMA(3, symbols=3), lambda s, o: s.update(z(2), z(2)), ValueError,
         "Arrays must have 3 rows, one per symbol, not 2"),
        (lambda: ms.EMA(3, symbols=3), lambda s, o: s.update(z(3), o, np.array([0, 1])), ValueError,
         "Arrays must have 2 rows, one per entry of rows, not 3"),
        (lambda: ms.EMA(3, symbols=3), lambda s, o: s.update(z(2), z(2), np.array([0, 1, 2])), ValueError,
         "Arrays must have 3 rows, one per entry of rows, not 2"),
        (lambda: ms.EMA(3, symbols=3), lambda s, o: s.update(z(3), o, np.array([0, 3, 1])), ValueError,
         "Row index 3 is out of range for 3 symbols"),
        (lambda: ms.EMA(3, symbols=3), lambda s, o: s.update(z(3), o, np.array([0, -1, 1])), ValueError,
         "Row index -1 is out of range for 3 symbols"),
        (lambda: ms.EMA(3, symbols=3), lambda s, o: s.update(z(3), o, np.array([2, 0, 2])), ValueError,
         "Row index 2 appears more than once in rows"),
        (lambda: ms.EMA(3, symbols=3), lambda s, o: s.update(z(3), o, np.array([0.0, 1.0, 2.0])), TypeError,
         "argument 'rows': 'ndarray' object cannot be converted to 'PyArray<T, D>'"),
        (lambda: ms.EMA(3, symbols=3), lambda s, o: s.update(z((3, 2, 1)), o), TypeError,
         "argument 'data': 'ndarray' object cannot be converted to 'PyArray<T, D>'"),
        (lambda: ms.ATR(2), lambda s, o: s.update(1.0, z(1), 1.0), TypeError, "Inputs must be all numbers or all arrays"),
        (lambda: ms.EMA(3), lambda s, o: s.update(1.0, o), TypeError, "A bar given as numbers takes no output arrays"),
        (lambda: ms.EMA(3), lambda s, o: s.update(1, rows=np.array([0])), ValueError, "One series takes no rows"),
        (lambda: ms.EMA(3), lambda s, o: s.update(10**400), OverflowError, "int too large to convert to float"),
        (lambda: ms.MACD(2, 3, 2), lambda s, o: s.update(z(3), o, o), ValueError, "Give every output array or none"),
        (lambda: ms.EMA(3), lambda s, o: s.update(z(3), o, lengths=np.array([3])), ValueError,
         "One series takes no lengths"),
        (lambda: ms.EMA(3, symbols=2), lambda s, o: s.update(z(3), o, lengths=np.array([4, -1])), ValueError,
         "Length -1 is negative"),
        (lambda: ms.EMA(3, symbols=2), lambda s, o: s.update(z(3), o, lengths=np.array([2, 2])), ValueError,
         "Lengths must sum to 3, the length of the arrays"),
        (lambda: ms.EMA(3, symbols=2), lambda s, o: s.update(z(3), o, lengths=np.array([3])), ValueError,
         "Lengths must have 2 entries, one per symbol, not 1"),
        # Counts whose sum wraps around to the length of the arrays.
        (lambda: ms.EMA(3, symbols=4), lambda s, o: s.update(z(0), z(0), lengths=np.array([2**62] * 4)), ValueError,
         "Lengths must sum to 0, the length of the arrays"),
        (lambda: ms.EMA(3, symbols=3), lambda s, o: s.update(z(3), o, np.array([0]), lengths=np.array([1, 2])),
         ValueError, "Lengths must have 1 entries, one per entry of rows, not 2"),
        (lambda: ms.EMA(3, symbols=3), lambda s, o: s.update(z((3, 1)), z((3, 1)), lengths=np.array([1, 1, 1])),
         ValueError, "Arrays must be one-dimensional with lengths"),
        (lambda: ms.EMA(3, symbols=3), lambda s, o: s.update(z(3), o, lengths=np.array([1.0, 1.0, 1.0])), TypeError,
         "argument 'lengths': 'ndarray' object cannot be converted to 'PyArray<T, D>'"),
    ]
    return cases


@pytest.mark.parametrize("make, call, error, message", bad_calls())
def test_bad_calls_write_nothing_and_move_nothing(make, call, error, message):
    state = make()
    warm = state.copy()
    out = np.full(3, 7.0)
    with pytest.raises(error) as raised:
        call(state, out)
    assert str(raised.value) == message
    assert out.tolist() == [7.0, 7.0, 7.0]
    assert np.array_equal(state.bars, warm.bars) and np.all(np.asarray(state.bars) == 0)


@pytest.mark.parametrize(
    "make, error, message",
    [
        (lambda: ms.SMA(2**24 + 1), ValueError, "Period must be at most 16777216"),
        (lambda: ms.MACD(1, 2**24 + 1, 1), ValueError, "Slow period must be at most 16777216"),
        (lambda: ms.MACD(0, 3, 1), ValueError, "Periods must be greater than 0"),
        (lambda: ms.MACD(3, 3, 1), ValueError, "Fast period must be less than slow period"),
        (lambda: ms.EMA(3, symbols=2**62), MemoryError, "Not enough memory for the states"),
        (lambda: ms.EMA(), TypeError, "EMA() missing 1 required positional argument: 'period'"),
    ],
)
def test_refused_states(make, error, message):
    with pytest.raises(error) as raised:
        make()
    assert str(raised.value) == message


# The batch functions' refusals that come through a length protocol, which the
# stream types never call, and those of a missing output array, which a stream call
# makes: their calls are valid ones there.
THROUGH_LENGTH = {"macd-length-protocol-fails", "macd-reshaped-output"}
MADE_OUTPUT = {case_id for case_id in refusals.CASES if case_id.endswith("-missing")}


@pytest.mark.parametrize("case_id", sorted(set(refusals.CASES) - THROUGH_LENGTH - MADE_OUTPUT))
@pytest.mark.parametrize("method", ["update", "preview"])
@pytest.mark.parametrize("symbols", [None, 8])
def test_the_batch_refusals_refuse_a_stream_call_and_move_nothing(case_id, method, symbols):
    """Each bad argument of the batch functions' table, given to the stream type: a
    series refuses it with the batch's exception class, a universe of 8 symbols
    (where a 2-D array is an array of another shape) with some exception; neither
    writes an output or moves a state."""
    call = refusals.CASES[case_id]()
    name = call.name.removeprefix("indicator_").upper()
    params = PARAMS[call.name]
    periods = params[: INDICATORS[name][1]]
    given = dict(zip(params, call.args)) | call.kwargs
    try:
        state = stream_type(ms, name)(*(given[p] for p in periods), symbols=symbols)
    except Exception as raised:  # a bad period: refused where the stream type takes it
        assert type(raised) is call.exc_type
        return
    before = [snapshot(a) for a in call.outputs]
    arguments = call.args[len(periods) :]
    keywords = {k: v for k, v in call.kwargs.items() if k not in periods}
    with pytest.raises(call.exc_type if symbols is None else Exception):
        getattr(state, method)(*arguments, **keywords)
    assert [snapshot(a) for a in call.outputs] == before
    assert np.all(np.asarray(state.bars) == 0)


def test_threads_on_one_universe_get_their_own_bits():
    rng = np.random.default_rng(11)
    symbols, n, threads = 8, 400, 4
    data = np.array([np.cumsum(rng.normal(size=n)) for _ in range(symbols)])
    universe = ms.MACD(12, 26, 9, symbols=symbols)
    got = np.zeros((3, symbols, n))
    barrier = threading.Barrier(threads)

    def worker(t):
        mine = np.arange(t, symbols, threads, dtype=np.int64)
        barrier.wait()
        for i in range(n):
            outs = [np.empty(len(mine)) for _ in range(3)]
            universe.update(np.ascontiguousarray(data[mine, i]), *outs, rows=mine)
            for o in range(3):
                got[o, mine, i] = outs[o]

    workers = [threading.Thread(target=worker, args=(t,)) for t in range(threads)]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    for s in range(symbols):
        assert bits(list(got[:, s])) == bits(batch(marundex, "MACD", (12, 26, 9), [data[s]]))


def test_threads_on_one_series_are_serialized():
    # Each thread updates one bar at a time; whatever the order, every bar is taken
    # once, and the state ends where one thread feeding all of them would.
    state = ms.SMA(5)
    bar = np.ones(1)
    threads = [threading.Thread(target=lambda: [state.update(bar, np.empty(1)) for _ in range(2000)])
               for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert state.bars == 8000
    out = np.empty(1)
    state.update(np.array([6.0]), out)
    assert out[0] == 2.0


def test_a_tick_in_which_no_symbol_traded():
    universe = ms.EMA(3, symbols=4)
    universe.update(np.zeros((0, 3)), np.zeros((0, 3)), rows=np.array([], dtype=np.int64))
    assert universe.bars.tolist() == [0, 0, 0, 0]


def test_rows_rewritten_by_another_thread_during_a_call_never_index_outside_the_states():
    """The rows are read once into the universe's own memory, checked there, and
    only that copy indexes the states: the race makes a refusal or wrong numbers,
    never a crash."""
    proc = run_python("""
        import threading
        import numpy as np
        import marundex_stream

        symbols = 2000
        universe = marundex_stream.SMA(5, symbols=symbols)
        rows = np.arange(symbols, dtype=np.int64)
        data, out = np.ones((symbols, 50)), np.empty((symbols, 50))
        stop = threading.Event()

        def rewrite():
            while not stop.is_set():
                rows[0] = 1 << 40
                rows[0] = 0

        writer = threading.Thread(target=rewrite)
        writer.start()
        try:
            for _ in range(400):
                try:
                    universe.update(data, out, rows=rows)
                except ValueError as refused:
                    assert str(refused) == f"Row index {1 << 40} is out of range for {symbols} symbols"
        finally:
            stop.set()
            writer.join()
        print("OK")
    """)
    check_ok(proc)


@pytest.mark.skipif(not free_threaded_build(), reason="only a free-threaded build runs without the lock")
def test_importing_the_module_alone_leaves_the_lock_off():
    proc = run_python("""
        import sys
        import marundex_stream
        print(sys._is_gil_enabled())
        print("OK")
    """)
    check_ok(proc)
    assert proc.stdout.split()[0] == "False"


def checkpoint_of(state):
    restore, (words,) = state.__reduce__()
    assert restore is ms._restore
    return words


@pytest.mark.parametrize("name", INDICATORS)
def test_altered_or_truncated_checkpoints_are_refused(name):
    rng = np.random.default_rng(5)
    state = stream_type(ms, name)(*periods_of(name, 1), symbols=2)
    inputs = [np.ascontiguousarray(np.vstack([x, x[::-1]])) for x in inputs_for(name, rng, 6)]
    state.update(*inputs, *[np.empty((2, 6)) for _ in INDICATORS[name][3]])
    words = checkpoint_of(state)
    assert ms._restore(words).bars.tolist() == [6, 6]
    for at in range(len(words)):
        for flip in (0x01, 0x80):
            altered = bytearray(words)
            altered[at] ^= flip
            with pytest.raises(ValueError):
                ms._restore(bytes(altered))
    for length in range(len(words)):
        with pytest.raises(ValueError):
            ms._restore(words[:length])


def test_a_checkpoint_of_another_layout_names_it():
    words = bytearray(checkpoint_of(ms.EMA(3)))
    words[8] = 3
    with pytest.raises(ValueError) as raised:
        ms._restore(bytes(words))
    assert str(raised.value) == "A checkpoint of layout 3, which this marundex_stream, of layout 2, does not read"


def test_a_checkpoint_continues_in_another_process():
    x = np.cumsum(np.random.default_rng(9).normal(size=200))
    proc = run_python(f"""
        import pickle, sys
        import numpy as np
        import marundex_stream
        state = marundex_stream.MACD(12, 26, 9)
        x = np.array({x[:150].tolist()!r})
        state.update(x, np.empty(150), np.empty(150), np.empty(150))
        print(pickle.dumps(state).hex())
        print("OK")
    """)
    check_ok(proc)
    state = pickle.loads(bytes.fromhex(proc.stdout.split()[0]))
    outs = [np.empty(50) for _ in range(3)]
    state.update(np.ascontiguousarray(x[150:]), *outs)
    expected = batch(marundex, "MACD", (12, 26, 9), [x])
    assert bits(outs) == bits([e[150:] for e in expected])
