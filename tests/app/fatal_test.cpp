// The exit routine's messages, statuses and clean-up, and the interrupt handlers.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/app.h"
#include "app_test_support.h"

namespace {

using namespace apptest;

struct CatalogueCase {
    int code;
    const char* text;
    std::string expected;
};

TEST(FatalExitDeathTest, CatalogueTextsAndStatuses) {
    const CatalogueCase cases[] = {
        {0, "ignored", ""},
        {1, "l1.dat", " l1.dat is an empty file\n"},
        {2, "2", " No more level-2 groups left for analysis!\n"},
        {3, "", " Out of memory. Please run a smaller problem\n"},
        {4, "", " Unexpected end of file on read\n"},
        {5, "", " Unable to write. Full disk?\n"},
        {6, "", " Unable to open temp file\n"},
        {7, "12 3.5 x", " Data do not match format at:\n12 3.5 x\n"},
        {8, "  7", " Error in command file at line   7\n"},
        {9, "cmd.arb", "cmd.arb does not exist\n"},
        {10, "", "Level 1 variables must be specified in the order given in the mdm file\n"},
        {11, "",
         "There is a problem in the fixed portion of the model.  A near singularity is\n"
         "likely.  Possible sources are a collinearity or multicollinearity among the\n"
         "predictors.  We suggest that you examine a correlation matrix among the fixed\n"
         "effect predictors.\n"},
        {12, "Tau", "Matrix Tau is not invertible. Unable to continue\n"},
        {13, "12", "Sum of level-1 weights is zero. Unable to continue\n"},
        {14, "",
         "ARB2 is unable to estimate covariance components for the model specified. It is\n"
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
         "either deleted from the model or treated as fixed.\n"},
        {15, "", "Unable to get a proper response\n"},
        {16, "",
         "ARB2 is unable to compute starting values based on the specified model.\n"
         "Every level-1 predictor matrix is near singular.\n"
         "1) Center one or more level-1 predictors.\n"
         "2) One (or more) of the random effects should be either deleted from the model\n"
         "   or treated as fixed.\n"},
        {17, "", "Program interrupted by user\n"},
        {18, "",
         "There are no degrees of freedom to estimate sigma_squared. Set sigma_squared\n"
         "to a constant, or delete one or more of the random effects from the model.\n"},
        {19, "", "There are no fixed effects!!\n"},
        {20, "",
         "The level-1 weight matrix is near singular.  You may wish to simplify the\n"
         "model by:\n"
         "a) reducing the number of categories;\n"
         "b) reducing the number of random effects.\n"},
        {21, "", "Bad exit code 21\n"},
        {25, "x", "Bad exit code 25\n"},
    };
    for (const CatalogueCase& c : cases) {
        EXPECT_EXIT(
            {
                stdout_to_stderr();
                fatal_exit(c.code, c.text);
            },
            testing::ExitedWithCode(c.code), exactly(c.expected))
            << "code " << c.code;
    }
}

// Report messages go to the open output file; console messages stay on the console.
TEST(FatalExitDeathTest, ReportMessagesGoToTheOutputFile) {
    const struct {
        int code;
        const char* inFile;
        const char* onConsole;
    } cases[] = {
        {12, "Matrix Tau is not invertible. Unable to continue\n", ""},
        {19, "", "There are no fixed effects!!\n"},
    };
    std::string dir = testsupport::make_temp_dir("report");
    for (const auto& c : cases) {
        std::string path = dir + "/out" + std::to_string(c.code) + ".txt";
        EXPECT_EXIT(
            {
                stdout_to_stderr();
                FILE* f = std::fopen(path.c_str(), "w");
                std::fputs("REPORT\n", f);
                exit_state().output = f;
                exit_state().outputFileName = path;
                fatal_exit(c.code, "Tau");
            },
            testing::ExitedWithCode(c.code), exactly(c.onConsole));
        EXPECT_EQ(testsupport::read_file(path), std::string("REPORT\n") + c.inFile) << c.code;
    }
}

// Analyses that move back in the report leave it cut at the last write position.
TEST(FatalExitDeathTest, OutputFileCutOffByKind) {
    const struct {
        AnalysisKind kind;
        int code;
        const char* expected;
    } cases[] = {
        {AnalysisKind::NonLinear, 4, "HEADER"},
        {AnalysisKind::NonLinear, 0, "HEADERstale-text"},
        {AnalysisKind::Multinomial, 4, "HEADERstale-text"},
        {AnalysisKind::Linear, 4, "HEADERstale-text"},
    };
    std::string dir = testsupport::make_temp_dir("cut");
    int n = 0;
    for (const auto& c : cases) {
        std::string path = dir + "/out" + std::to_string(n++) + ".txt";
        EXPECT_EXIT(
            {
                FILE* f = std::fopen(path.c_str(), "w+");
                std::fputs("HEADERstale-text", f);
                std::fseek(f, 6, SEEK_SET);
                exit_state().output = f;
                exit_state().outputFileName = path;
                exit_state().kind = c.kind;
                fatal_exit(c.code);
            },
            testing::ExitedWithCode(c.code), "");
        EXPECT_EQ(testsupport::read_file(path), c.expected) << path;
    }
}

TEST(FatalExitDeathTest, RemovesTheTemporaryFiles) {
    std::string dir = testsupport::make_temp_dir("tempnames");
    EXPECT_EXIT(
        {
            setenv("TMP", dir.c_str(), 1);
            exit_state().tempNames[0] = make_temp_name();
            exit_state().tempNames[1] = make_temp_name();
            exit_state().tempNames[2] = dir + "/never-created";
            if (testsupport::list_dir(dir).size() != 2) std::exit(50);
            fatal_exit(8, "1");
        },
        testing::ExitedWithCode(8), "");
    EXPECT_TRUE(testsupport::list_dir(dir).empty());
}

// Sends SIGFPE to this thread with a chosen subcode, as the hardware would.
void raise_fpe(int code) {
    siginfo_t info;
    std::memset(&info, 0, sizeof info);
    info.si_signo = SIGFPE;
    info.si_code = code;
    syscall(SYS_rt_tgsigqueueinfo, getpid(), syscall(SYS_gettid), SIGFPE, &info);
}

TEST(SignalDeathTest, FloatingPointSubcodes) {
    const std::string tail = "No sense in going on.\n";
    const struct {
        int code;
        std::string expected;
    } cases[] = {
        {FPE_FLTINV, "\nError:\nInvalid floating point number encountered by program.\n" + tail},
        {FPE_FLTDIV, "\nError:\nAttempted division by zero encountered by program.\n" + tail},
        {FPE_INTDIV, "\nError:\nAttempted division by zero encountered by program.\n" + tail},
        {FPE_FLTOVF, "\nError:\nProgram encountered floating point overflow.\n" + tail},
        {FPE_FLTRES, "\nError:\nInexact floating point result encountered by program.\n" + tail},
        {FPE_INTOVF, "\nError:\n" + tail},
    };
    for (const auto& c : cases) {
        EXPECT_EXIT(
            {
                stdout_to_stderr();
                install_handlers();
                raise_fpe(c.code);
                std::exit(99);
            },
            testing::ExitedWithCode(0), exactly(c.expected))
            << c.code;
    }
}

TEST(SignalDeathTest, UnderflowGoesOn) {
    EXPECT_EXIT(
        {
            stdout_to_stderr();
            install_handlers();
            raise_fpe(FPE_FLTUND);
            std::printf("still running\n");
            std::exit(7);
        },
        testing::ExitedWithCode(7), exactly("\nError:\nstill running\n"));
}

TEST(SignalDeathTest, InterruptsEndTheRun) {
    const struct {
        int sig;
        const char* expected;
    } cases[] = {
        {SIGINT, "Program interrupted by Ctrl-C\n"},
        {SIGQUIT, "Program interrupted by Ctrl-Break\n"},
        {SIGTERM, "Program interrupted by termination request\n"},
    };
    for (const auto& c : cases) {
        EXPECT_EXIT(
            {
                stdout_to_stderr();
                install_handlers();
                raise(c.sig);
                std::exit(99);
            },
            testing::ExitedWithCode(0), exactly(c.expected))
            << c.sig;
    }
}

TEST(SoftInterruptDeathTest, AnswersDecideBetweenStoppingAndExiting) {
    const std::string prompt = "Enter 0 to stop iterating, 1 to exit now ";
    const struct {
        const char* name;
        const char* answers;
        int status;
        std::string expected;
        void (*body)();
    } cases[] = {
        {"0 stops iterating once; the soft handler comes back", "0\n0\n", 10, prompt + "stop\n" + prompt,
         [] {
             raise(SIGINT);
             if (check_soft_interrupt()) std::printf("stop\n");
             if (check_soft_interrupt()) std::exit(11);  // no new request: nothing asked
             raise(SIGINT);
             std::exit(check_soft_interrupt() ? 10 : 12);
         }},
        {"1 exits now", "1\n", 0, prompt,
         [] {
             raise(SIGINT);
             check_soft_interrupt();
             std::exit(11);
         }},
        {"a second Ctrl-C before the check ends the run", "", 0, "Program interrupted by Ctrl-C\n",
         [] {
             raise(SIGINT);
             raise(SIGINT);
             std::exit(11);
         }},
    };
    for (const auto& c : cases) {
        EXPECT_EXIT(
            {
                stdout_to_stderr();
                feed_stdin(c.answers);
                install_handlers();
                install_soft_interrupt();
                c.body();
            },
            testing::ExitedWithCode(c.status), exactly(c.expected))
            << c.name;
    }
}

}  // namespace
