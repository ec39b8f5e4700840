// Placeholder console dialogue until it lands.
#include "model/model.h"
#include "mdm/mdm.h"

void specify_model_interactively(RunSettings&, ModelSpec&, const MdmHeader&) {}
