// Run driver: start-up, the command line and the order of one run.
#include "app/app.h"

int run_driver(int, char**) {
    install_handlers();
    fatal_exit(0);
}
