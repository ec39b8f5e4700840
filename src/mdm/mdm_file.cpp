// Placeholder header reader until the MDM format code lands.
#include "mdm/mdm.h"

void read_mdm_header(FILE*, MdmHeader&) {
    std::printf("Not a valid ssm file.\n");
    fatal_exit(0);
}
