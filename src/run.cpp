#include "run.h"

#include "commit.h"
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

std::string rejection(const FaultInfo& fault) {
    const std::string reason = describeFault(fault);
    return reason.empty() ? NOT_M3 : std::string(NOT_M3) + "\n" + reason;
}

// Reads and checks the input, which stays open; on failure `problem` holds the lines
// to print, and `fault` what was wrong with a refused input. The set's blocks lie in
// `bytes`.
bool loadInput(const std::string& path, InputFile& input, InputBytes& bytes, BlockSet& set,
               FaultInfo& fault, std::string& problem) {
    int error = 0;
    if (!openInput(path, input, error)) {
        problem = ioProblem("open", path, error);
        return false;
    }
    LoadStatus status = LoadStatus::Rejected;
    if (takeInputBytes(input.fd, input.size, bytes, error)) {
        try {
            status = loadBlockSet(Source{bytes.data, bytes.size}, set, fault);
        } catch (const std::bad_alloc&) {
            error = ENOMEM;
        } catch (const std::length_error&) {
            error = ENOMEM;
        }
    }
    if (status == LoadStatus::Loaded) {
        settleInput(bytes, set.indexOffset);
        return true;
    }
    problem = fault.fault != Fault::None ? rejection(fault) : ioProblem("read", path, error);
    return false;
}

// Once every block is written: an input that changed meanwhile may have given bytes
// of two versions.
bool inputStayedTheSame(const InputFile& input, const std::string& path, std::string& problem) {
    int error = 0;
    if (!checkInputUnchanged(input, error)) {
        problem = ioProblem("read", path, error);
        return false;
    }
    return true;
}

// Writes the output and the log under temporary names and composes the strings report,
// then puts the files in place. Everything that can fail does so before the first
// file is put in place, and on any failure no temporary is left behind.
bool writeFiles(CleanupRegistry& registry, BlockSet& set, const InputFile& input,
                const std::string& inputPath, std::string& report, std::string& problem) {
    PendingFile output;
    PendingFile log;
    bool ok = aimFiles(output, outputNameFor(inputPath), log, LOG_NAME, input.id, problem) &&
              startFile(registry, output, false, output.path, problem) &&
              startFile(registry, log, true, workingFolder() + LOG_NAME, problem);
    if (ok) {
        try {
            writeBlockSet(set, output.sink, &log.sink);
            writeStringsReport(set, report);
        } catch (const std::bad_alloc&) {
            output.sink.error = ENOMEM;
        }
        ok = inputStayedTheSame(input, inputPath, problem) &&
             finishWriting(registry, output, problem) && finishWriting(registry, log, problem) &&
             putInPlace(registry, log, output, problem);
    }
    discard(registry, output);
    discard(registry, log);
    return ok;
}

// Converts the input and puts the output and the log in place, composing the strings
// report; on failure `problem` holds the lines to print.
bool convertFile(CleanupRegistry& registry, const std::string& inputPath, std::string& report,
                 FaultInfo& fault, std::string& problem) {
    InputFile input;
    InputBytes bytes;
    BlockSet set;
    const bool converted = loadInput(inputPath, input, bytes, set, fault, problem) &&
                           writeFiles(registry, set, input, inputPath, report, problem);
    int ignored = 0;
    if (input.fd >= 0) {
        closeFile(input.fd, ignored);
    }
    return converted;
}

// The usage text, for no argument (status 0) or too many (-1). Wrong arguments from a
// script fail without waiting; a bare start waits for whoever opened the window.
int showUsage(int argc, const char* const* argv) {
    say("Drag an m3 file to this tool.");
    say("or do Tarvelin <filename> -c.");
    bool scripted = false;
    for (int i = 1; i < argc; ++i) {
        scripted = scripted || std::strcmp(argv[i], "-c") == 0;
    }
    if (!scripted) {
        runPause();
    }
    std::fflush(stdout);
    return argc == 1 ? 0 : -1;
}

} // namespace

Conversion convertBytes(const uint8_t* data, size_t size) {
    static const uint8_t nothing = 0;
    Conversion result;
    BlockSet set;
    result.status = loadBlockSet(Source{data ? data : &nothing, size}, set, result.fault);
    if (result.status != LoadStatus::Loaded) {
        return result;
    }
    Sink output;
    Sink log;
    if (openScratchSink(output, result.error) && openScratchSink(log, result.error)) {
        writeBlockSet(set, output, &log);
        writeStringsReport(set, result.report);
    }
    std::vector<uint8_t> logBytes;
    bool taken = takeSinkBytes(output, result.output, result.error);
    taken = takeSinkBytes(log, logBytes, result.error) && taken;
    result.error = taken ? 0 : result.error != 0 ? result.error : EIO;
    result.log.assign(logBytes.begin(), logBytes.end());
    return result;
}

std::string outputNameFor(const std::string& input) {
    // The last '.' that is not part of a "." or ".." folder.
    size_t dot = std::string::npos;
    for (size_t end = input.size(); end > 0 && dot == std::string::npos;) {
        const size_t at = input.rfind('.', end - 1);
        if (at == std::string::npos) {
            break;
        }
        size_t begin = at;
        while (begin > 0 && !isPathSeparator(input[begin - 1])) {
            --begin;
        }
        size_t stop = at;
        while (stop < input.size() && !isPathSeparator(input[stop])) {
            ++stop;
        }
        const std::string part = input.substr(begin, stop - begin);
        if (part != "." && part != "..") {
            dot = at;
        }
        end = begin;
    }
    if (dot == std::string::npos) {
        return input + "_Sc2";
    }
    return input.substr(0, dot) + "_Sc2" + input.substr(dot);
}

int runTool(int argc, const char* const* argv) {
    prepareProcess();
    if (argc != 2 && argc != 3) {
        return showUsage(argc, argv);
    }
    const bool pause = !(argc == 3 && std::strcmp(argv[2], "-c") == 0);
    const std::string input = argv[1];
    // Two files dropped at once: the first converts, the second is named as not.
    const bool secondFile = argc == 3 && pause && pathExists(argv[2]);
    const std::string inputFault = ioProblem("read", input, CHANGED_WHILE_READ) + "\n";
    CleanupRegistry registry;
    registry.inputFault.store(inputFault.c_str());
    guardRun(&registry);
    std::string report;
    FaultInfo fault;
    std::string problem;
    const bool converted = convertFile(registry, input, report, fault, problem);
    guardRun(nullptr);
    // From here on only the console can fail: the files are in place (or were never
    // touched) and the input is not read again.
    bool printed = false;
    if (converted) {
        printed = printText(report);
    } else {
        say(problem);
    }
    if (secondFile) {
        say("\"" + std::string(argv[2]) +
            "\" was not converted: Tarvelin converts one file at a time.");
    }
    // A wrong magic ends the run at once; any other end waits, so that whoever dropped
    // the file can read what happened.
    if (pause && fault.fault != Fault::WrongMagic) {
        runPause();
    }
    std::fflush(stdout);
    return printed && !secondFile ? 0 : -1;
}
