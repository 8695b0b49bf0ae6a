#include "process.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr uid_t NOBODY = 65534;

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

[[noreturn]] void startChild(const std::string& program, const std::vector<std::string>& args,
                             const RunOptions& options, const std::string& outPath,
                             const std::string& errPath) {
    const int in = open("/dev/null", O_RDONLY);
    const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
    const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
    if (in < 0 || out < 0 || err < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) {
        _exit(120);
    }
    if (options.fileSizeLimit > 0) {
        const rlimit limit = {options.fileSizeLimit, options.fileSizeLimit};
        signal(SIGXFSZ, SIG_IGN);
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0) {
            _exit(121);
        }
    }
    if (options.unprivileged && geteuid() == 0 && (setgid(NOBODY) != 0 || setuid(NOBODY) != 0)) {
        _exit(122);
    }
    if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) {
        _exit(123);
    }
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& arg : args) {
        argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(124);
}

} // namespace

RunResult runProgram(const std::string& program, const std::vector<std::string>& args,
                     const RunOptions& options) {
    const std::string streams = makeScratchDir();
    const std::string outPath = streams + "/out";
    const std::string errPath = streams + "/err";
    RunResult result;
    const pid_t child = fork();
    if (child == 0) {
        startChild(program, args, options, outPath, errPath);
    }
    int status = 0;
    if (child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status)) {
        result.status = WEXITSTATUS(status);
    }
    result.out = slurp(outPath);
    result.err = slurp(errPath);
    removeTree(streams);
    return result;
}

std::string makeScratchDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/tarvelin-test-XXXXXX";
    if (!mkdtemp(pattern.data())) {
        std::abort();
    }
    chmod(pattern.c_str(), 0777);
    return pattern;
}

void removeTree(const std::string& path) {
    std::error_code ignored;
    std::filesystem::permissions(path, std::filesystem::perms::all, ignored);
    for (const auto& item : std::filesystem::recursive_directory_iterator(path, ignored)) {
        std::filesystem::permissions(item.path(), std::filesystem::perms::all, ignored);
    }
    std::filesystem::remove_all(path, ignored);
}

void setMode(const std::string& path, unsigned mode) {
    chmod(path.c_str(), mode_t(mode));
}

bool runningAsRoot() {
    return geteuid() == 0;
}

int failureStatus() {
    return 255;
}
