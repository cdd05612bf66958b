#pragma once
// Standard normal values by table look-up: a 16-bit random index picks the quantile
// (i + 0.5) / 65536. Noise for tens of millions of samples a second has to be this cheap;
// the tails end near 4.3 sigma, which a receiver cannot tell from a true Gaussian.

#include <cstdint>

constexpr uint32_t synthGaussianTableSize = 65536;

// The table, built on first use (thread-safe).
const float* synthGaussianTable();

// Inverse of the standard normal distribution function, 0 < p < 1.
double synthInverseNormal(double p);
