// Sum of absolute values, added in exactly the order NumPy's float64 add
// reduction uses (blocks of 8 accumulators, halving above 128 elements), so
// the engine's gross exposure is bit-identical to np.sum(np.abs(row)).
#pragma once

#include <cmath>
#include <cstddef>

namespace korvel::portsim {

inline double pairwise_sum(const double* a, std::ptrdiff_t n) {
    if (n < 8) {
        double res = 0.0;
        for (std::ptrdiff_t i = 0; i < n; ++i) res += a[i];
        return res;
    }
    if (n <= 128) {
        double r[8];
        for (int k = 0; k < 8; ++k) r[k] = a[k];
        std::ptrdiff_t i = 8;
        for (; i < n - (n % 8); i += 8) {
            for (int k = 0; k < 8; ++k) r[k] += a[i + k];
        }
        double res = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
        for (; i < n; ++i) res += a[i];
        return res;
    }
    std::ptrdiff_t n2 = n / 2;
    n2 -= n2 % 8;
    return pairwise_sum(a, n2) + pairwise_sum(a + n2, n - n2);
}

}  // namespace korvel::portsim
