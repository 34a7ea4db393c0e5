/* Calls the installed solver from C; exits 0 when the worked example agrees. */
#include <stdio.h>
#include <tarvenloch.h>

int main(void) {
    const double p[] = {1.0}, q[] = {-2.0};
    double u = 0.0;
    if (!minimizeOverBreakpoints(&u, 0.3, 1.0, p, q, 1)) return 1;
    printf("%.17g\n", u);
    return u == 0.3 - 1.0 ? 0 : 1;
}
