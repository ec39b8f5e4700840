#include "support/test_support.h"

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace testsupport {

std::string make_temp_dir(const std::string& tag) {
    std::string templ = (fs::temp_directory_path() / ("arb2test-" + tag + "-XXXXXX")).string();
    std::vector<char> buf(templ.begin(), templ.end());
    buf.push_back('\0');
    char* made = mkdtemp(buf.data());
    return made ? std::string(made) : std::string();
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void write_file(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
}

std::vector<std::string> list_dir(const std::string& dir) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dir, ec)) names.push_back(e.path().filename().string());
    return names;
}

std::string data_path(const std::string& name) { return std::string(ARB2_TEST_DATA) + "/" + name; }

void copy_data(const std::string& name, const std::string& dir) {
    fs::copy_file(data_path(name), fs::path(dir) / fs::path(name).filename(),
                  fs::copy_options::overwrite_existing);
}

RunResult run_arb2(const std::string& args, const std::string& workdir, const std::string& input,
                   const std::string& tmpdir) {
    std::string inFile = workdir + "/.stdin.txt";
    write_file(inFile, input);
    std::string cmd = "cd '" + workdir + "' && ARB2_NO_EXIT_WAIT=1 ";
    if (!tmpdir.empty()) cmd += "TMP='" + tmpdir + "' ";
    cmd += "'" + std::string(ARB2_EXE) + "' " + args + " < .stdin.txt 2>&1";
    RunResult r;
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return r;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
    int st = pclose(p);
    fs::remove(inFile);
    if (WIFEXITED(st)) r.status = WEXITSTATUS(st);
    return r;
}

}  // namespace testsupport
