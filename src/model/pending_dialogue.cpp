// Placeholder dialogue, writer and run-header entry points until they land.
#include "model/model.h"
#include "mdm/mdm.h"

void specify_model_interactively(RunSettings&, ModelSpec&, const MdmHeader&) {}
void write_command_file(const char*, CommandFileForm, const RunSettings&, const ModelSpec&, const MdmHeader&) {}
void write_run_header(FILE*, const RunSettings&, const ModelSpec&, const MdmHeader&) {}
