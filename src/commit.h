// Writing the output and the log under temporary names beside their targets, and
// putting them in place together or not at all.
#pragma once

#include "messages.h"
#include "sink.h"
#include "temporaries.h"

#include <string>

// A file being written to a temporary in the folder of the file it will replace.
// `path` names it in messages; `place` is where it lands, the end of the links `path`
// may lead through.
struct PendingFile {
    std::string path;
    Place place;
    Temporary temp;
    Sink sink;
};

// Finds where the output and the log land and refuses, before anything is created,
// a target that is the input, that a new file cannot be put in place of, or that is
// the other's.
bool aimFiles(PendingFile& output, const std::string& outputPath, PendingFile& log,
              const std::string& logPath, const FileId& input, std::string& problem);
// Creates the file's temporary and opens its sink; `text` for the platform's text mode.
// A failure names `shownPath`, where the user can find the folder that refused it.
bool startFile(PendingFile& file, Role role, bool text, const std::string& shownPath,
               std::string& problem);
// Writes out what the sink holds and seals the temporary, ready to be put in place.
bool finishWriting(PendingFile& file, std::string& problem);
// Puts the log in place and then the output, keeping the earlier log until the output
// is in place: should the output fail, the earlier log is put back, so a run that
// reports a failure leaves the earlier pair. Where a copy of the earlier log cannot be
// put back or removed, `problem` (on failure) or `notice` (on success) names it.
bool putInPlace(PendingFile& log, PendingFile& output, std::string& problem, std::string& notice);
// Removes what is left of a file not put in place, and lets go of its folder; a
// temporary that cannot be removed is named in `problem`.
void discard(PendingFile& file, std::string& problem);
