// The worked values of the four marundex-core kernels, through the installed
// package: each output element on its own line, as %.17g and as its bits, for a
// comparison bit for bit with worked_values.expected.
//
// This file is compiled with -ffast-math on purpose (see CMakeLists.txt). It only
// moves values around; every rounded operation happens inside the library, which
// was compiled with the project's own flags.
#include <marundex/core.hpp>

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string_view>
#include <vector>

namespace {

using marundex::core::InputRun;
using marundex::core::OutputRun;

// From its bits: under -ffast-math the compiler may assume that no NaN exists,
// but it leaves a bit pattern alone.
const double nan_input = std::bit_cast<double>(std::uint64_t{0x7ff8000000000000});

InputRun input(const std::vector<double>& values) {
    return {values.data(), values.size()};
}

OutputRun output(std::vector<double>& values) {
    return {values.data(), values.size()};
}

void print(std::string_view label, const std::vector<double>& values) {
    for (std::size_t i = 0; i < values.size(); ++i) {
        std::printf("%.*s[%zu] %.17g 0x%016llx\n", static_cast<int>(label.size()), label.data(), i,
                    values[i],
                    static_cast<unsigned long long>(std::bit_cast<std::uint64_t>(values[i])));
    }
}

}  // namespace

int main() {
    const std::vector<double> series{1.0, 2.0, 4.0, 8.0};

    std::vector<double> sma(series.size());
    marundex::core::sma(3, input(series), output(sma));
    print("sma(3)", sma);

    std::vector<double> ema(series.size());
    marundex::core::ema(3, input(series), output(ema));
    print("ema(3)", ema);

    std::vector<double> macd(series.size());
    std::vector<double> signal(series.size());
    std::vector<double> hist(series.size());
    marundex::core::macd(2, 3, 2, input(series), output(macd), output(signal), output(hist));
    print("macd(2,3,2).macd", macd);
    print("macd(2,3,2).signal", signal);
    print("macd(2,3,2).hist", hist);

    // True range = high when low and close are 0.
    const std::vector<double> rising{0.0, 1.0, 2.0, 4.0, 8.0, 16.0};
    const std::vector<double> zeros(rising.size(), 0.0);
    std::vector<double> atr3(rising.size());
    marundex::core::atr(3, input(rising), input(zeros), input(zeros), output(atr3));
    print("atr(3)", atr3);

    const std::vector<double> high{10.0, 11.0, 12.0, 13.0};
    const std::vector<double> low{9.0, 9.5, 10.0, 12.0};
    const std::vector<double> close{9.5, 10.5, 11.0, 12.5};
    std::vector<double> atr2(high.size());
    marundex::core::atr(2, input(high), input(low), input(close), output(atr2));
    print("atr(2)", atr2);

    // A NaN candidate is ignored: only the range high - low is left of bar 1.
    const std::vector<double> gap_high{10.0, 11.0, 12.0};
    const std::vector<double> gap_low{9.0, 10.0, nan_input};
    const std::vector<double> gap_close{nan_input, 10.5, 11.0};
    std::vector<double> atr1(gap_high.size());
    marundex::core::atr(1, input(gap_high), input(gap_low), input(gap_close), output(atr1));
    print("atr(1)", atr1);
    return 0;
}
