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

// The earlier log, kept as `backup`, has been put back or removed, or else is named.
void settleBackup(bool settled, const PendingFile& log, const Temporary& backup, bool putBack,
                  int error, std::string& lines) {
    if (!settled && !backup.name.empty()) {
        lines += (lines.empty() ? "" : "\n") + keptBackup(log.path, backup.name, putBack, error);
    }
}

// Puts the pair in place, interruptions held off throughout.
bool placePair(PendingFile& log, PendingFile& output, std::string& problem, std::string& notice) {
    InterruptionHold hold;
    int error = 0;
    Temporary backup;
    // Where the file system gives no second name, the earlier log cannot be put back.
    int unkept = 0;
    if (!keepBackup(log.place, backup, unkept) && unkept != NO_HARD_LINKS) {
        problem = ioProblem("write", log.path, unkept);
        return false;
    }
    if (!backupNeeded(backup, error)) {
        problem = ioProblem("write", log.path, error);
        int ignored = 0;
        removeTemporary(log.place, backup, ignored);
        return false;
    }
    if (!placeTemporary(log.place, log.temp, error)) {
        problem = ioProblem("write", log.path, error);
        const bool dropped = dropBackup(log.place, backup, error);
        settleBackup(dropped, log, backup, false, error, problem);
        return false;
    }
    if (!placeTemporary(output.place, output.temp, error)) {
        problem = ioProblem("write", output.path, error);
        const bool restored = unkept == 0 && restoreBackup(log.place, backup, error);
        if (!restored && backup.name.empty()) {
            problem += "\n" + newLogLeft(log.path, output.path, unkept != 0 ? unkept : error);
        }
        settleBackup(restored, log, backup, true, error, problem);
        return false;
    }
    const bool dropped = dropBackup(log.place, backup, error);
    settleBackup(dropped, log, backup, false, error, notice);
    return true;
}

} // namespace

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

bool startFile(PendingFile& file, Role role, bool text, const std::string& shownPath,
               std::string& problem) {
    int error = 0;
    if (!createTemporary(file.place, text, role, file.temp, error)) {
        problem = ioProblem("create", shownPath, error);
        return false;
    }
    file.sink.fd = file.temp.fd;
    return true;
}

bool finishWriting(PendingFile& file, std::string& problem) {
    const bool flushed = sinkFlush(file.sink);
    file.sink.fd = -1;
    int error = file.sink.error;
    if (!flushed || !sealTemporary(file.place, file.temp, error)) {
        problem = ioProblem("write", file.path, error);
        return false;
    }
    return true;
}

bool putInPlace(PendingFile& log, PendingFile& output, std::string& problem, std::string& notice) {
    if (!placePair(log, output, problem, notice)) {
        return false;
    }
    // The renames outlast a power cut once their folders are on disk. Should that fail
    // the files are in place all the same, and the run says so.
    for (const PendingFile* file : {&log, &output}) {
        int error = 0;
        if (!flushFolder(file->place, error)) {
            notice += (notice.empty() ? "" : "\n") + notFlushed(file->path, error);
        }
    }
    return true;
}

void discard(PendingFile& file, std::string& problem) {
    const std::string name = file.temp.name;
    int error = 0;
    if (!removeTemporary(file.place, file.temp, error)) {
        problem += (problem.empty() ? "" : "\n") + leftTemporary(file.path, name, error);
    }
    file.sink.fd = -1;
    closePlace(file.place);
}
