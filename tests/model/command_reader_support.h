// Helpers shared by the command-file reader tests: an in-memory HSB header,
// command files in a scratch directory, captured and death-test reads.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "mdm/mdm.h"
#include "model/model.h"
#include "support/test_support.h"

namespace readertest {

/// Header with the given level-1 names and the six HSB level-2 names.
inline MdmHeader header_with(const std::vector<const char*>& l1) {
    MdmHeader h;
    h.numL1Vars = (int)l1.size();
    h.numL2Vars = 6;
    h.hasMissing = 1;
    h.l1Names.push_back(make_variable_name("INTRCPT1"));
    for (const char* n : l1) h.l1Names.push_back(make_variable_name(n));
    for (const char* n : {"INTRCPT2", "SIZE", "SECTOR", "PRACAD", "DISCLIM", "HIMINTY", "MEANSES"})
        h.l2Names.push_back(make_variable_name(n));
    return h;
}

/// Level-1 slots MINORITY 1, FEMALE 2, SES 3, MATHACH 4; level-2 SIZE 1 .. MEANSES 6.
inline MdmHeader hsb() { return header_with({"MINORITY", "FEMALE", "SES", "MATHACH"}); }

/// The intercepts- and slopes-as-outcomes model: six fixed effects.
inline const std::string MODEL =
    "LEVEL1:MATHACH=INTRCPT1+SES,1+RANDOM\n"
    "LEVEL2:INTRCPT1=INTRCPT2+SECTOR+MEANSES,2+RANDOM/\n"
    "LEVEL2:SES=INTRCPT2+SECTOR+MEANSES,2+RANDOM/\n";

/// Scratch directory shared by the reader tests of one program.
inline std::string dir() {
    static std::string d = testsupport::make_temp_dir("reader");
    return d;
}

/// Writes a command file into the scratch directory and returns its path.
inline std::string write_cmd(const std::string& text, const std::string& name = "run.cmd") {
    std::string path = dir() + "/" + name;
    testsupport::write_file(path, text);
    return path;
}

/// Death-test body: reads with the console on the error stream, where the regex looks;
/// status 99 means the read went on to the end.
inline void read_to_stderr(const std::string& path, const MdmHeader& mdm) {
    dup2(2, 1);
    RunSettings rs;
    ModelSpec model;
    rs.commandFileName = path;
    read_command_file(rs, model, mdm);
    std::fflush(stdout);
    std::_Exit(99);
}

/// Settings, model and console output of one read.
struct Parsed {
    RunSettings rs;
    ModelSpec model;
    std::string out;
};

/// Reads a command text with the console captured; pauses are answered from a file.
inline Parsed read_text(const std::string& text, const MdmHeader& mdm = hsb()) {
    Parsed p;
    std::string answers = write_cmd("\n\n\n\n\n\n", "answers.txt");
    EXPECT_NE(std::freopen(answers.c_str(), "r", stdin), nullptr);
    testing::internal::CaptureStdout();
    p.rs.commandFileName = write_cmd(text);
    read_command_file(p.rs, p.model, mdm);
    std::fflush(stdout);
    p.out = testing::internal::GetCapturedStdout();
    EXPECT_NE(std::freopen("/dev/null", "r", stdin), nullptr);
    return p;
}

}  // namespace readertest
