#include "commit.h"

namespace {

bool aimFile(PendingFile& file, const std::string& path, const FileId& input,
             std::string& problem) {
    file.path = path;
    int error = 0;
    if (!findPlace(path, file.place, error)) {
        // A folder that cannot be reached is a file that cannot be created there.
        problem = ioProblem(file.place.reached ? "write" : "create", path, error);
        return false;
    }
    if (!checkReplaceable(file.place, input, error)) {
        problem = ioProblem("write", path, error);
        return false;
    }
    return true;
}

} // namespace

std::string ioProblem(const char* verb, const std::string& path, int error) {
    return std::string("Cannot ") + verb + " \"" + path + "\": " + errorText(error);
}

bool aimFiles(PendingFile& output, const std::string& outputPath, PendingFile& log,
              const std::string& logPath, const FileId& input, std::string& problem) {
    if (!aimFile(output, outputPath, input, problem) || !aimFile(log, logPath, input, problem)) {
        return false;
    }
    if (samePlace(output.place, log.place)) {
        problem = ioProblem("write", log.path, IS_THE_OUTPUT);
        return false;
    }
    return true;
}

bool startFile(CleanupRegistry& registry, PendingFile& file, bool text,
               const std::string& shownPath, std::string& problem) {
    int error = 0;
    holdInterruptions(registry);
    const bool created = createTemporary(registry, file.place, text, file.temp, error);
    releaseInterruptions(registry);
    if (!created) {
        problem = ioProblem("create", shownPath, error);
        return false;
    }
    file.sink.fd = file.temp.fd;
    return true;
}

bool finishWriting(CleanupRegistry& registry, PendingFile& file, std::string& problem) {
    const bool flushed = sinkFlush(file.sink);
    int error = file.sink.error;
    file.sink.fd = -1;
    holdInterruptions(registry);
    const bool sealed = flushed && sealTemporary(registry, file.place, file.temp, error);
    releaseInterruptions(registry);
    if (!sealed) {
        problem = ioProblem("write", file.path, error);
        return false;
    }
    return true;
}

bool putInPlace(CleanupRegistry& registry, PendingFile& log, PendingFile& output,
                std::string& problem) {
    int error = 0;
    Temporary backup;
    holdInterruptions(registry);
    // Where the folder allows no second name, the earlier log cannot be put back.
    const bool restorable = keepBackup(registry, log.place, backup, error);
    bool placed = placeTemporary(registry, log.place, log.temp, error);
    if (!placed) {
        problem = ioProblem("write", log.path, error);
    } else if (!placeTemporary(registry, output.place, output.temp, error)) {
        problem = ioProblem("write", output.path, error);
        if (restorable) {
            restoreBackup(registry, log.place, backup);
        }
        placed = false;
    }
    removeTemporary(registry, log.place, backup);
    releaseInterruptions(registry);
    return placed;
}

void discard(CleanupRegistry& registry, PendingFile& file) {
    holdInterruptions(registry);
    removeTemporary(registry, file.place, file.temp);
    releaseInterruptions(registry);
    file.sink.fd = -1;
    closePlace(file.place);
}
