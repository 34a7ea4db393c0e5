/* Calls the installed solver from C, one problem and a batch; exits 0 when
   the worked example agrees. */
#include <stdio.h>
#include <tarvenloch.h>

int main(void) {
    const double p[] = {1.0}, q[] = {-2.0};
    double u = 0.0;
    if (!minimizeOverBreakpoints(&u, 0.3, 1.0, p, q, 1)) return 1;
    printf("%.17g\n", u);
    /* The same problem three times over, a and b shared, on two threads. */
    const double a = 0.3, b = 1.0;
    const int32_t n = 1;
    double results[3] = {0.0, 0.0, 0.0};
    if (!minimizeBatch(results, 3, &a, 0, &b, 0, p, 0, q, 0, &n, 0, 2)) return 1;
    for (int i = 0; i < 3; ++i) {
        if (results[i] != u) return 1;
    }
    return u == 0.3 - 1.0 ? 0 : 1;
}
