// Placeholder model entry points until the command-file code lands.
#include "model/model.h"
#include "mdm/mdm.h"

void size_model_tables(const MdmHeader&, ModelSpec&) {}
void read_command_file(RunSettings&, ModelSpec&, const MdmHeader&) {}
void check_reserved_names(const MdmHeader&) {}
void specify_model_interactively(RunSettings&, ModelSpec&, const MdmHeader&) {}
void write_command_file(const char*, CommandFileForm, const RunSettings&, const ModelSpec&, const MdmHeader&) {}
void write_run_header(FILE*, const RunSettings&, const ModelSpec&, const MdmHeader&) {}
