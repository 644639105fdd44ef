"""One seeded corpus, the same on every platform, reduced to a digest per function.

The corpus is made from a SplitMix64 stream and plain float arithmetic, so it is
the same bits on every interpreter and CPU. Every output array is canonicalised
before it is hashed: each NaN becomes 0x7ff8000000000000 and every other value
keeps its bits. Equal digests therefore mean that every non-NaN output is the
same bits and every NaN sits at the same position; the sign and payload of a NaN
that the arithmetic produced may differ between CPUs and compilers.

The stored digests (identity_digests.json) come from the plain-Python reference,
never from marundex:

    python tests/python/identity.py --write     recompute them from reference.py
    python tests/python/identity.py             compare marundex with them and
                                                print the NaN patterns it stored
"""

import collections
import hashlib
import json
import pathlib
import struct
import sys
import zlib

import numpy as np

from stream_cases import CATALOGUE, stream_type

HERE = pathlib.Path(__file__).resolve().parent
DIGESTS = HERE / "identity_digests.json"
FUNCTIONS = ("sma", "ema", "macd", "atr")
# The catalogue's stream types, whose batch is one update on a new object.
STREAM_TYPES = {name.lower(): row for name, row in CATALOGUE.items()}
DIGESTED = FUNCTIONS + tuple(STREAM_TYPES)
CANONICAL_NAN = 0x7FF8000000000000
MASK64 = (1 << 64) - 1
HUGE_PERIODS = (2**32 + 1, 2**63, 2**64 - 1)
# The longest window a state keeps: a windowed type refuses a longer period.
MAX_WINDOW = 2**24
LENGTHS = (0, 1, 2, 3, 5, 16, 33, 64, 257, 1000)


def _bits(b):
    return struct.unpack("<d", struct.pack("<Q", b))[0]


SPECIALS = (
    float("nan"),
    _bits(0xFFF8000000000000),  # negative quiet NaN
    _bits(0x7FF8000000000001),  # quiet NaN with a payload
    _bits(0x7FF0000000000001),  # signalling NaN
    float("inf"),
    float("-inf"),
    0.0,
    -0.0,
    5e-324,
    -5e-324,
    _bits(0x000FFFFFFFFFFFFF),  # the largest subnormal
    2.2250738585072014e-308,
    1.7976931348623157e308,
    -1.7976931348623157e308,
)


class SplitMix64:
    def __init__(self, seed):
        self.state = seed & MASK64

    def next(self):
        self.state = (self.state + 0x9E3779B97F4A7C15) & MASK64
        z = self.state
        z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & MASK64
        z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & MASK64
        return z ^ (z >> 31)

    def below(self, bound):
        return self.next() % bound

    def unit(self):
        """A float in [0, 1) from the top 53 bits."""
        return (self.next() >> 11) * 2.0**-53


def _series(rng, kind, n):
    """n values of one kind: price-like walks, with rare or dense specials, or at
    the edges of the range (overflowing sums, subnormal steps)."""
    out, x = [], 100.0
    for _ in range(n):
        x = x + (rng.unit() - 0.5)
        if kind == "walk":
            v = x
        elif kind == "sparse":
            v = SPECIALS[rng.below(len(SPECIALS))] if rng.below(20) == 0 else x
        elif kind == "dense":
            v = SPECIALS[rng.below(len(SPECIALS))] if rng.below(2) == 0 else x
        elif kind == "huge":
            v = (rng.unit() * 2.0 - 1.0) * 1.7976931348623157e308
        elif kind == "tiny":
            v = float(rng.below(64) - 32) * 5e-324
        else:  # "zeros": signed zeros among small integers
            v = (0.0, -0.0, 1.0, -1.0)[rng.below(4)]
        out.append(v)
    return out


KINDS = ("walk", "sparse", "dense", "huge", "tiny", "zeros")


def _periods(rng, n):
    """Every class of period: 0, 1, small, around n, random, and past 2**32."""
    chosen = {0, 1, 2, 3, max(n - 1, 0), n, n + 1, 1 + rng.below(n + 1)}
    return sorted(chosen) + [HUGE_PERIODS[rng.below(len(HUGE_PERIODS))]]


def _macd_periods(rng, n):
    """Valid (fast, slow, signal) triples: fast below slow, all above 0."""
    triples = [(1, 2, 1), (2, 3, 2), (12, 26, 9), (3, 5, 2**64 - 1), (1, n + 2, 1)]
    slow = 2 + rng.below(max(n, 1))
    triples.append((1 + rng.below(slow - 1), slow, 1 + rng.below(n + 2)))
    return triples


def cases():
    """(function, periods, arrays) in a fixed order; arrays are lists of floats."""
    rng = SplitMix64(20261208)
    for kind in KINDS:
        for n in LENGTHS:
            data = _series(rng, kind, n)
            for period in _periods(rng, n):
                yield "sma", (period,), (data,)
                yield "ema", (period,), (data,)
            for triple in _macd_periods(rng, n):
                yield "macd", triple, (data,)
            mid = _series(rng, kind, n)
            spread = _series(rng, "walk", n)
            high = [m + abs(s - 100.0) for m, s in zip(mid, spread)]
            low = [m - abs(s - 100.0) for m, s in zip(mid, spread)]
            for period in _periods(rng, n):
                yield "atr", (period,), (high, low, data)
    # Each type's cases from a stream of its own, so that a new type leaves the others'
    # as they were; RSI's, the first, is 20261210.
    for name, row in STREAM_TYPES.items():
        if row.inputs != ("data",):
            continue
        rng = SplitMix64(20261210 + zlib.crc32(name.encode()) - zlib.crc32(b"rsi"))
        for kind in KINDS:
            for n in LENGTHS:
                data = _series(rng, kind, n)
                if name == "macd_talib":
                    for triple in _macd_periods(rng, n):
                        yield name, triple, (data,)
                    continue
                for period in _periods(rng, n):
                    if not (row.windowed and period > MAX_WINDOW):
                        yield name, tuple(max(period, least) for least in row.parameters.values()), (data,)
    # The types of high, low and close: bars as ATR's, on a stream of their own too,
    # and each type's periods on a stream of its own, so that a new type leaves the
    # others' cases as they were.
    rng = SplitMix64(20261211)
    period_rngs = {name: SplitMix64(int.from_bytes(name.encode(), "little")) for name in STREAM_TYPES}
    for kind in KINDS:
        for n in LENGTHS:
            close = _series(rng, kind, n)
            spread = _series(rng, "walk", n)
            high = [c + abs(s - 100.0) for c, s in zip(close, spread)]
            low = [c - abs(s - 100.0) for c, s in zip(close, spread)]
            for name, row in STREAM_TYPES.items():
                if row.inputs != ("high", "low", "close"):
                    continue
                if not row.parameters:
                    yield name, (), (high, low, close)
                    continue
                for period in _periods(period_rngs[name], n):
                    # A type that keeps a window refuses a longer period than the longest,
                    # and a period of that length would only fill memory with zeros: the
                    # stream tests take it. The others take the longest for any longer.
                    if row.windowed and period > MAX_WINDOW:
                        continue
                    period = min(period, MAX_WINDOW)
                    # A type's later periods, its means', are short: 1 to 5.
                    chosen = [period] + [1 + period % 5] * (len(row.parameters) - 1)
                    yield name, tuple(max(p, least) for p, least in zip(chosen, row.parameters.values())), (high, low, close)
    # The types of high and low alone: each side a series of its own kind, so that
    # their bad values fall apart, on a stream of their own; periods as the types of
    # high, low and close take them.
    rng = SplitMix64(20261214)
    for kind in KINDS:
        for n in LENGTHS:
            high = _series(rng, kind, n)
            low = _series(rng, kind, n)
            for name, row in STREAM_TYPES.items():
                if row.inputs != ("high", "low"):
                    continue
                if not row.parameters:
                    for periods in row.periods:
                        yield name, periods, (high, low)
                    continue
                for period in _periods(period_rngs[name], n):
                    if row.windowed and period > MAX_WINDOW:
                        continue
                    period = min(period, MAX_WINDOW)
                    chosen = [period] + [1 + period % 5] * (len(row.parameters) - 1)
                    yield name, tuple(max(p, least) for p, least in zip(chosen, row.parameters.values())), (high, low)
    # The types of close and volume, on a stream of their own: volumes of every kind
    # of series, negative and bad ones too.
    rng = SplitMix64(20261212)
    for kind in KINDS:
        for n in LENGTHS:
            close = _series(rng, kind, n)
            volume = _series(rng, kind, n)
            for name, row in STREAM_TYPES.items():
                if row.inputs == ("close", "volume"):
                    yield name, (), (close, volume)
    # The types of high, low, close and volume: bars as above, a volume of the same
    # kind as the close, on a stream of their own.
    rng = SplitMix64(20261213)
    for kind in KINDS:
        for n in LENGTHS:
            close = _series(rng, kind, n)
            spread = _series(rng, "walk", n)
            volume = _series(rng, kind, n)
            high = [c + abs(s - 100.0) for c, s in zip(close, spread)]
            low = [c - abs(s - 100.0) for c, s in zip(close, spread)]
            for name, row in STREAM_TYPES.items():
                if row.inputs != ("high", "low", "close", "volume"):
                    continue
                for period in _periods(period_rngs[name], n):
                    if row.windowed and period > MAX_WINDOW:
                        continue
                    yield name, tuple(max(period, least) for least in row.parameters.values()), (high, low, close, volume)


class Digests:
    def __init__(self):
        self.hashes = {name: hashlib.sha256() for name in DIGESTED}
        self.nan_patterns = collections.Counter()
        self.outputs = 0

    def add(self, name, periods, outputs):
        h = self.hashes[name]
        h.update(repr(periods).encode())
        for out in outputs:
            bits = np.ascontiguousarray(out, dtype=np.float64).view(np.uint64).copy()
            nan = np.isnan(bits.view(np.float64))
            self.nan_patterns.update(int(b) for b in bits[nan])
            bits[nan] = CANONICAL_NAN
            h.update(len(bits).to_bytes(8, "little"))
            h.update(bits.astype("<u8").tobytes())
            self.outputs += len(bits)

    def result(self):
        return {"outputs": self.outputs, **{name: h.hexdigest() for name, h in self.hashes.items()}}


def _computed(marundex, name, periods, inputs):
    n = len(inputs[0])
    if name in STREAM_TYPES:
        import marundex_stream

        outputs = [np.empty(n) for _ in STREAM_TYPES[name].outputs]
        stream_type(marundex_stream, name.upper())(*periods).update(*inputs, *outputs)
        return outputs
    outputs = [np.empty(n) for _ in range(3 if name == "macd" else 1)]
    getattr(marundex, "indicator_" + name)(*periods, *inputs, *outputs)
    return outputs


def _expected(reference, name, periods, arrays):
    result = getattr(reference, name)(*periods, *arrays)
    several = isinstance(result, tuple) or (name in STREAM_TYPES and len(STREAM_TYPES[name].outputs) > 1)
    return result if several else [result]


def run_marundex(marundex, only=None):
    digests = Digests()
    for name, periods, arrays in cases():
        if only is not None and name != only:
            continue
        inputs = [np.array(a, dtype=np.float64) for a in arrays]
        digests.add(name, periods, _computed(marundex, name, periods, inputs))
    return digests


def run_reference(only=None):
    import reference

    digests = Digests()
    for name, periods, arrays in cases():
        if only is not None and name != only:
            continue
        digests.add(name, periods, _expected(reference, name, periods, arrays))
    return digests


def first_difference(marundex, name):
    """The first case of `name` whose outputs differ from the reference's, for a
    failure's message."""
    import reference
    from support import array_bits, mismatches

    for fn, periods, arrays in cases():
        if fn != name:
            continue
        inputs = [np.array(a, dtype=np.float64) for a in arrays]
        outputs = _computed(marundex, name, periods, inputs)
        for k, (got, want) in enumerate(zip(outputs, _expected(reference, name, periods, arrays))):
            bad = mismatches(array_bits(got), want)
            if bad:
                return f"periods {periods}, n = {len(inputs[0])}, output {k}: first mismatches {bad[:3]}"
    return "no case differs on its own"


def stored():
    return json.loads(DIGESTS.read_text())


def nan_summary(patterns):
    return ", ".join(f"{bits:#018x} × {count:,}" for bits, count in sorted(patterns.items()))


def main(argv):
    if argv == ["--write"]:
        DIGESTS.write_text(json.dumps(run_reference().result(), indent=2) + "\n")
        print(f"wrote {DIGESTS}")
        return 0
    import marundex

    digests = run_marundex(marundex)
    got, want = digests.result(), stored()
    bad = [name for name in ("outputs", *DIGESTED) if got[name] != want[name]]
    verdict = "identical to the reference" if not bad else "DIFFERENT in " + ", ".join(bad)
    print(f"identity: {digests.outputs:,} outputs {verdict}; NaN stored: {nan_summary(digests.nan_patterns)}")
    return 1 if bad else 0


if __name__ == "__main__":
    sys.path.insert(0, str(HERE))
    sys.exit(main(sys.argv[1:]))
