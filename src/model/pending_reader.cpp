// Placeholder command-file reader entry points until the reader lands.
#include "model/model.h"
#include "mdm/mdm.h"

void size_model_tables(const MdmHeader&, ModelSpec&) {}
void read_command_file(RunSettings&, ModelSpec&, const MdmHeader&) {}
void check_reserved_names(const MdmHeader&) {}
