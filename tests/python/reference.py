"""Slow, plain-Python statements of the marundex kernels and stream types.

Each ``*_into`` function follows its kernel step by step on Python lists of
floats: the same operations, in the same order, each one a separately rounded
IEEE-754 double operation (Python floats are C doubles and CPython never fuses
a multiply with an add).  Because the outputs are written in the kernel's own
order and every input value is read when the kernel reads it, passing the same
list as an input and as an output reproduces what the kernel does to an array
that is used both ways.

Positions that a kernel fills because it has no value for them hold ``HOLE``,
a NaN of the distinct type ``Hole``; the native module must store exactly
0x7ff8000000000000 there.  NaNs that come out of arithmetic are plain floats:
their sign and payload depend on which operand the hardware propagates, so
the tests compare only their NaN-ness.
"""

import math

__all__ = [
    "HOLE",
    "Hole",
    "is_hole",
    "is_finite",
    "maxnum",
    "true_range",
    "sma_into",
    "ema_into",
    "macd_into",
    "atr_into",
    "sma",
    "ema",
    "macd",
    "atr",
    "rsi",
    "wma",
    "dema",
    "tema",
    "mom",
    "roc",
    "trange",
    "natr",
    "willr",
    "stoch",
    "stochf",
    "cci",
    "dmi",
    "obv",
    "mfi",
    "hma",
    "vwap",
    "supertrend",
    "kc",
    "donchian",
    "sar",
    "aroon",
    "stochrsi",
]


class Hole(float):
    """A NaN that a kernel stores for a position without a value."""

    def __repr__(self):
        return "HOLE"


HOLE = Hole("nan")


def is_hole(value):
    return type(value) is Hole


def is_finite(x):
    """Neither NaN nor an infinity (the exponent bits are not all ones)."""
    return not (math.isnan(x) or math.isinf(x))


def _fill_holes(out):
    for i in range(len(out)):
        out[i] = HOLE


# --- simple moving average -------------------------------------------------


def sma_into(period, data, out):
    n = len(data)
    if period == 0 or period > n:
        _fill_holes(out)
        return
    _fill_holes(out)
    total = -0.0
    for k in range(period):
        total = total + data[k]
    inv = 1.0 / float(period)
    out[period - 1] = inv * total
    for i in range(period, n):
        total = total + (data[i] - data[i - period])
        out[i] = inv * total


# --- exponential moving average --------------------------------------------


def ema_into(period, data, out):
    n = len(data)
    if period == 0 or period > n:
        _fill_holes(out)
        return
    _fill_holes(out)
    start = 0
    while any(not is_finite(data[j]) for j in range(start, start + period)):
        start += 1
        if start + period > n:
            return
    p = float(period)
    total = -0.0
    for j in range(start, start + period):
        total = total + data[j]
    seed = total / p
    out[start + period - 1] = seed
    average = seed
    alpha = 2.0 / (p + 1.0)
    beta = 1.0 - alpha
    for i in range(start + period, n):
        x = data[i]
        if is_finite(x):
            average = beta * average + alpha * x
            out[i] = average


# --- MACD --------------------------------------------------------------------


def macd_into(fast_period, slow_period, signal_period, data, macd_out, signal_out, hist_out):
    n = len(data)
    f = float(fast_period)
    s = float(slow_period)
    g = float(signal_period)
    alpha_fast = 2.0 / (f + 1.0)
    alpha_slow = 2.0 / (s + 1.0)
    alpha_signal = 2.0 / (g + 1.0)
    beta_fast = 1.0 - alpha_fast
    beta_slow = 1.0 - alpha_slow
    beta_signal = 1.0 - alpha_signal
    # Python integers do not wrap, which is what a saturating start index
    # amounts to for every position of a real series.
    signal_start = slow_period + signal_period - 2
    fast = slow = signal = HOLE
    for i in range(n):
        x = data[i]
        if x != x:
            macd_out[i] = HOLE
            signal_out[i] = HOLE
            hist_out[i] = HOLE
            continue
        if i < slow_period - 1:
            macd_out[i] = HOLE
            signal_out[i] = HOLE
            hist_out[i] = HOLE
            continue
        if fast != fast:
            total = -0.0
            for j in range(i, i - fast_period, -1):
                total = total + data[j]
            fast = total / f
            total = -0.0
            for j in range(i, i - slow_period, -1):
                total = total + data[j]
            slow = total / s
        else:
            fast = beta_fast * fast + alpha_fast * x
            slow = beta_slow * slow + alpha_slow * x
        m = fast - slow
        macd_out[i] = m
        if signal != signal:
            if i >= signal_start:
                signal = m
        else:
            signal = beta_signal * signal + alpha_signal * m
        signal_out[i] = signal
        hist_out[i] = HOLE if signal != signal else m - signal


# --- ATR ---------------------------------------------------------------------


def maxnum(a, b):
    """maxNum of IEEE 754-2008: a lone NaN loses, +0 beats -0."""
    if a != a:
        return b
    if b != b:
        return a
    if a == 0.0 and b == 0.0:
        return a if math.copysign(1.0, a) > 0 else b
    return a if a > b else b


def true_range(high, low, close, i):
    return maxnum(
        maxnum(high[i] - low[i], abs(high[i] - close[i - 1])),
        abs(low[i] - close[i - 1]),
    )


def atr_into(period, high, low, close, out):
    n = len(high)
    if period == 0 or period >= n:
        _fill_holes(out)
        return
    _fill_holes(out)
    p = float(period)
    alpha = 1.0 / p
    total = 0.0
    for i in range(1, period + 1):
        total = total + true_range(high, low, close, i)
    average = total / p
    out[period] = average
    for i in range(period + 1, n):
        d = true_range(high, low, close, i) - average
        d = alpha * d
        average = average + d
        out[i] = average


# --- convenience wrappers --------------------------------------------------------


def sma(period, data):
    data = list(data)
    out = [0.0] * len(data)
    sma_into(period, data, out)
    return out


def ema(period, data):
    data = list(data)
    out = [0.0] * len(data)
    ema_into(period, data, out)
    return out


def macd(fast_period, slow_period, signal_period, data):
    data = list(data)
    n = len(data)
    macd_out, signal_out, hist_out = [0.0] * n, [0.0] * n, [0.0] * n
    macd_into(fast_period, slow_period, signal_period, data, macd_out, signal_out, hist_out)
    return macd_out, signal_out, hist_out


def atr(period, high, low, close, out_length=None):
    high, low, close = list(high), list(low), list(close)
    out = [0.0] * (len(high) if out_length is None else out_length)
    atr_into(period, high, low, close, out)
    return out


# --- the catalogue -----------------------------------------------------------------


def macd_talib(fast_period, slow_period, signal_period, data):
    """MACD with TA-Lib's start, as its definition states it. An input that is not
    finite is a gap: its three outputs have no value and nothing moves. From bar
    slow_period - 1 on, the first good bar whose trailing means (the last fast_period
    and slow_period inputs, each summed newest first from -0.0) are both finite seeds
    the two averages with them; a bar whose means are not is a gap too. Later good
    inputs x take average = beta * average + alpha * x, alpha = 2 / (period + 1). The
    signal line is seeded with the mean of the first signal_period MACD values
    (fast - slow, summed oldest first from -0.0), and no line has a value before it;
    then signal = beta * signal + alpha * macd, and a NaN signal is seeded afresh."""
    data = list(data)
    n = len(data)
    line_out, signal_out, hist_out = [HOLE] * n, [HOLE] * n, [HOLE] * n
    alphas = [2.0 / (float(p) + 1.0) for p in (fast_period, slow_period, signal_period)]
    fast = slow = signal = None
    total, count = -0.0, 0
    for i in range(n):
        x = data[i]
        if i < slow_period - 1 or not is_finite(x):
            continue
        if fast is None:
            means = []
            for period in (fast_period, slow_period):
                window = -0.0
                for j in range(i, i - period, -1):
                    window = window + data[j]
                means.append(window / float(period))
            if not (is_finite(means[0]) and is_finite(means[1])):
                continue
            fast, slow = means
        else:
            fast = (1.0 - alphas[0]) * fast + alphas[0] * x
            slow = (1.0 - alphas[1]) * slow + alphas[1] * x
        m = fast - slow
        if signal is None or signal != signal:
            total, count = total + m, count + 1
            if count < signal_period:
                continue
            signal = total / float(signal_period)
            total, count = -0.0, 0
        else:
            signal = (1.0 - alphas[2]) * signal + alphas[2] * m
        line_out[i], signal_out[i] = m, signal
        hist_out[i] = HOLE if signal != signal else m - signal
    return line_out, signal_out, hist_out


def rsi(period, data):
    """Wilder's RSI as its definition states it. The change of bar i is data[i] -
    data[i - 1] (bar 0 has none); a change that is not finite has no value. The
    averages are seeded at the end of the first `period` finite changes in a row, by
    their gains' and losses' sums (left to right from +0.0) over the period, and
    then take each finite change as (1 - alpha) * average + alpha * x with alpha =
    1 / period. The index
    is 100 * (gain / (gain + loss)), or 0 where the sum is 0."""
    data = list(data)
    n = len(data)
    out = [HOLE] * n
    if period == 0:
        return out
    p = float(period)
    changes = [HOLE] + [data[i] - data[i - 1] for i in range(1, n)]
    gain = loss = None
    for i in range(n):
        c = changes[i]
        if not is_finite(c):
            continue
        if gain is None:
            if i < period or not all(is_finite(v) for v in changes[i - period + 1 : i + 1]):
                continue
            gain, loss = 0.0, 0.0
            for v in changes[i - period + 1 : i + 1]:
                gain = gain + (v if v > 0.0 else 0.0)
                loss = loss + (-v if v < 0.0 else 0.0)
            gain, loss = gain / p, loss / p
        else:
            alpha = 1.0 / p
            beta = 1.0 - alpha
            gain = beta * gain + alpha * (c if c > 0.0 else 0.0)
            loss = beta * loss + alpha * (-c if c < 0.0 else 0.0)
        total = gain + loss
        out[i] = 0.0 if total == 0.0 else 100.0 * (gain / total)
    return out


def wma(period, data):
    """The weighted moving average as its definition states it. A window is the
    `period` inputs up to bar i, weighted 1 for the oldest up to `period` for the
    newest; it has no value while it holds a NaN or an infinity. The plain sum S and
    the weighted sum W of a good window are summed afresh, oldest input first from
    -0.0, when the window is renewed (bar i + 1 a multiple of `period`), when the
    window before it had no value, or when the carried sums are not finite; else
    they are carried: W = W + (period * x[i] - S), then S = S + (x[i] - x[i - period]).
    The output is W / (period * (period + 1) / 2)."""
    data = list(data)
    n = len(data)
    out = [HOLE] * n
    if period == 0:
        return out
    p = float(period)
    divisor = (p * (p + 1.0)) / 2.0
    s = w = math.nan
    for i in range(period - 1, n):
        window = data[i - period + 1 : i + 1]
        if not all(is_finite(v) for v in window):
            s = w = math.nan
            continue
        w = w + (p * data[i] - s)
        s = s + (data[i] - (data[i - period] if i >= period else 0.0))
        if (i + 1) % period == 0 or not (is_finite(w) and is_finite(s)):
            s = w = -0.0
            for k, v in enumerate(window, start=1):
                s = s + v
                w = w + float(k) * v
        out[i] = w / divisor
    return out


def _deviations(period, data):
    """(mean, deviation) of each bar's window, or None, as STDDEV and BBANDS define
    them. A window is the `period` inputs up to bar i; it has no value while it
    holds a NaN or an infinity. Its sums are of d = x - shift and of d * d. They are
    summed afresh, oldest input first from -0.0, when the window is renewed (bar
    i + 1 a multiple of `period`), when the window before it had no value, or when
    the carried sums are not finite: the shift is then the window's newest input.
    Else they are carried: with d_in = x[i] - shift and
    d_out = x[i - period] - shift, sum = sum + (d_in - d_out) and squares =
    squares + (d_in * d_in - d_out * d_out). The mean offset is sum / period, the
    variance squares / period - offset * offset, or 0 where that is negative (a NaN of
    overflowing sums stays NaN), the
    deviation its square root, and the mean shift + offset."""
    n = len(data)
    result = [None] * n
    if period == 0:
        return result
    p = float(period)
    shift = total = squares = math.nan
    for i in range(period - 1, n):
        window = data[i - period + 1 : i + 1]
        if not all(is_finite(v) for v in window):
            shift = total = squares = math.nan
            continue
        d_in = data[i] - shift
        d_out = (data[i - period] if i >= period else 0.0) - shift
        total = total + (d_in - d_out)
        squares = squares + (d_in * d_in - d_out * d_out)
        if (i + 1) % period == 0 or not (is_finite(total) and is_finite(squares)):
            shift = data[i]
            total = squares = -0.0
            for v in window:
                d = v - shift
                total = total + d
                squares = squares + d * d
        offset = total / p
        variance = squares / p - offset * offset
        result[i] = (shift + offset, math.nan if variance != variance else math.sqrt(max(variance, 0.0)))
    return result


def stddev(period, *multiplier_and_data):
    """The population standard deviation of the window (see _deviations) times
    nbdev (default 1.0)."""
    *multiplier, data = multiplier_and_data
    nbdev = multiplier[0] if multiplier else 1.0
    return [HOLE if w is None else w[1] * nbdev for w in _deviations(period, list(data))]


def bbands(period, *multipliers_and_data):
    """The window's mean (see _deviations), and it plus nbdev_up and less nbdev_dn
    deviations (defaults 2.0), each product first: upper, middle, lower."""
    *multipliers, data = multipliers_and_data
    up, down = (list(multipliers) + [2.0, 2.0][len(multipliers) :])[:2]
    windows = _deviations(period, list(data))
    upper = [HOLE if w is None else w[0] + up * w[1] for w in windows]
    middle = [HOLE if w is None else w[0] for w in windows]
    lower = [HOLE if w is None else w[0] - down * w[1] for w in windows]
    return upper, middle, lower


def _blend_of_emas(period, data, blend):
    """The averages of the chain, each EMA's (ema above) over the outputs of the one
    before, and at each bar where the last has a value, blend of their values."""
    chain = [ema(period, data)]
    while len(chain) < blend.__code__.co_argcount:
        chain.append(ema(period, chain[-1]))
    return [HOLE if is_hole(chain[-1][i]) else blend(*(e[i] for e in chain)) for i in range(len(data))]


def dema(period, data):
    """DEMA as its definition states it: e1 + (e1 - e2), e1 the EMA of the input and
    e2 the EMA of e1, where e2 has a value."""
    return _blend_of_emas(period, list(data), lambda e1, e2: e1 + (e1 - e2))


def tema(period, data):
    """TEMA as its definition states it: 3 * (e1 - e2) + e3, e1 the EMA of the input,
    e2 the EMA of e1 and e3 the EMA of e2, where e3 has a value."""
    return _blend_of_emas(period, list(data), lambda e1, e2, e3: (3.0 * (e1 - e2)) + e3)


def mom(period, data):
    """Momentum as its definition states it: x[i] - x[i - period] from bar period on,
    no value where either input is NaN or infinite."""
    data = list(data)
    out = [HOLE] * len(data)
    if period == 0:
        return out
    for i in range(period, len(data)):
        if is_finite(data[i]) and is_finite(data[i - period]):
            out[i] = data[i] - data[i - period]
    return out


def roc(period, data):
    """The rate of change as its definition states it: ((x[i] / x[i - period]) - 1)
    * 100 from bar period on, 0 where x[i - period] is zero, no value where either
    input is NaN or infinite."""
    data = list(data)
    out = [HOLE] * len(data)
    if period == 0:
        return out
    for i in range(period, len(data)):
        now, then = data[i], data[i - period]
        if is_finite(now) and is_finite(then):
            out[i] = 0.0 if then == 0.0 else ((now / then) - 1.0) * 100.0
    return out


def trange(high, low, close):
    """The true range of bar i >= 1: maxNum of high - low, |high - close'| and |low -
    close'|, close' being close[i - 1]; no value at bar 0, nor where any of the three
    inputs is not finite."""
    high, low, close = list(high), list(low), list(close)
    out = [HOLE] * len(high)
    for i in range(1, len(high)):
        if all(is_finite(v) for v in (high[i], low[i], close[i - 1])):
            out[i] = true_range(high, low, close, i)
    return out


def natr(period, high, low, close):
    """NATR as its definition states it. The true range of bar i >= 1 is trange's,
    and has no value where it is not finite (an overflow included). The average is
    seeded at the end of the first `period` finite true ranges in a row, by their sum
    (left to right from +0.0) over the period, and then takes each finite true range
    as (1 - alpha) * average + alpha * x with alpha = 1 / period. The output, at the
    seed's bar and every later bar with a finite true range, is (average / close) *
    100, or 0 where the close is zero, and no value where the close is not finite."""
    high, low, close = list(high), list(low), list(close)
    n = len(high)
    out = [HOLE] * n
    p = float(period)
    ranges = trange(high, low, close)
    average = None
    for i in range(n):
        if not is_finite(ranges[i]):
            continue
        if average is None:
            if i < period or not all(is_finite(v) for v in ranges[i - period + 1 : i + 1]):
                continue
            average = 0.0
            for v in ranges[i - period + 1 : i + 1]:
                average = average + v
            average = average / p
        else:
            alpha = 1.0 / p
            average = (1.0 - alpha) * average + alpha * ranges[i]
        if is_finite(close[i]):
            out[i] = 0.0 if close[i] == 0.0 else (average / close[i]) * 100.0
    return out


def willr(period, high, low, close):
    """Williams' %R as its definition states it: over the bars i - period + 1 to i,
    hh the largest high and ll the smallest low (of equal ones the latest, so that
    -0.0 and 0.0 are told apart as the order leaves them), then ((hh - close[i]) /
    (hh - ll)) * -100, or 0 where hh - ll is 0. No value before bar period - 1, nor
    where a high or low of the window, or the close, is not finite."""
    high, low, close = list(high), list(low), list(close)
    n = len(high)
    out = [HOLE] * n
    if period == 0:
        return out
    for i in range(period - 1, n):
        bars = range(i - period + 1, i + 1)
        if not all(is_finite(high[k]) and is_finite(low[k]) for k in bars) or not is_finite(close[i]):
            continue
        hh, ll = high[bars[0]], low[bars[0]]
        for k in bars:
            if high[k] >= hh:
                hh = high[k]
            if low[k] <= ll:
                ll = low[k]
        spread = hh - ll
        out[i] = 0.0 if spread == 0.0 else ((hh - close[i]) / spread) * -100.0
    return out


def cci(period, high, low, close):
    """CCI as its definition states it. The typical price of bar i is ((high + low) +
    close) / 3. At bar i >= period - 1, over the window of the last `period` typical
    prices, oldest first: their sum from -0.0, over the period, is the mean; the sum
    of |tp - mean| from -0.0, over the period, is the deviation. The output is 0
    where 0.015 * deviation is 0, else (tp[i] - mean) / (0.015 * deviation); a window
    that holds a typical price that is not finite has no value."""
    high, low, close = list(high), list(low), list(close)
    n = len(high)
    out = [HOLE] * n
    p = float(period)
    tp = [((h + l) + c) / 3.0 for h, l, c in zip(high, low, close)]
    for i in range(period - 1, n):
        window = tp[i - period + 1 : i + 1]
        if not all(is_finite(v) for v in window):
            continue
        total = -0.0
        for v in window:
            total = total + v
        mean = total / p
        deviations = -0.0
        for v in window:
            deviations = deviations + abs(v - mean)
        scaled = 0.015 * (deviations / p)
        out[i] = 0.0 if scaled == 0.0 else (tp[i] - mean) / scaled
    return out


def obv(close, volume):
    """OBV as its definition states it. A bar is good where its close and its volume
    are finite, and only a good bar has a value. The first good bar's total is its
    volume; each later good bar adds its volume where its close is above the last
    finite close before it, takes it away where below, and keeps the total where
    equal."""
    close, volume = list(close), list(volume)
    out = [HOLE] * len(close)
    total = None
    last_close = None
    for i, (c, v) in enumerate(zip(close, volume)):
        if is_finite(c) and is_finite(v):
            if total is None:
                total = v
            elif c > last_close:
                total = total + v
            elif c < last_close:
                total = total - v
            out[i] = total
        if is_finite(c):
            last_close = c
    return out


def _fast_k(period, high, low, close):
    """The fast %K: over the bars i - period + 1 to i, hh the largest high and ll
    the smallest low (of equal ones the latest), then ((close[i] - ll) / (hh - ll))
    * 100, or 0 where hh - ll is 0. No value before bar period - 1, nor where a high
    or low of the window, or the close, is not finite."""
    n = len(high)
    out = [HOLE] * n
    for i in range(period - 1, n):
        bars = range(i - period + 1, i + 1)
        if not all(is_finite(high[k]) and is_finite(low[k]) for k in bars) or not is_finite(close[i]):
            continue
        hh, ll = high[bars[0]], low[bars[0]]
        for k in bars:
            if high[k] >= hh:
                hh = high[k]
            if low[k] <= ll:
                ll = low[k]
        spread = hh - ll
        out[i] = 0.0 if spread == 0.0 else ((close[i] - ll) / spread) * 100.0
    return out


def _mean_line(period, line, start):
    """The mean of the last `period` values of a line, summed from the oldest and
    divided; no value before bar `start`."""
    out = [HOLE] * len(line)
    for i in range(start, len(line)):
        total = line[i - period + 1]
        for k in range(i - period + 2, i + 1):
            total = total + line[k]
        out[i] = total / float(period)
    return out


def stoch(fastk_period, slowk_period, slowd_period, high, low, close):
    """The slow %K, the fast %K's mean over slowk_period, and the slow %D, the slow
    %K's mean over slowd_period; both start at bar fastk_period + slowk_period +
    slowd_period - 3."""
    k = _fast_k(fastk_period, list(high), list(low), list(close))
    slow_k = _mean_line(slowk_period, k, fastk_period + slowk_period - 2)
    start = fastk_period + slowk_period + slowd_period - 3
    slow_d = _mean_line(slowd_period, slow_k, start)
    return [HOLE if i < start else v for i, v in enumerate(slow_k)], slow_d


def stochf(fastk_period, fastd_period, high, low, close):
    """The fast %K and its mean over fastd_period, the fast %D; both start at bar
    fastk_period + fastd_period - 2."""
    k = _fast_k(fastk_period, list(high), list(low), list(close))
    start = fastk_period + fastd_period - 2
    d = _mean_line(fastd_period, k, start)
    return [HOLE if i < start else v for i, v in enumerate(k)], d


def dmi(period, high, low, close):
    """+DI, -DI and ADX. Of each bar after the first, up = high - high', down = low'
    - low (' the bar before), +DM = up where up > down and up > 0, else 0, -DM
    likewise, and the true range; a bar whose moves or true range are not finite is
    bad. Each Wilder average starts as the sum of the first period - 1 good bars in a
    row over period, a bad bar before that starting afresh, and steps as RSI's;
    +DI = (+DM average / TR average) * 100, 0 where the TR average is 0, -DI
    likewise. DX = (|+DI - -DI| / (+DI + -DI)) * 100, 0 where the sum is 0; ADX is
    its Wilder average, seeded by the mean of the first period DX in a row. A bad
    bar gives NaN at its own bar; after a seed the averages skip it."""
    high, low, close = list(high), list(low), list(close)
    n = len(high)
    plus_di, minus_di, adx_out = [HOLE] * n, [HOLE] * n, [HOLE] * n
    if period == 0:
        return plus_di, minus_di, adx_out
    alpha = 1.0 / float(period)
    beta = 1.0 - alpha
    run = dx_run = 0
    plus = minus = rng = adx = 0.0
    for i in range(1, n):
        up = high[i] - high[i - 1]
        down = low[i - 1] - low[i]
        tr = true_range(high, low, close, i)
        good = all(is_finite(v) for v in (high[i], low[i], close[i - 1], up, down, tr))
        plus_dm = up if up > down and up > 0.0 else 0.0
        minus_dm = down if down > up and down > 0.0 else 0.0
        if run < period:
            if not good:
                run, plus, minus, rng = 0, 0.0, 0.0, 0.0
            else:
                run += 1
                if run < period:
                    plus, minus, rng = plus + plus_dm, minus + minus_dm, rng + tr
                    if run + 1 == period:
                        plus, minus, rng = plus / float(period), minus / float(period), rng / float(period)
        if good and run == period:
            plus = beta * plus + alpha * plus_dm
            minus = beta * minus + alpha * minus_dm
            rng = beta * rng + alpha * tr
            plus_di[i] = 0.0 if rng == 0.0 else (plus / rng) * 100.0
            minus_di[i] = 0.0 if rng == 0.0 else (minus / rng) * 100.0
            total = plus_di[i] + minus_di[i]
            dx = 0.0 if total == 0.0 else (abs(plus_di[i] - minus_di[i]) / total) * 100.0
            if dx_run < period:
                if not is_finite(dx):
                    dx_run, adx = 0, 0.0
                else:
                    adx = adx + dx
                    dx_run += 1
                    if dx_run == period:
                        adx = adx / float(period)
                        adx_out[i] = adx
            elif is_finite(dx):
                adx = beta * adx + alpha * dx
                adx_out[i] = adx
        elif dx_run < period:
            dx_run, adx = 0, 0.0
    return plus_di, minus_di, adx_out


def mfi(period, high, low, close, volume):
    """The money flow index. Of each bar, tp = ((high + low) + close) / 3 and the
    flow tp * volume, positive where tp rose from the bar before, negative where it
    fell (bar 0, or a flow not finite, is bad). At bar i from bar period, where the
    window of flows i - period + 1 to i holds no bad one: each sum is the one before
    plus (the new flow - the leaving one), or, at bars where i + 1 is a multiple of
    period, after a bad window, or where that is not finite, the window's flows
    summed from -0; a side whose flows are all 0 is 0. Then 100 * (pos / (pos +
    neg)), 0 where the sum is 0."""
    high, low, close, volume = list(high), list(low), list(close), list(volume)
    n = len(high)
    out = [HOLE] * n
    if period == 0:
        return out
    nan = float("nan")
    flows = []
    previous = nan
    for i in range(n):
        tp = ((high[i] + low[i]) + close[i]) / 3.0
        money = tp * volume[i]
        if is_finite(tp) and is_finite(previous) and is_finite(money):
            flows.append((money if tp > previous else 0.0, money if tp < previous else 0.0))
        else:
            flows.append((nan, nan))
        previous = tp
    positive = negative = nan
    for i in range(period, n):
        window = flows[i - period + 1 : i + 1]
        if not all(is_finite(up) for up, _ in window):
            positive = negative = nan
            continue
        leaving = flows[i - period]
        new_positive = positive + (flows[i][0] - leaving[0])
        new_negative = negative + (flows[i][1] - leaving[1])
        if (i + 1) % period == 0 or not is_finite(new_positive) or not is_finite(new_negative):
            new_positive = new_negative = -0.0
            for up, down in window:
                new_positive = new_positive + up
                new_negative = new_negative + down
        positive, negative = new_positive, new_negative
        up = 0.0 if all(f == 0.0 for f, _ in window) else positive
        down = 0.0 if all(f == 0.0 for _, f in window) else negative
        total = up + down
        out[i] = 0.0 if total == 0.0 else 100.0 * (up / total)
    return out


def vwap(period, high, low, close, volume):
    """The volume-weighted average price. Of each bar, the product
    (((high + low) + close) / 3) * volume and the volume; a bar where either is not
    finite is bad. Period 0: the sums of the good bars so far from -0, NaN at a bad
    bar. Period p: at bar i from bar p - 1, where the window of bars i - p + 1 to i
    holds no bad one, each sum is the one before plus (the new term - the leaving
    one), or, at bars where i + 1 is a multiple of p, after a bad or partial window,
    or where that is not finite, the window's terms summed from -0. Then the sum of
    products over the sum of volumes, NaN where the volumes sum to 0 or all are 0."""
    high, low, close, volume = list(high), list(low), list(close), list(volume)
    n = len(high)
    out = [HOLE] * n
    nan = float("nan")
    terms = []
    for i in range(n):
        value = (((high[i] + low[i]) + close[i]) / 3.0) * volume[i]
        terms.append((value, volume[i]) if is_finite(value) and is_finite(volume[i]) else (nan, nan))
    if period == 0:
        value_sum = volume_sum = -0.0
        for i, (value, v) in enumerate(terms):
            if is_finite(v):
                value_sum, volume_sum = value_sum + value, volume_sum + v
                out[i] = nan if volume_sum == 0.0 else value_sum / volume_sum
        return out
    value_sum = volume_sum = nan
    for i in range(period - 1, n):
        window = terms[i - period + 1 : i + 1]
        if not all(is_finite(v) for _, v in window):
            value_sum = volume_sum = nan
            continue
        leaving = terms[i - period] if i >= period else (0.0, 0.0)
        new_value = value_sum + (terms[i][0] - leaving[0])
        new_volume = volume_sum + (terms[i][1] - leaving[1])
        if (i + 1) % period == 0 or not is_finite(new_value) or not is_finite(new_volume):
            new_value = new_volume = -0.0
            for value, v in window:
                new_value, new_volume = new_value + value, new_volume + v
        value_sum, volume_sum = new_value, new_volume
        traded = any(v != 0.0 for _, v in window)
        out[i] = value_sum / volume_sum if traded and volume_sum != 0.0 else nan
    return out


def _wilder_atr(period, high, low, close):
    """NATR's average true range, None where a bar has none."""
    ranges = trange(high, low, close)
    p = float(period)
    alpha = 1.0 / p
    average = None
    out = [None] * len(high)
    for i in range(len(high)):
        if not is_finite(ranges[i]):
            continue
        if average is None:
            if i < period or not all(is_finite(v) for v in ranges[i - period + 1 : i + 1]):
                continue
            average = 0.0
            for v in ranges[i - period + 1 : i + 1]:
                average = average + v
            average = average / p
        else:
            average = (1.0 - alpha) * average + alpha * ranges[i]
        out[i] = average
    return out


def supertrend(period, *arguments):
    """SuperTrend. Of each bar with an average true range (NATR's), the bands
    (high + low) / 2 + multiplier * atr and (high + low) / 2 - multiplier * atr; a
    bar where they or the close are not finite has no value and is skipped. At the
    first good bar the bands are its own and the trend up; at each later one the
    upper band is the new one where that is lower or the close of the last good bar
    was above the band, else the band held, the lower band likewise; an up trend
    turns down where the close is below the lower band, a down trend up where it is
    above the upper one. The line is the lower band while up, the upper while down."""
    multiplier, high, low, close = (3.0, *arguments) if len(arguments) == 3 else arguments
    high, low, close = list(high), list(low), list(close)
    n = len(high)
    line, trend = [HOLE] * n, [HOLE] * n
    if period == 0:
        return line, trend
    atr = _wilder_atr(period, high, low, close)
    state = None
    for i in range(n):
        if atr[i] is None:
            continue
        middle = (high[i] + low[i]) / 2.0
        upper = middle + multiplier * atr[i]
        lower = middle - multiplier * atr[i]
        if not (is_finite(upper) and is_finite(lower) and is_finite(close[i])):
            continue
        if state is None:
            state = [upper, lower, 1.0]
        else:
            held_upper, held_lower, direction, last_close = state
            upper = upper if upper < held_upper or last_close > held_upper else held_upper
            lower = lower if lower > held_lower or last_close < held_lower else held_lower
            if direction > 0 and close[i] < lower:
                direction = -1.0
            elif direction < 0 and close[i] > upper:
                direction = 1.0
            state = [upper, lower, direction]
        state.append(close[i])
        line[i] = state[1] if state[2] > 0 else state[0]
        trend[i] = state[2]
    return line, trend


def sar(*arguments):
    """Parabolic SAR over the bars whose high and low are finite (the others have no
    value). The first such bar has none. The second sets the trend, short where
    its low fell below the first's by more than (and by more than 0) its high rose,
    else long; the stop at the first's high (short) or low (long) and the extreme at
    the second's low or high; then it is taken as every later bar, with itself as
    the bar before. A bar gives the stop; long, a low at or below it reverses: the
    stop becomes the extreme, raised to the last two highs, the factor the
    acceleration and the extreme the low, else a new high becomes the extreme and
    the factor grows by the acceleration up to the maximum. Either way the stop
    then moves by factor * (extreme - stop), and is kept at or below the last two
    lows (after a reversal, at or above the last two highs). Short, the mirror."""
    acceleration, maximum, high, low = (0.02, 0.2, *arguments) if len(arguments) == 2 else arguments
    high, low = list(high), list(low)
    out = [HOLE] * len(high)
    bars = [i for i in range(len(high)) if is_finite(high[i]) and is_finite(low[i])]
    if len(bars) < 2:
        return out
    first, second = bars[0], bars[1]
    up = high[second] - high[first]
    down = low[first] - low[second]
    is_long = not (down > 0.0 and down > up)
    stop = low[first] if is_long else high[first]
    extreme = high[second] if is_long else low[second]
    factor = acceleration
    last_high, last_low = high[second], low[second]
    for i in bars[1:]:
        previous_high, previous_low = last_high, last_low
        last_high, last_low = high[i], low[i]
        if is_long:
            if low[i] <= stop:
                is_long = False
                stop = max(extreme, previous_high, high[i])
                out[i] = stop
                factor, extreme = acceleration, low[i]
                stop = stop + factor * (extreme - stop)
                stop = max(stop, previous_high, high[i])
            else:
                out[i] = stop
                if high[i] > extreme:
                    extreme, factor = high[i], min(factor + acceleration, maximum)
                stop = stop + factor * (extreme - stop)
                stop = min(stop, previous_low, low[i])
        else:
            if high[i] >= stop:
                is_long = True
                stop = min(extreme, previous_low, low[i])
                out[i] = stop
                factor, extreme = acceleration, high[i]
                stop = stop + factor * (extreme - stop)
                stop = min(stop, previous_low, low[i])
            else:
                out[i] = stop
                if low[i] < extreme:
                    extreme, factor = low[i], min(factor + acceleration, maximum)
                stop = stop + factor * (extreme - stop)
                stop = max(stop, previous_high, high[i])
    return out


def kc(period, atr_period, *arguments):
    """The Keltner channel. Of each bar, tp = ((high + low) + close) / 3 and the true
    range (trange's). From bar start = max(period - 1, atr_period), the middle is
    seeded at the first bar whose last period tp are all finite, by their sum (from
    -0, oldest first) / period, then takes each finite tp as beta * middle + alpha *
    tp, alpha = 2 / (period + 1); the average true range likewise over atr_period,
    its sum from +0, then (1 - 1 / atr_period) * atr + (1 / atr_period) * tr. At a bar
    whose tp and true range are finite, once both are seeded: middle + nbdev * atr,
    middle, middle - nbdev * atr."""
    nbdev, high, low, close = (2.0, *arguments) if len(arguments) == 3 else arguments
    high, low, close = list(high), list(low), list(close)
    n = len(high)
    outs = ([HOLE] * n, [HOLE] * n, [HOLE] * n)
    prices = [((high[i] + low[i]) + close[i]) / 3.0 for i in range(n)]
    ranges = trange(high, low, close)
    start = max(period - 1, atr_period)
    p, a = float(period), float(atr_period)
    alpha = 2.0 / (p + 1.0)
    atr_alpha = 1.0 / a
    middle = atr = None
    for i in range(n):
        good_price, good_range = is_finite(prices[i]), is_finite(ranges[i])
        if middle is not None:
            if good_price:
                middle = (1.0 - alpha) * middle + alpha * prices[i]
        elif i >= start and all(is_finite(v) for v in prices[i - period + 1 : i + 1]):
            middle = -0.0
            for v in prices[i - period + 1 : i + 1]:
                middle = middle + v
            middle = middle / p
        if atr is not None:
            if good_range:
                atr = (1.0 - atr_alpha) * atr + atr_alpha * ranges[i]
        elif i >= start and all(is_finite(v) for v in ranges[i - atr_period + 1 : i + 1]):
            atr = 0.0
            for v in ranges[i - atr_period + 1 : i + 1]:
                atr = atr + v
            atr = atr / a
        if good_price and good_range and middle is not None and atr is not None:
            width = nbdev * atr
            outs[0][i], outs[1][i], outs[2][i] = middle + width, middle, middle - width
    return outs
def hma(period, data):
    """The Hull moving average as its definition states it: wma (above) over
    isqrt(period) bars of the differences 2 * a - b, a the wma of the inputs over
    period // 2 bars and b their wma over period bars, each window at least 1 bar.
    A difference has no value where a or b has none."""
    data = list(data)
    a = wma(max(1, period // 2), data)
    b = wma(period, data)
    diffs = [HOLE if math.isnan(u) or math.isnan(v) else 2.0 * u - v for u, v in zip(a, b)]
    return wma(max(1, math.isqrt(period)), diffs)


def _side_extreme(values, i, span, highs):
    """The extreme of values[i - span + 1 .. i] and its bar (of equal ones the latest),
    or None before bar span - 1 or where a value of the window is not finite."""
    if i < span - 1:
        return None
    bars = range(i - span + 1, i + 1)
    if not all(is_finite(values[k]) for k in bars):
        return None
    best, at = values[bars[0]], bars[0]
    for k in bars:
        if (values[k] >= best) if highs else (values[k] <= best):
            best, at = values[k], k
    return best, at


def donchian(period, high, low):
    """Donchian channels: the upper band the largest high and the lower band the
    smallest low of the last `period` bars (see _side_extreme), each without a value
    where its side's window holds a bad value, and the middle (upper + lower) / 2
    where both have one."""
    high, low = list(high), list(low)
    n = len(high)
    upper, middle, lower = [HOLE] * n, [HOLE] * n, [HOLE] * n
    for i in range(n):
        hh = _side_extreme(high, i, period, True)
        ll = _side_extreme(low, i, period, False)
        if hh is not None:
            upper[i] = hh[0]
        if ll is not None:
            lower[i] = ll[0]
        if hh is not None and ll is not None:
            middle[i] = (hh[0] + ll[0]) / 2.0
    return upper, middle, lower


def aroon(period, high, low):
    """Aroon down and up: over the last period + 1 bars (see _side_extreme), k the
    bars since the lowest low (of equal ones the latest), down = (100 * (period -
    k)) / period, and up likewise with the highest high; each without a value where
    its side's window holds a bad value."""
    high, low = list(high), list(low)
    n = len(high)
    down, up = [HOLE] * n, [HOLE] * n
    p = float(period)
    for i in range(n):
        for line, values, highs in ((up, high, True), (down, low, False)):
            extreme = _side_extreme(values, i, period + 1, highs)
            if extreme is not None:
                line[i] = (100.0 * float(period - (i - extreme[1]))) / p
    return down, up


def stochrsi(period, fastk_period, fastd_period, data):
    """The fast stochastic of rsi(period) (above), the RSI standing for the high, the
    low and the close: the fast %K over fastk_period and its mean over fastd_period,
    both from bar period + fastk_period + fastd_period - 2."""
    r = rsi(period, data)
    k = _fast_k(fastk_period, r, r, r)
    start = period + fastk_period + fastd_period - 2
    d = _mean_line(fastd_period, k, start)
    return [HOLE if i < start else v for i, v in enumerate(k)], d
