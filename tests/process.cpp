#include "process.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

namespace {

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

} // namespace

void removeTree(const std::string& path) {
    std::error_code ignored;
    std::filesystem::permissions(path, std::filesystem::perms::all, ignored);
    for (const auto& item : std::filesystem::recursive_directory_iterator(path, ignored)) {
        std::filesystem::permissions(item.path(), std::filesystem::perms::all, ignored);
    }
    std::filesystem::remove_all(path, ignored);
}

#ifdef _WIN32
#include "platform_windows.h"

#include <windows.h>

namespace {

// Quotes one argument the way the C runtime splits a command line; a pattern such as
// *.m3 is left bare so that the runtime may expand it.
std::string quoteArgument(const std::string& arg) {
    if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) {
        return arg;
    }
    std::string quoted = "\"";
    size_t backslashes = 0;
    for (const char c : arg) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        quoted.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
        backslashes = 0;
        quoted += c;
    }
    quoted.append(backslashes * 2, '\\');
    return quoted + "\"";
}

HANDLE inheritable(const std::string& path, DWORD access, DWORD disposition) {
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    return CreateFileA(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                       disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

int runAndWait(const std::string& program, const std::vector<std::string>& args,
               const RunOptions& options, const std::string& outPath, const std::string& errPath) {
    std::string commandLine = quoteArgument(program);
    for (const std::string& arg : args) {
        commandLine += " " + quoteArgument(arg);
    }
    HANDLE in = inheritable("NUL", GENERIC_READ, OPEN_EXISTING);
    HANDLE out = inheritable(outPath, GENERIC_WRITE, CREATE_ALWAYS);
    HANDLE err = inheritable(errPath, GENERIC_WRITE, CREATE_ALWAYS);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = in;
    startup.hStdOutput = out;
    startup.hStdError = err;
    PROCESS_INFORMATION process = {};
    int status = -1;
    // The command line is UTF-8 here and UTF-16 for Windows, converted as the program
    // converts names, so that any file name passes.
    std::wstring wideCommand = toUtf16(commandLine);
    const std::wstring wideCwd = toUtf16(options.cwd);
    std::wstring temp(32768, L'\0');
    temp.resize(GetEnvironmentVariableW(L"TEMP", &temp[0], DWORD(temp.size())));
    if (!options.tempFolder.empty()) {
        SetEnvironmentVariableW(L"TEMP", toUtf16(options.tempFolder).c_str());
        SetEnvironmentVariableW(L"TMP", toUtf16(options.tempFolder).c_str());
    }
    const bool started =
        CreateProcessW(nullptr, &wideCommand[0], nullptr, nullptr, TRUE, 0, nullptr,
                       options.cwd.empty() ? nullptr : wideCwd.c_str(), &startup, &process);
    if (!started) {
        std::fprintf(stderr, "CreateProcessW failed: %lu\n", GetLastError());
        status = -2;
    }
    if (!options.tempFolder.empty()) {
        SetEnvironmentVariableW(L"TEMP", temp.c_str());
        SetEnvironmentVariableW(L"TMP", temp.c_str());
    }
    if (started) {
        WaitForSingleObject(process.hProcess, INFINITE);
        DWORD code = 0;
        GetExitCodeProcess(process.hProcess, &code);
        status = int(code);
        CloseHandle(process.hProcess);
        CloseHandle(process.hThread);
    }
    CloseHandle(in);
    CloseHandle(out);
    CloseHandle(err);
    return status;
}

// The console streams are text: line ends arrive as CR LF and are compared as LF.
std::string consoleText(const std::string& text) {
    std::string plain;
    for (size_t i = 0; i < text.size(); ++i) {
        if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) {
            plain += text[i];
        }
    }
    return plain;
}

} // namespace

std::string makeScratchDir() {
    static unsigned serial = 0;
    char base[MAX_PATH + 1] = {};
    GetTempPathA(sizeof base, base);
    for (;;) {
        const std::string dir = std::string(base) + "tarvelin-test-" +
                                std::to_string(GetCurrentProcessId()) + "-" +
                                std::to_string(serial++);
        if (CreateDirectoryA(dir.c_str(), nullptr)) {
            return dir;
        }
        if (GetLastError() != ERROR_ALREADY_EXISTS) {
            std::abort();
        }
    }
}

void setMode(const std::string&, unsigned) {}

int failureStatus() {
    return -1;
}

RunResult runProgram(const std::string& program, const std::vector<std::string>& args,
                     const RunOptions& options) {
    const std::string streams = makeScratchDir();
    const std::string outPath = streams + "/out";
    const std::string errPath = streams + "/err";
    RunResult result;
    result.status = runAndWait(program, args, options, outPath, errPath);
    result.out = consoleText(slurp(outPath));
    result.err = slurp(errPath);
    removeTree(streams);
    return result;
}

#else
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr uid_t NOBODY = 65534;

[[noreturn]] void startChild(const std::string& program, const std::vector<std::string>& args,
                             const RunOptions& options, int inPipe, int outPipe,
                             const std::string& errPath) {
    const int in = inPipe >= 0 ? inPipe : open("/dev/null", O_RDONLY);
    const int out =
        options.stdoutPath.empty() ? outPipe : open(options.stdoutPath.c_str(), O_WRONLY);
    const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
    if (in < 0 || out < 0 || err < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) {
        _exit(120);
    }
    int broken[2];
    if (options.stdoutBroken && (pipe(broken) != 0 || dup2(broken[1], 1) < 0)) {
        _exit(126);
    }
    if (options.stdoutBroken) {
        close(broken[0]);
        close(broken[1]);
    }
    if (options.stdoutClosed) {
        close(1);
    }
    if (options.fileSizeLimit > 0) {
        const rlimit limit = {options.fileSizeLimit, options.fileSizeLimit};
        signal(SIGXFSZ, options.fileSizeSignal ? SIG_DFL : SIG_IGN);
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0) {
            _exit(121);
        }
    }
    if (options.memoryLimit > 0) {
        const rlimit limit = {options.memoryLimit, options.memoryLimit};
        if (setrlimit(RLIMIT_AS, &limit) != 0) {
            _exit(125);
        }
    }
    if (options.unprivileged && geteuid() == 0 && (setgid(NOBODY) != 0 || setuid(NOBODY) != 0)) {
        _exit(122);
    }
    if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) {
        _exit(123);
    }
    // A program built for another architecture runs under its emulator, as CTest runs
    // the tests themselves.
    std::vector<std::string> words;
#ifdef TARVELIN_EMULATOR
    std::istringstream emulator(TARVELIN_EMULATOR);
    for (std::string word; emulator >> word;) {
        words.push_back(word);
    }
#endif
    words.push_back(program);
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (const std::string& word : words) {
        argv.push_back(const_cast<char*>(word.c_str()));
    }
    argv.push_back(nullptr);
    alarm(options.seconds);
    execv(argv[0], argv.data());
    _exit(124);
}

} // namespace

Started startProgram(const std::string& program, const std::vector<std::string>& args,
                     const RunOptions& options) {
    Started started;
    started.streams = makeScratchDir();
    int ends[2];
    int input[2] = {-1, -1};
    if (pipe2(ends, O_CLOEXEC) != 0 || (options.holdStdin && pipe2(input, O_CLOEXEC) != 0)) {
        std::abort();
    }
    const pid_t child = fork();
    if (child == 0) {
        startChild(program, args, options, input[0], ends[1], started.streams + "/err");
    }
    close(ends[1]);
    if (input[0] >= 0) {
        close(input[0]);
    }
    started.inPipe = input[1];
    started.pid = int(child);
    started.outPipe = ends[0];
    return started;
}

RunResult waitProgram(Started& started) {
    RunResult result;
    if (started.inPipe >= 0) {
        close(started.inPipe);
    }
    char chunk[65536];
    ssize_t got;
    while ((got = read(started.outPipe, chunk, sizeof chunk)) != 0) {
        if (got > 0) {
            result.out.append(chunk, size_t(got));
        } else if (errno != EINTR) {
            break;
        }
    }
    close(started.outPipe);
    int status = 0;
    rusage usage = {};
    if (started.pid > 0 && wait4(started.pid, &status, 0, &usage) == started.pid) {
        result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        result.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
        result.peakKiB = usage.ru_maxrss;
    }
    result.err = slurp(started.streams + "/err");
    removeTree(started.streams);
    return result;
}

RunResult runProgram(const std::string& program, const std::vector<std::string>& args,
                     const RunOptions& options) {
    Started started = startProgram(program, args, options);
    return waitProgram(started);
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

void setMode(const std::string& path, unsigned mode) {
    chmod(path.c_str(), mode_t(mode));
}

int failureStatus() {
    return 255;
}

#endif
