#include "run.h"

#include "platform.h"
#include "report.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <stdexcept>

namespace {

const char* const NOT_M3 = "This is not a valid M3 file.";

void say(const std::string& line) {
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
}

std::string quoted(const std::string& path) {
    return "\"" + path + "\"";
}

std::string ioProblem(const char* verb, const std::string& path, int error) {
    return std::string("Cannot ") + verb + " " + quoted(path) + ": " + errorText(error);
}

std::string rejection(const FaultInfo& fault) {
    const std::string reason = describeFault(fault);
    return reason.empty() ? NOT_M3 : std::string(NOT_M3) + "\n" + reason;
}

// Reads and checks the input; on failure `problem` holds the lines to print.
bool loadInput(const std::string& path, BlockSet& set, std::string& problem) {
    Source source;
    if (!openInput(path, source.fd, source.size, source.error)) {
        problem = ioProblem("open", path, source.error);
        return false;
    }
    source.path = path;
    FaultInfo fault;
    LoadStatus status = LoadStatus::ReadFailed;
    try {
        status = loadBlockSet(source, set, fault);
    } catch (const std::bad_alloc&) {
        source.error = ENOMEM;
    } catch (const std::length_error&) {
        source.error = ENOMEM;
    }
    int ignored = 0;
    closeFile(source.fd, ignored);
    if (status == LoadStatus::ReadFailed) {
        problem = ioProblem("read", path, source.error);
    } else if (status == LoadStatus::Rejected) {
        problem = rejection(fault);
    }
    return status == LoadStatus::Loaded;
}

// A file being written under a temporary name beside its final one.
struct PendingFile {
    std::string path;
    std::string tempPath;
    Sink sink;
    bool open = false;
};

bool startFile(PendingFile& file, const std::string& path, bool text, std::string& problem) {
    file.path = path;
    int error = 0;
    if (!createTemporary(path, text, file.tempPath, file.sink.fd, error)) {
        problem = ioProblem("create", path, error);
        return false;
    }
    file.open = true;
    return true;
}

bool finishWriting(PendingFile& file, std::string& problem) {
    const bool flushed = sinkFlush(file.sink);
    int error = file.sink.error;
    const bool closed = closeFile(file.sink.fd, error);
    file.open = false;
    if (!flushed || !closed) {
        problem = ioProblem("write", file.path, error);
        return false;
    }
    return true;
}

bool putInPlace(PendingFile& file, std::string& problem) {
    int error = 0;
    if (!replaceFile(file.tempPath, file.path, error)) {
        problem = ioProblem("write", file.path, error);
        return false;
    }
    file.tempPath.clear();
    return true;
}

void discard(PendingFile& file) {
    if (file.open) {
        int ignored = 0;
        closeFile(file.sink.fd, ignored);
        file.open = false;
    }
    if (!file.tempPath.empty()) {
        removeFile(file.tempPath);
        file.tempPath.clear();
    }
}

// Writes the output and the log under temporary names, then puts the output in place
// and after it the log. On any failure neither temporary is left behind.
bool writeFiles(BlockSet& set, const std::string& outputPath, std::string& problem) {
    PendingFile output;
    PendingFile log;
    bool ok =
        startFile(output, outputPath, false, problem) && startFile(log, LOG_NAME, true, problem);
    if (ok) {
        try {
            writeBlockSet(set, output.sink, &log.sink);
        } catch (const std::bad_alloc&) {
            output.sink.error = ENOMEM;
        }
        ok = finishWriting(output, problem) && finishWriting(log, problem) &&
             putInPlace(output, problem) && putInPlace(log, problem);
    }
    discard(output);
    discard(log);
    return ok;
}

void printStrings(const BlockSet& set) {
    Sink console;
    console.fd = consoleDescriptor();
    writeStringsReport(set, console);
    sinkFlush(console);
}

void printUsage() {
    say("Drag an m3 file to this tool.");
    say("or do Tarvelin <filename> -c.");
}

std::string sinkText(const Sink& sink) {
    return std::string(reinterpret_cast<const char*>(sink.buffer.get()), sink.used);
}

} // namespace

Conversion convertBytes(const uint8_t* data, size_t size) {
    static const uint8_t nothing = 0;
    Conversion result;
    Source source;
    source.memory = data ? data : &nothing;
    source.size = size;
    BlockSet set;
    result.status = loadBlockSet(source, set, result.fault);
    if (result.status != LoadStatus::Loaded) {
        return result;
    }
    Sink output;
    Sink log;
    Sink report;
    writeBlockSet(set, output, &log);
    writeStringsReport(set, report);
    result.output.assign(output.buffer.get(), output.buffer.get() + output.used);
    result.log = sinkText(log);
    result.report = sinkText(report);
    return result;
}

std::string outputNameFor(const std::string& input) {
    const size_t dot = input.rfind('.');
    if (dot == std::string::npos) {
        return input + "_Sc2";
    }
    return input.substr(0, dot) + "_Sc2" + input.substr(dot);
}

int runTool(int argc, const char* const* argv) {
    if (argc != 2 && argc != 3) {
        printUsage();
        runPause();
        return 0;
    }
    const bool pause = !(argc == 3 && std::strcmp(argv[2], "-c") == 0);
    const std::string input = argv[1];
    const std::string output = outputNameFor(input);
    BlockSet set;
    std::string problem;
    if (!loadInput(input, set, problem) || !writeFiles(set, output, problem)) {
        say(problem);
        std::fflush(stdout);
        return -1;
    }
    printStrings(set);
    if (pause) {
        runPause();
    }
    std::fflush(stdout);
    return 0;
}
