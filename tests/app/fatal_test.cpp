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

// Every code of the catalogue, with the text its callers pass: message and status.
TEST(FatalExit, CatalogueTextsAndStatuses) {
    const char* texts[] = {"ignored", "l1.dat", "2", "", "", "", "", "12 3.5 x", "  7", "cmd.arb", "", "", "Tau",
                           "12", "", "", "", "", "", "", "", "", "", "", "", "x"};
    std::string all;
    for (int code = 0; code <= 25; ++code) {
        if (code > 21 && code < 25) continue;
        testsupport::ChildResult r = testsupport::in_child([&] { fatal_exit(code, texts[code]); });
        all += "==== code " + std::to_string(code) + ", status " + std::to_string(r.status) + "\n" + r.out;
    }
    testsupport::expect_golden("fatal_catalogue.txt", all);
}

// Report messages go to the open output file, console messages stay on the console; analyses
// that move back in the report leave it cut at the last write position.
TEST(FatalExitDeathTest, OutputFileByMessageAndKind) {
    using K = AnalysisKind;
    const struct { int code; K kind; long at; const char* expected; std::string console; } cases[] = {
        {12, K::Linear, 16, "HEADERstale-textMatrix Tau is not invertible. Unable to continue\n", exactly("")},
        {19, K::Linear, 16, "HEADERstale-text", exactly("There are no fixed effects!!\n")},
        {4, K::NonLinear, 6, "HEADER", ""},
        {0, K::NonLinear, 6, "HEADERstale-text", ""},
        {4, K::Multinomial, 6, "HEADERstale-text", ""},
        {4, K::Linear, 6, "HEADERstale-text", ""},
    };
    std::string dir = testsupport::make_temp_dir("cut");
    int n = 0;
    for (const auto& c : cases) {
        std::string path = dir + "/out" + std::to_string(n++) + ".txt";
        EXPECT_EXIT(
            {
                stdout_to_stderr();
                FILE* f = std::fopen(path.c_str(), "w+");
                std::fputs("HEADERstale-text", f);
                std::fseek(f, c.at, SEEK_SET);
                exit_state().output = f;
                exit_state().outputFileName = path;
                exit_state().kind = c.kind;
                fatal_exit(c.code, "Tau");
            },
            testing::ExitedWithCode(c.code), c.console);
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

// Floating-point subcodes (underflow goes on), Ctrl-C, Ctrl-Break and termination requests.
TEST(Signals, MessagesAndStatuses) {
    const struct { int sig, code; const char* what; } cases[] = {
        {SIGFPE, FPE_FLTINV, "invalid"}, {SIGFPE, FPE_FLTDIV, "division"}, {SIGFPE, FPE_INTDIV, "integer division"},
        {SIGFPE, FPE_FLTOVF, "overflow"}, {SIGFPE, FPE_FLTRES, "inexact"}, {SIGFPE, FPE_INTOVF, "integer overflow"},
        {SIGFPE, FPE_FLTUND, "underflow"}, {SIGINT, 0, "Ctrl-C"}, {SIGQUIT, 0, "Ctrl-Break"}, {SIGTERM, 0, "termination"}};
    std::string all;
    for (const auto& c : cases) {
        testsupport::ChildResult r = testsupport::in_child([&] {
            install_handlers();
            if (c.sig == SIGFPE) raise_fpe(c.code);
            else raise(c.sig);
            std::printf("still running\n");
        });
        all += std::string("==== ") + c.what + ", status " + std::to_string(r.status) + "\n" + r.out;
    }
    testsupport::expect_golden("fatal_signals.txt", all);
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
