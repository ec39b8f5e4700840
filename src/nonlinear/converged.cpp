// Convergence of the non-linear iterations: relative change of every parameter.
#include <cmath>

#include "nonlinear/refine.h"

namespace {

// Largest relative change allowed is tested against this floor.
constexpr double CHANGE_FLOOR = 1e-8;

bool changed(double oldValue, double newValue, double criterion)
{
    if (oldValue == 0.0) return false;
    double d = std::fabs((newValue - oldValue) / oldValue);
    if (d < CHANGE_FLOOR) d = CHANGE_FLOOR;
    return d > criterion;
}

}  // namespace

int nonlinear_converged(int F, const double* gammaOld, const double* gammaNew, int q, const double* tauOld,
                        const double* tauNew, double criterion)
{
    for (int k = 0; k < F; ++k)
        if (changed(gammaOld[k], gammaNew[k], criterion)) return 0;
    for (int a = 0; a < q; ++a)
        for (int b = 0; b <= a; ++b)
            if (changed(tauOld[a * q + b], tauNew[a * q + b], criterion)) return 0;
    return 1;
}
