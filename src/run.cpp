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

std::string quoted(const std::string& path) {
    return "\"" + path + "\"";
}

std::string rejection(const FaultInfo& fault) {
    const std::string reason = describeFault(fault);
    return reason.empty() ? NOT_M3 : std::string(NOT_M3) + "\n" + reason;
}

// Reads and checks the input; on failure `problem` holds the lines to print, and
// `fault` what was wrong with a refused input. The set's blocks lie in `bytes`.
bool loadInput(const std::string& path, InputBytes& bytes, BlockSet& set, FileId& id,
               FaultInfo& fault, std::string& problem) {
    int fd = -1;
    uint64_t size = 0;
    int error = 0;
    if (!openInput(path, fd, size, id, error)) {
        problem = ioProblem("open", path, error);
        return false;
    }
    const bool taken = takeInputBytes(fd, size, bytes, error);
    int ignored = 0;
    closeFile(fd, ignored);
    LoadStatus status = LoadStatus::Rejected;
    if (taken) {
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

// The strings report waits in its scratch file until the files are in place.
bool keepReport(Sink& report, std::string& problem) {
    if (!sinkFlush(report)) {
        problem = "Cannot write the strings report: " + errorText(report.error);
        return false;
    }
    return true;
}

// Writes the output and the log under temporary names and composes the strings report,
// then puts the files in place. Everything that can fail does so before the first
// file is put in place, and on any failure no temporary is left behind.
bool writeFiles(CleanupRegistry& registry, BlockSet& set, const FileId& input,
                const std::string& outputPath, Sink& report, std::string& problem) {
    PendingFile output;
    PendingFile log;
    bool ok =
        aimFile(output, outputPath, input, problem) && aimFile(log, LOG_NAME, input, problem) &&
        startFile(registry, output, false, problem) && startFile(registry, log, true, problem);
    if (ok) {
        try {
            writeBlockSet(set, output.sink, &log.sink);
            writeStringsReport(set, report);
        } catch (const std::bad_alloc&) {
            output.sink.error = ENOMEM;
        }
        ok = finishWriting(output, problem) && finishWriting(log, problem) &&
             keepReport(report, problem) && putInPlace(registry, log, output, problem);
    }
    discard(registry, output);
    discard(registry, log);
    return ok;
}

// Converts the input and puts the output and the log in place, leaving the strings
// report in its scratch sink; on failure `problem` holds the lines to print.
bool convertFile(CleanupRegistry& registry, const std::string& input, Sink& report,
                 FaultInfo& fault, std::string& problem) {
    int error = 0;
    if (!openScratchSink(report, error)) {
        problem = "Cannot write the strings report: " + errorText(error);
        return false;
    }
    InputBytes bytes;
    BlockSet set;
    FileId inputId;
    return loadInput(input, bytes, set, inputId, fault, problem) &&
           writeFiles(registry, set, inputId, outputNameFor(input), report, problem);
}

void printUsage() {
    say("Drag an m3 file to this tool.");
    say("or do Tarvelin <filename> -c.");
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
    Sink report;
    if (openScratchSink(output, result.error) && openScratchSink(log, result.error) &&
        openScratchSink(report, result.error)) {
        writeBlockSet(set, output, &log);
        writeStringsReport(set, report);
    }
    std::vector<uint8_t> logBytes;
    std::vector<uint8_t> reportBytes;
    bool taken = takeSinkBytes(output, result.output, result.error);
    taken = takeSinkBytes(log, logBytes, result.error) && taken;
    taken = takeSinkBytes(report, reportBytes, result.error) && taken;
    result.error = taken ? 0 : result.error != 0 ? result.error : EIO;
    result.log.assign(logBytes.begin(), logBytes.end());
    result.report.assign(reportBytes.begin(), reportBytes.end());
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
    const std::string inputFault =
        "Cannot read " + quoted(input) + ": the file changed or failed while it was being read\n";
    CleanupRegistry registry;
    registry.inputFault.store(inputFault.c_str());
    guardRun(&registry);
    Sink report;
    FaultInfo fault;
    std::string problem;
    const bool converted = convertFile(registry, input, report, fault, problem);
    guardRun(nullptr);
    if (!converted) {
        say(problem);
        // A wrong magic ends the run at once; any other failure waits, like a finished
        // run, so that whoever dropped the file can read why.
        if (pause && fault.fault != Fault::WrongMagic) {
            runPause();
        }
        std::fflush(stdout);
        return -1;
    }
    // From here on only the console can fail: the files are in place and the input is
    // not read again.
    const bool printed = printFile(report.fd, sinkPosition(report));
    if (pause) {
        runPause();
    }
    std::fflush(stdout);
    return printed ? 0 : -1;
}
