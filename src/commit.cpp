#include "commit.h"

std::string ioProblem(const char* verb, const std::string& path, int error) {
    return std::string("Cannot ") + verb + " \"" + path + "\": " + errorText(error);
}

bool aimFile(PendingFile& file, const std::string& path, const FileId& input,
             std::string& problem) {
    file.path = path;
    int error = 0;
    if (!followLinks(path, file.target, error) || !checkReplaceable(file.target, input, error)) {
        problem = ioProblem("write", path, error);
        return false;
    }
    return true;
}

bool startFile(CleanupRegistry& registry, PendingFile& file, bool text, std::string& problem) {
    int error = 0;
    if (!createTemporary(registry, file.target, text, file.tempPath, file.sink.fd, error)) {
        problem = ioProblem("create", file.path, error);
        return false;
    }
    return true;
}

bool finishWriting(PendingFile& file, std::string& problem) {
    const bool flushed = sinkFlush(file.sink);
    int error = file.sink.error;
    const bool closed = closeFile(file.sink.fd, error);
    file.sink.fd = -1;
    if (!flushed || !closed) {
        problem = ioProblem("write", file.path, error);
        return false;
    }
    return true;
}

bool putInPlace(CleanupRegistry& registry, PendingFile& log, PendingFile& output,
                std::string& problem) {
    size_t failed = 0;
    int error = 0;
    const bool replaced = replaceFiles(
        registry, {{log.tempPath, log.target}, {output.tempPath, output.target}}, failed, error);
    if (replaced || failed > 0) {
        log.tempPath.clear();
    }
    if (replaced) {
        output.tempPath.clear();
    } else {
        problem = ioProblem("write", failed == 0 ? log.path : output.path, error);
    }
    return replaced;
}

void discard(CleanupRegistry& registry, PendingFile& file) {
    if (file.sink.fd >= 0) {
        int ignored = 0;
        closeFile(file.sink.fd, ignored);
        file.sink.fd = -1;
    }
    if (!file.tempPath.empty()) {
        removeTemporary(registry, file.tempPath);
        file.tempPath.clear();
    }
}
