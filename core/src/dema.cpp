#include "ema_chain.hpp"

namespace marundex::core {

// Each operation rounded on its own; the difference of the two averages first.
double DoubleEma::of(const std::array<double, depth>& e) noexcept {
    return e[0] + (e[0] - e[1]);
}

template class EmaChainState<DoubleEma>;

}  // namespace marundex::core
