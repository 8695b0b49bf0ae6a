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

// What the run could not do, if anything, and what it left that the user should know.
struct Outcome {
    FaultInfo fault;
    bool failed = false;
    Failure failure;
    std::vector<Failure> notes;
};

bool fail(Outcome& outcome, Action action, const std::string& path, int error) {
    outcome.failed = true;
    outcome.failure = {action, path, error, ""};
    return false;
}

// Reads and checks the header and the index of the open input.
bool loadInput(Source& source, const std::string& path, BlockSet& set, Outcome& outcome) {
    LoadStatus status = LoadStatus::Unreadable;
    try {
        status = loadBlockSet(source, set, outcome.fault);
    } catch (const std::bad_alloc&) {
        source.error = OUT_OF_MEMORY;
    } catch (const std::length_error&) {
        source.error = OUT_OF_MEMORY;
    }
    if (status == LoadStatus::Loaded) {
        return true;
    }
    return status == LoadStatus::Rejected ? false : fail(outcome, Action::Read, path, source.error);
}

// Once every block is written: the input is let go of, and one that failed or changed
// meanwhile may have given bytes of two versions.
bool finishReading(InputFile& input, const Source& source, const std::string& path,
                   Outcome& outcome) {
    int error = source.error;
    const bool unchanged = closeInput(input, error);
    return (source.error == 0 && unchanged) ||
           fail(outcome, Action::Read, path, source.error != 0 ? source.error : error);
}

// Writes the output and the log to temporaries, reading the input as it goes, lets go
// of the input and then puts the files in place. Everything that can fail does so before
// the first file is put in place, but the log's rename; after a failure no temporary is
// left behind but one that a note names.
bool writeFiles(BlockSet& set, InputFile& input, Source& source, const std::string& inputPath,
                std::string& report, Outcome& outcome) {
    PendingFile output;
    PendingFile log;
    Failure& failure = outcome.failure;
    bool ok = aimFiles(output, outputNameFor(inputPath), log, LOG_NAME, input.id, failure) &&
              startFile(output, Role::Output, false, failure) &&
              startFile(log, Role::Log, true, failure);
    // A log that cannot be created is named with the working folder's full path, where
    // the user can find the folder that refused it.
    if (!ok && failure.action == Action::Create && failure.path == LOG_NAME) {
        failure.path = workingFolder() + LOG_NAME;
    }
    if (ok) {
        try {
            writeBlockSet(set, source, output.sink, &log.sink, report);
        } catch (const std::bad_alloc&) {
            output.sink.error = OUT_OF_MEMORY;
        } catch (const std::length_error&) {
            output.sink.error = OUT_OF_MEMORY;
        }
        ok = finishReading(input, source, inputPath, outcome) && finishWriting(output, failure) &&
             finishWriting(log, failure) && putInPlace(output, log, failure, outcome.notes);
    }
    outcome.failed = !ok;
    discard(output, outcome.notes);
    discard(log, outcome.notes);
    return ok;
}

// Converts the input and puts the output and the log in place, composing the strings
// report.
bool convertFile(const std::string& inputPath, std::string& report, Outcome& outcome) {
    InputFile input;
    int error = 0;
    if (!openInput(inputPath, input, error)) {
        return fail(outcome, Action::Open, inputPath, error);
    }
    Source source;
    source.fd = input.fd;
    source.size = input.size;
    BlockSet set;
    const bool converted = loadInput(source, inputPath, set, outcome) &&
                           writeFiles(set, input, source, inputPath, report, outcome);
    closeInput(input, error);
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
    Source source;
    source.memory = data ? data : &nothing;
    source.size = size;
    result.status = loadBlockSet(source, set, result.fault);
    if (result.status != LoadStatus::Loaded) {
        return result;
    }
    std::vector<uint8_t> logBytes;
    Sink output;
    Sink log;
    output.memory = &result.output;
    log.memory = &logBytes;
    writeBlockSet(set, source, output, &log, result.report);
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
        while (begin > 0 && !std::strchr(PATH_SEPARATORS, input[begin - 1])) {
            --begin;
        }
        size_t stop = at;
        while (stop < input.size() && !std::strchr(PATH_SEPARATORS, input[stop])) {
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
    Outcome outcome;
    const bool converted = convertFile(input, report, outcome);
    // From here on only the console can fail: the files are in place (or were never
    // touched) and the input is let go of.
    bool printed = false;
    if (converted) {
        printed = printText(report);
    } else if (outcome.failed) {
        say(describe(outcome.failure));
    } else {
        say(rejection(outcome.fault));
    }
    for (const Failure& note : outcome.notes) {
        say(describe(note));
    }
    if (secondFile) {
        say(notConverted(argv[2]));
    }
    // A wrong magic ends the run at once; any other end waits, so that whoever dropped
    // the file can read what happened.
    if (pause && outcome.fault.fault != Fault::WrongMagic) {
        runPause();
    }
    std::fflush(stdout);
    return printed && !secondFile ? 0 : -1;
}
