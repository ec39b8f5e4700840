// Process entry point: hands the command line to the run driver.
int run_driver(int argc, char** argv);

int main(int argc, char** argv) { return run_driver(argc, argv); }
