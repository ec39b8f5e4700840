// Placeholder entry points of MDM creation until the builder lands.
#include "mdm/mdm.h"

void read_mdm_template(const char*, MdmCreation&) {
    std::printf("MDM creation is not available in this build.\n");
    fatal_exit(0);
}
void creation_dialogue(MdmCreation& c) { read_mdm_template("", c); }
void vknown_creation_dialogue(MdmCreation& c) { read_mdm_template("", c); }
BuildCounts build_mdm(const MdmCreation&, FILE*) { return {}; }
BuildCounts build_vknown_mdm(const MdmCreation&, FILE*) { return {}; }
