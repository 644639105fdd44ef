#include "ema_chain.hpp"

namespace marundex::core {

// Each operation rounded on its own: the difference of the first two averages,
// three times it, then the third average.
double TripleEma::of(const std::array<double, depth>& e) noexcept {
    return (3.0 * (e[0] - e[1])) + e[2];
}

template class EmaChainState<TripleEma>;

}  // namespace marundex::core
