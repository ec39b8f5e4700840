// A heterogeneous level-1 variance analysis: the macro iterations, then the
// final report of the last one with the level-1 variance table and the model fit.
#include <cstdio>

#include "app/app.h"
#include "estimation/estimation.h"
#include "extended/extended.h"

void run_hetero_pass(RunSettings& rs, ModelSpec& model, const MdmHeader& mdm, FILE* mdmFile, FILE* out) {
    LinearFit fit;
    HeteroFit het;
    run_hetero_analysis(rs, model, mdm, mdmFile, out, fit, het);
    // The residual files read the per-unit stores, so the stores close last.
    linear_final_reports(rs, model, mdm, mdmFile, out, fit, nullptr, &het);
    release_hetero(het);
    release_linear_fit(fit);
}
