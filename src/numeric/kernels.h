// Inner loops shared by the matrix routines: unit-stride, unrolled four at a
// time, each element still updated one term at a time so the result is the
// same as the plain loop.
#pragma once

namespace numeric_detail {

/// y[j] += a * x[j] for j = 0 .. n-1.
inline void axpy(int n, double a, const double* x, double* y)
{
    int j = 0;
    for (; j + 4 <= n; j += 4) {
        y[j] += a * x[j];
        y[j + 1] += a * x[j + 1];
        y[j + 2] += a * x[j + 2];
        y[j + 3] += a * x[j + 3];
    }
    for (; j < n; ++j) y[j] += a * x[j];
}

/// y[j] -= a * x[j] for j = 0 .. n-1.
inline void axmy(int n, double a, const double* x, double* y)
{
    int j = 0;
    for (; j + 4 <= n; j += 4) {
        y[j] -= a * x[j];
        y[j + 1] -= a * x[j + 1];
        y[j + 2] -= a * x[j + 2];
        y[j + 3] -= a * x[j + 3];
    }
    for (; j < n; ++j) y[j] -= a * x[j];
}

/// start + x[0]*y[0] + x[1]*y[1] + ..., added in ascending order.
inline double dot_from(double start, int n, const double* x, const double* y)
{
    double s = start;
    int l = 0;
    for (; l + 4 <= n; l += 4) {
        s += x[l] * y[l];
        s += x[l + 1] * y[l + 1];
        s += x[l + 2] * y[l + 2];
        s += x[l + 3] * y[l + 3];
    }
    for (; l < n; ++l) s += x[l] * y[l];
    return s;
}

/// start - x[0]*y[0] - x[1]*y[1] - ..., subtracted in ascending order.
inline double dot_sub_from(double start, int n, const double* x, const double* y)
{
    double s = start;
    int l = 0;
    for (; l + 4 <= n; l += 4) {
        s -= x[l] * y[l];
        s -= x[l + 1] * y[l + 1];
        s -= x[l + 2] * y[l + 2];
        s -= x[l + 3] * y[l + 3];
    }
    for (; l < n; ++l) s -= x[l] * y[l];
    return s;
}

/// Sets n doubles to 0.
inline void zero(int n, double* y)
{
    for (int j = 0; j < n; ++j) y[j] = 0.0;
}

}  // namespace numeric_detail
