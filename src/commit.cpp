#include "commit.h"

namespace {

bool sameFile(const FileId& a, const FileId& b) {
    return a.device == b.device && a.index == b.index;
}

// Finds where the file lands, and refuses a target that is the input or that a new
// file must not be put in place of.
bool aimFile(PendingFile& file, const std::string& path, const FileId& input, Failure& failure) {
    file.path = path;
    int error = 0;
    if (!findPlace(path, file.place, error)) {
        // A folder that cannot be reached is a file that cannot be created there.
        failure = {file.place.reached ? Action::Write : Action::Create, path, error, ""};
        return false;
    }
    const Place& place = file.place;
    error = !place.exists ? 0 : sameFile(place.id, input) ? IS_THE_INPUT : place.refusal;
    if (error != 0) {
        failure = {Action::Write, path, error, ""};
    }
    return error == 0;
}

// Whether the two places are one file: one file under two names, or the same name in
// the same folder.
bool samePlace(const Place& a, const Place& b) {
    return (a.exists && b.exists && sameFile(a.id, b.id)) ||
           (sameFile(a.folderId, b.folderId) && a.name == b.name);
}

// Gives both temporaries a name, then renames the output and then the log into place,
// interruptions held off throughout. Named first, so that once the output is in place
// only the log's rename can fail.
bool renameBoth(PendingFile& output, PendingFile& log, Failure& failure) {
    InterruptionHold hold;
    int error = 0;
    for (PendingFile* file : {&output, &log}) {
        if (!nameTemporary(file->place, file->temp, error)) {
            failure = {Action::Write, file->path, error, ""};
            return false;
        }
    }
    if (!placeTemporary(output.place, output.temp, error)) {
        failure = {Action::Write, output.path, error, ""};
        return false;
    }
    if (!placeTemporary(log.place, log.temp, error)) {
        failure = {Action::ReplaceLog, log.path, error, ""};
        return false;
    }
    return true;
}

} // namespace

bool aimFiles(PendingFile& output, const std::string& outputPath, PendingFile& log,
              const std::string& logPath, const FileId& input, Failure& failure) {
    if (!aimFile(output, outputPath, input, failure) || !aimFile(log, logPath, input, failure)) {
        return false;
    }
    if (samePlace(output.place, log.place)) {
        failure = {Action::Write, log.path, IS_THE_OUTPUT, ""};
        return false;
    }
    return true;
}

bool startFile(PendingFile& file, Role role, bool text, Failure& failure) {
    int error = 0;
    if (!createTemporary(file.place, text, role, file.temp, error)) {
        failure = {Action::Create, file.path, error, ""};
        return false;
    }
    file.sink.fd = file.temp.fd;
    return true;
}

bool finishWriting(PendingFile& file, Failure& failure) {
    const bool flushed = sinkFlush(file.sink);
    file.sink.fd = -1;
    int error = file.sink.error;
    if (!flushed || !sealTemporary(file.place, file.temp, error)) {
        failure = {Action::Write, file.path, error, ""};
        return false;
    }
    return true;
}

bool putInPlace(PendingFile& output, PendingFile& log, Failure& failure,
                std::vector<Failure>& notes) {
    const bool placed = renameBoth(output, log, failure);
    // The renames outlast a power cut once their folders are on disk: the output's too
    // where the log alone could not follow. Should that fail the files are in place all
    // the same, and the run says so.
    const bool outputPlaced = placed || failure.action == Action::ReplaceLog;
    for (const PendingFile* file : {&output, &log}) {
        int error = 0;
        if ((file == &output ? outputPlaced : placed) && !flushFolder(file->place, error)) {
            notes.push_back({Action::FlushFolder, file->path, error, ""});
        }
    }
    return placed;
}

void discard(PendingFile& file, std::vector<Failure>& notes) {
    const std::string name = file.temp.name;
    int error = 0;
    if (!removeTemporary(file.place, file.temp, error)) {
        notes.push_back({Action::RemoveTemporary, file.path, error, name});
    }
    file.sink.fd = -1;
    closePlace(file.place);
}
