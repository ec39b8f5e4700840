// Steps of the run driver that are worth reaching one at a time.
#pragma once

#include <cstdio>

#include "mdm/mdm.h"
#include "model/model.h"

/// What the command line settled besides RunSettings.
struct CommandLine {
    bool templateGiven = false;  ///< -r named an MDM creation template
    MdmCreation creation;        ///< filled by the template reader
};

/// Parses the options and operands into `rs` and `cl`; ends the run on a bad option.
void parse_command_line(int argc, char** argv, RunSettings& rs, CommandLine& cl);
/// Creates or updates "mixyzzy.dat" for a multiple-imputation pass and leaves it positioned for appending.
FILE* start_mi_results(const RunSettings& rs);
/// Moves the model on to the next plausible value and writes its command file; false when none is left.
bool next_plausible_value(RunSettings& rs, ModelSpec& model, const MdmHeader& mdm);
