#include "run.h"

#include "commit.h"
#include "messages.h"
#include "report.h"

#include <cstdio>
#include <cstring>
#include <new>
#include <stdexcept>

namespace {

void say(const std::string& lines) {
    std::fputs(lines.c_str(), stdout);
    std::fputc('\n', stdout);
}

// What reading the mapped input does, with what it needs and what it gives: run where
// a fault of the input is caught. Nothing here needs undoing should the fault cut it
// short, and an allocation that fails is caught before it leaves.
struct LoadWork {
    Source source;
    BlockSet* set;
    FaultInfo* fault;
    LoadStatus status = LoadStatus::Rejected;
    int error = 0;
};

void loadWork(void* context) {
    auto& work = *static_cast<LoadWork*>(context);
    try {
        work.status = loadBlockSet(work.source, *work.set, *work.fault);
    } catch (const std::bad_alloc&) {
        work.error = OUT_OF_MEMORY;
    } catch (const std::length_error&) {
        work.error = OUT_OF_MEMORY;
    }
}

struct WriteWork {
    BlockSet* set;
    Sink* output;
    Sink* log;
    std::string* report;
};

void writeWork(void* context) {
    auto& work = *static_cast<WriteWork*>(context);
    try {
        writeBlockSet(*work.set, *work.output, work.log);
        writeStringsReport(*work.set, *work.report);
    } catch (const std::bad_alloc&) {
        work.output->error = OUT_OF_MEMORY;
    }
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
    LoadWork work = {{}, &set, &fault};
    if (takeInputBytes(input.fd, input.size, bytes, error)) {
        work.source = Source{bytes.data, bytes.size};
        error = readMappedInput(loadWork, &work) ? work.error : CHANGED_WHILE_READ;
    }
    if (work.status == LoadStatus::Loaded && error == 0) {
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
// file is put in place; after a failure no temporary is left behind but one that the
// problem names.
bool writeFiles(BlockSet& set, const InputFile& input, const std::string& inputPath,
                std::string& report, std::string& problem, std::string& notice) {
    PendingFile output;
    PendingFile log;
    bool ok = aimFiles(output, outputNameFor(inputPath), log, LOG_NAME, input.id, problem) &&
              startFile(output, Role::Output, false, output.path, problem) &&
              startFile(log, Role::Log, true, workingFolder() + LOG_NAME, problem);
    if (ok) {
        WriteWork work = {&set, &output.sink, &log.sink, &report};
        // Large blocks go from the mapping straight to the file: a write that could not
        // read them is the input's failure too.
        if (!readMappedInput(writeWork, &work) || output.sink.error == SOURCE_FAULTED) {
            problem = ioProblem("read", inputPath, CHANGED_WHILE_READ);
            ok = false;
        }
        ok = ok && inputStayedTheSame(input, inputPath, problem) &&
             finishWriting(output, problem) && finishWriting(log, problem) &&
             putInPlace(log, output, problem, notice);
    }
    discard(output, problem);
    discard(log, problem);
    return ok;
}

// Converts the input and puts the output and the log in place, composing the strings
// report; on failure `problem` holds the lines to print.
bool convertFile(const std::string& inputPath, std::string& report, FaultInfo& fault,
                 std::string& problem, std::string& notice) {
    InputFile input;
    InputBytes bytes;
    BlockSet set;
    const bool converted = loadInput(inputPath, input, bytes, set, fault, problem) &&
                           writeFiles(set, input, inputPath, report, problem, notice);
    int ignored = 0;
    if (input.fd >= 0) {
        closeFile(input.fd, ignored);
    }
    return converted;
}

// The usage text, for no argument (status 0) or too many (-1). Wrong arguments from a
// script fail without waiting; a bare start waits for whoever opened the window.
int showUsage(int argc, const char* const* argv) {
    say(usageText());
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
    std::vector<uint8_t> logBytes;
    Sink output;
    Sink log;
    output.memory = &result.output;
    log.memory = &logBytes;
    writeBlockSet(set, output, &log);
    writeStringsReport(set, result.report);
    sinkFlush(output);
    sinkFlush(log);
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
    std::string report;
    FaultInfo fault;
    std::string problem;
    std::string notice;
    const bool converted = convertFile(input, report, fault, problem, notice);
    // From here on only the console can fail: the files are in place (or were never
    // touched) and the input is not read again.
    bool printed = false;
    if (converted) {
        printed = printText(report);
    } else {
        say(problem);
    }
    if (!notice.empty()) {
        say(notice);
    }
    if (secondFile) {
        say(notConverted(argv[2]));
    }
    // A wrong magic ends the run at once; any other end waits, so that whoever dropped
    // the file can read what happened.
    if (pause && fault.fault != Fault::WrongMagic) {
        runPause();
    }
    std::fflush(stdout);
    return printed && !secondFile ? 0 : -1;
}
