// Writing the output and the log to temporaries beside their targets, and putting them
// in place: the output, then the log.
#pragma once

#include "sink.h"
#include "temporaries.h"

#include <string>
#include <vector>

// What a run could not do, as it happened: the action, the file as the user named it,
// the error, and for a temporary that could not be removed, the name it is left under.
// The words are the messages' concern.
enum class Action { Open, Read, Create, Write, ReplaceLog, RemoveTemporary, FlushFolder };
struct Failure {
    Action action = Action::Open;
    std::string path;
    int error = 0;
    std::string left;
};

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
// a target that is the input, that a new file must not be put in place of, or that is
// the other's.
bool aimFiles(PendingFile& output, const std::string& outputPath, PendingFile& log,
              const std::string& logPath, const FileId& input, Failure& failure);
// Creates the file's temporary and opens its sink; `text` for the platform's text mode.
bool startFile(PendingFile& file, Role role, bool text, Failure& failure);
// Writes out what the sink holds and seals the temporary, ready to be put in place.
bool finishWriting(PendingFile& file, Failure& failure);
// Puts the output in place and then the log, interruptions held off across the two
// renames, then writes their folders out to disk. Should the log's rename alone fail,
// the model is converted beside the earlier log (ReplaceLog). A folder that could not
// be written out is noted.
bool putInPlace(PendingFile& output, PendingFile& log, Failure& failure,
                std::vector<Failure>& notes);
// Removes what is left of a file not put in place, and lets go of its folder; a
// temporary that cannot be removed is noted.
void discard(PendingFile& file, std::vector<Failure>& notes);
