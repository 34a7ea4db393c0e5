// A literal, one-step-at-a-time transcription of the minimiser, kept apart
// from the solver's code so that tests and benchmarks can compare against it.
#ifndef TARVENLOCH_TESTS_REFERENCE_H
#define TARVENLOCH_TESTS_REFERENCE_H

#include <cstdint>

namespace reference {

void sort(double *s, int32_t m);
double minimize(double a, double b, const double *p, const double *q, int32_t n);

}  // namespace reference

#endif
