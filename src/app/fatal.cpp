// The exit routine with its message catalogue, the signal handlers and the
// soft Ctrl-C used by the iteration loops.
#include <signal.h>
#include <unistd.h>

#include <cfenv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "app/base.h"

namespace {

// Set by the soft Ctrl-C handler, polled by check_soft_interrupt.
volatile sig_atomic_t g_interruptRequested = 0;
// Set once fatal_exit has begun, so a signal during the exit wait ends at once.
volatile sig_atomic_t g_exiting = 0;

// Where report messages go: the output file, or the console when none is open.
FILE* report_stream() {
    FILE* out = exit_state().output;
    return out != nullptr ? out : stdout;
}

// Prints the catalogue text of `code`, or "Bad exit code" for any other.
void print_catalogue_message(int code, const char* text) {
    FILE* rep = report_stream();
    switch (code) {
        case 0: break;
        case 1: std::printf(" %s is an empty file\n", text); break;
        case 2: std::printf(" No more level-%s groups left for analysis!\n", text); break;
        case 3: std::printf(" Out of memory. Please run a smaller problem\n"); break;
        case 4: std::printf(" Unexpected end of file on read\n"); break;
        case 5: std::printf(" Unable to write. Full disk?\n"); break;
        case 6: std::printf(" Unable to open temp file\n"); break;
        case 7: std::printf(" Data do not match format at:\n%s\n", text); break;
        case 8: std::printf(" Error in command file at line %s\n", text); break;
        case 9: std::printf("%s does not exist\n", text); break;
        case 10:
            std::printf("Level 1 variables must be specified in the order given in the mdm file\n");
            break;
        case 11:
            std::fprintf(rep,
                         "There is a problem in the fixed portion of the model.  A near singularity is\n"
                         "likely.  Possible sources are a collinearity or multicollinearity among the\n"
                         "predictors.  We suggest that you examine a correlation matrix among the fixed\n"
                         "effect predictors.\n");
            break;
        case 12: std::fprintf(rep, "Matrix %s is not invertible. Unable to continue\n", text); break;
        case 13: std::printf("Sum of level-%1.1s weights is zero. Unable to continue\n", text); break;
        case 14:
            std::fprintf(rep,
                         "%s is unable to estimate covariance components for the model specified. It is\n"
                         "likely that either:\n\n"
                         "    1. one or more of the variance components is very close to zero and the\n"
                         "       reliability of the associated random effect is also close to zero, or\n"
                         "    2. there is a collinearity or multicollinearity among the random effects. In\n"
                         "       this case, the estimated correlations among the random effects would\n"
                         "       be close to 1.0, or\n"
                         "    3. one or more of the OLS level-1 regressions produced extreme values.\n"
                         "       Review the OLS estimates for all groups. If this is the source of the\n"
                         "       problem, use the fixtau=5 option to manually reset the tau(0) matrix.\n\n"
                         "The model should be respecified.  One (or more) of the random effects must be\n"
                         "either deleted from the model or treated as fixed.\n",
                         PROGRAM_NAME);
            break;
        case 15: std::printf("Unable to get a proper response\n"); break;
        case 16:
            std::fprintf(rep,
                         "%s is unable to compute starting values based on the specified model.\n"
                         "Every level-1 predictor matrix is near singular.\n"
                         "1) Center one or more level-1 predictors.\n"
                         "2) One (or more) of the random effects should be either deleted from the model\n"
                         "   or treated as fixed.\n",
                         PROGRAM_NAME);
            break;
        case 17: std::printf("Program interrupted by user\n"); break;
        case 18:
            std::fprintf(rep,
                         "There are no degrees of freedom to estimate sigma_squared. Set sigma_squared\n"
                         "to a constant, or delete one or more of the random effects from the model.\n");
            break;
        case 19: std::printf("There are no fixed effects!!\n"); break;
        case 20:
            std::fprintf(rep,
                         "The level-1 weight matrix is near singular.  You may wish to simplify the\n"
                         "model by:\n"
                         "a) reducing the number of categories;\n"
                         "b) reducing the number of random effects.\n");
            break;
        default: std::printf("Bad exit code %d\n", code); break;
    }
}

// The console is the output "file" when the name is stdout in any case.
bool output_is_console(const ExitState& st) {
    return st.output == stdout || strcasecmp(st.outputFileName.c_str(), "stdout") == 0;
}

void remove_temp_names(ExitState& st) {
    for (std::string& name : st.tempNames) {
        if (!name.empty()) std::remove(name.c_str());
        name.clear();
    }
    if (!st.unfinishedFile.empty()) std::remove(st.unfinishedFile.c_str());
    st.unfinishedFile.clear();
}

void print_line(const char* text) {
    std::printf("%s\n", text);
}

void on_fpe(int, siginfo_t* info, void*) {
    print_line("\nError:");
    const char* text = nullptr;
    switch (info != nullptr ? info->si_code : 0) {
        case FPE_FLTINV: text = "Invalid floating point number encountered by program."; break;
        case FPE_FLTDIV:
        case FPE_INTDIV: text = "Attempted division by zero encountered by program."; break;
        case FPE_FLTOVF: text = "Program encountered floating point overflow."; break;
        case FPE_FLTUND:
            // Underflow is harmless: reset the exception state and go on computing.
            std::feclearexcept(FE_ALL_EXCEPT);
            std::fflush(stdout);
            return;
        case FPE_FLTRES: text = "Inexact floating point result encountered by program."; break;
        default: break;
    }
    if (text != nullptr) print_line(text);
    print_line("No sense in going on.");
    fatal_exit(0);
}

void on_ctrl_c(int) {
    print_line("Program interrupted by Ctrl-C");
    fatal_exit(0);
}

// SIGQUIT is the nearest thing to Ctrl-Break on this platform.
void on_ctrl_break(int) {
    print_line("Program interrupted by Ctrl-Break");
    fatal_exit(0);
}

void on_terminate(int) {
    print_line("Program interrupted by termination request");
    fatal_exit(0);
}

// Soft Ctrl-C: only note the request; a second Ctrl-C before the next check ends the run.
void on_soft_ctrl_c(int) {
    g_interruptRequested = 1;
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_ctrl_c;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
}

void set_handler(int sig, void (*handler)(int)) {
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = handler;
    sigemptyset(&sa.sa_mask);
    sigaction(sig, &sa, nullptr);
}

void on_out_of_memory() { fatal_exit(3); }

}  // namespace

ExitState& exit_state() {
    static ExitState state;
    return state;
}

std::string temp_directory() {
    const char* dir = std::getenv("TMP");
    if (dir == nullptr || dir[0] == '\0') return "/tmp";
    return dir;
}

std::string make_temp_name() {
    // A TMP that names no usable directory falls back to /tmp: these names
    // need not exist yet, but they must be writable when a pass needs one.
    for (const std::string& dir : {temp_directory(), std::string("/tmp")}) {
        std::string pattern = dir + "/arb2XXXXXX";
        std::vector<char> buf(pattern.begin(), pattern.end());
        buf.push_back('\0');
        int fd = mkstemp(buf.data());
        if (fd < 0) continue;
        close(fd);
        return std::string(buf.data());
    }
    return std::string();
}

void fatal_exit(int code, const char* text) {
    if (text == nullptr) text = "";
    ExitState& st = exit_state();
    if (g_exiting) {
        // A signal arrived while the exit routine ran: finish without waiting.
        remove_temp_names(st);
        std::_Exit(code);
    }
    g_exiting = 1;

    print_catalogue_message(code, text);

    // Non-linear and multinomial analyses rewrite parts of the report, so the
    // file is cut at the last write position before it is closed.
    bool rewritesReport = st.kind == AnalysisKind::NonLinear || st.kind == AnalysisKind::Multinomial;
    if (code != 0 && rewritesReport && st.output != nullptr) {
        if (!output_is_console(st) && st.kind == AnalysisKind::NonLinear) {
            std::fflush(st.output);
            long pos = std::ftell(st.output);
            if (pos >= 0 && ftruncate(fileno(st.output), pos) != 0) {
                // Nothing more can be done about a file that will not shrink.
            }
        }
        if (st.output != stdout) std::fclose(st.output);
        st.output = nullptr;
    }

    if (st.closeScratch != nullptr) st.closeScratch();
    std::fflush(nullptr);

    st.waitAtExit += 1;
    remove_temp_names(st);

    const char* noWait = std::getenv("ARB2_NO_EXIT_WAIT");
    bool skipWait = st.skipExitWait || (noWait != nullptr && noWait[0] != '\0');
    if (st.waitAtExit && !skipWait) wait_seconds(3);
    std::exit(code);
}

void install_handlers() {
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_sigaction = on_fpe;
    sa.sa_flags = SA_SIGINFO;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGFPE, &sa, nullptr);

    set_handler(SIGINT, on_ctrl_c);
    set_handler(SIGQUIT, on_ctrl_break);
    set_handler(SIGTERM, on_terminate);

    // The C library here has no math-error hook to install: domain and range
    // errors just return their default results (NaN, inf) and set errno.

    std::set_new_handler(on_out_of_memory);
}

void install_soft_interrupt() {
    g_interruptRequested = 0;
    set_handler(SIGINT, on_soft_ctrl_c);
}

bool check_soft_interrupt() {
    bool stop = false;
    if (g_interruptRequested) {
        int answer = ask_int(0, 1, "Enter 0 to stop iterating, 1 to exit now");
        if (answer == 1) fatal_exit(0);
        stop = true;
    }
    g_interruptRequested = 0;
    set_handler(SIGINT, on_soft_ctrl_c);
    return stop;
}
