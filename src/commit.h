// Writing the output and the log under temporary names beside their targets, and
// putting them in place together or not at all.
#pragma once

#include "platform.h"
#include "sink.h"

#include <string>

// "Cannot <verb> "<path>": <reason>", the line for a file that could not be used.
std::string ioProblem(const char* verb, const std::string& path, int error);

// A file being written under a temporary name in the directory of the file it will
// replace. `path` names it in messages; `target` is where it lands, the end of the
// links `path` may lead through.
struct PendingFile {
    std::string path;
    std::string target;
    std::string tempPath;
    Sink sink;
};

// Finds where the file lands and refuses, before anything is created, a target that
// is the input or that a new file cannot be put in place of.
bool aimFile(PendingFile& file, const std::string& path, const FileId& input, std::string& problem);
// Creates the file's temporary and opens its sink; `text` for the platform's text mode.
bool startFile(CleanupRegistry& registry, PendingFile& file, bool text, std::string& problem);
// Writes out what the sink holds and closes the temporary.
bool finishWriting(PendingFile& file, std::string& problem);
// Puts the log in place and then the output. The output's rename is the commit point:
// a run that reports a failure has not replaced the output.
bool putInPlace(CleanupRegistry& registry, PendingFile& log, PendingFile& output,
                std::string& problem);
// Closes and removes what is left of a file not put in place.
void discard(CleanupRegistry& registry, PendingFile& file);
