#include "support/test_support.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace testsupport {

namespace {
// Every test program runs without the exit routine's wait.
const bool kNoExitWait = (setenv("ARB2_NO_EXIT_WAIT", "1", 1), true);
}  // namespace

void console_to_stderr() {
    std::fflush(stdout);
    dup2(STDERR_FILENO, STDOUT_FILENO);
    std::setvbuf(stdout, nullptr, _IONBF, 0);
}

void feed_stdin(const std::string& text) {
    static const std::string dir = make_temp_dir("stdin");
    write_file(dir + "/answers.txt", text);
    if (std::freopen((dir + "/answers.txt").c_str(), "r", stdin) == nullptr) std::abort();
}

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

std::vector<std::pair<std::string, std::string>> read_cases(const std::string& name) {
    std::vector<std::pair<std::string, std::string>> cases;
    std::istringstream in(read_file(data_path(name)));
    for (std::string line; std::getline(in, line);) {
        if (line == "====" || line.rfind("==== ", 0) == 0) cases.push_back({line.substr(std::min<std::size_t>(5, line.size())), ""});
        else if (!cases.empty()) cases.back().second += line + "\n";
    }
    return cases;
}

ChildResult in_child(const std::function<void()>& fn) {
    setenv("ARB2_NO_EXIT_WAIT", "1", 1);
    std::fflush(nullptr);
    int fds[2];
    ChildResult r;
    if (pipe(fds) != 0) return r;
    pid_t pid = fork();
    if (pid == 0) {
        inForkedChild = true;
        close(fds[0]);
        dup2(fds[1], 1);
        dup2(fds[1], 2);
        fn();
        std::fflush(nullptr);
        _exit(77);
    }
    close(fds[1]);
    char buf[4096];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0) r.out.append(buf, static_cast<std::size_t>(n));
    close(fds[0]);
    int st = 0;
    waitpid(pid, &st, 0);
    if (WIFEXITED(st)) r.status = WEXITSTATUS(st);
    return r;
}

std::string mask_volatile(const std::string& text) {
    std::istringstream in(text);
    std::string line, out;
    while (std::getline(in, line)) {
        for (const char* key : {" Module:", " Date:", " Time:"})
            if (line.rfind(key, 0) == 0) line = std::string(key) + " <masked>";
        out += line + "\n";
    }
    if (!text.empty() && text.back() != '\n') out.pop_back();
    return out;
}

void expect_golden(const std::string& name, const std::string& text) {
    const std::string path = data_path("golden/" + name), masked = mask_volatile(text);
    if (std::getenv("ARB2_UPDATE_GOLDEN")) write_file(path, masked);
    EXPECT_EQ(read_file(path), masked) << "golden file " << name;
}

std::string capture(const std::function<void(FILE*)>& write) {
    char* buf = nullptr;
    std::size_t size = 0;
    FILE* f = open_memstream(&buf, &size);
    write(f);
    std::fclose(f);
    std::string s(buf, size);
    std::free(buf);
    return s;
}

}  // namespace testsupport
