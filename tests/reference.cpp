#include "reference.h"

#include <cstdlib>
#include <utility>

namespace reference {

static void pass(double *s, int32_t start, int32_t limit) {
    for (int32_t k = start; k >= 0; --k) {
        const int32_t left = 2 * k + 1, right = 2 * k + 2;
        const int32_t c = (right < limit && !(s[left] > s[right])) ? right : left;
        if (s[c] > s[k]) std::swap(s[c], s[k]);
    }
}

void sort(double *s, int32_t m) {
    pass(s, m / 2 - 1, m);
    for (int32_t i = m - 1; i >= 0; --i) {
        std::swap(s[0], s[i]);
        if (i >= 2) pass(s, i / 2 - 1, i);
    }
}

double minimize(double a, double b, const double *p, const double *q, int32_t n) {
    if (n <= 0) return a;
    double *g =
        static_cast<double *>(std::malloc((2 * static_cast<size_t>(n) + 2) * sizeof(double)));
    double *s = static_cast<double *>(std::malloc(static_cast<size_t>(n) * sizeof(double)));
    int32_t m = 0;
    for (int32_t k = 0; k < n; ++k) {
        if (p[k] > 1e-10 || p[k] < -1e-10) {
            const double r = q[k] / p[k];
            s[m++] = r > 0 ? r : -r;
        }
    }
    double result = a;
    if (m > 0) {
        sort(s, m);
        g[0] = -1e10;
        for (int32_t i = 1; i <= m; ++i) g[i] = -s[m - i];
        for (int32_t i = 0; i < m; ++i) g[m + 1 + i] = s[i];
        g[2 * m + 1] = 1e10;
        double best = 1e100;
        result = 1e8;
        for (int32_t j = 1; j <= 2 * m + 1; ++j) {
            const double o = (g[j - 1] + g[j]) * 0.5;
            double t = 0;
            for (int32_t k = 0; k < n; ++k) {
                const double x = p[k] * o + q[k];
                t = x >= 0 ? t + p[k] : t - p[k];
            }
            const double u = t * b + a;
            double v = 0;
            for (int32_t k = 0; k < n; ++k) {
                const double y = u * p[k] + q[k];
                v = y >= 0 ? v + y : v - y;
            }
            const double f = ((u - a) * 0.5) * (u - a) - v * b;
            if (f < best) {
                best = f;
                result = u;
            }
        }
    }
    std::free(g);
    std::free(s);
    return result;
}

}  // namespace reference
