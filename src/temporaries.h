// The files a run makes beside its targets, from their creation until they are put in
// place or gone, and what an end of the process at any moment leaves of them.
//
// A run makes two: a temporary for the output and one for the log. Each goes through
//
//   created  Open for writing, carrying what the file it will replace has. Where the
//            system gives files without a name (Linux's O_TMPFILE, with /proc leading
//            back to them) it has none: nothing is on disk that any end of the process
//            could leave. Elsewhere it is named ".tarvelin-" and eight letters in the
//            target's folder, and registered.
//   sealed   Given again what the replaced file has, and written out to its disk
//            (fdatasync), before anything is put in place.
//   named    Just before its rename, a file without a name gets one (a hard link), and
//            is registered.
//   placed   Renamed over its target and closed, out of the registry. Or
//   removed  Closed and, where it has a name, removed; out of the registry.
//
// Every signal that would end the process removes each registered file first, then
// ends it as it would have (on Windows, the console's Ctrl+C, Ctrl+Break and closing).
// The handlers are installed when the first file is registered. Only what cannot be
// caught (SIGKILL, a power cut) leaves files: those registered at that moment, so on
// Linux only in the instant of putting the two in place.
#pragma once

#include "platform.h"

#include <string>

// Which of the run's files a temporary is: each has its place in the registry.
enum class Role { Output, Log };

struct Temporary {
    Role role = Role::Output;
    int fd = -1;
    // Its name in the target's folder, once it has one.
    std::string name;
};

// Creates the temporary for `target` (`text`: in the platform's text mode), carrying
// over what a file already at the target has. On failure a temporary made is left to
// removeTemporary.
bool createTemporary(const Place& target, bool text, Role role, Temporary& temp, int& error);
// The temporary is complete: it takes again what the file at `target` has (writing
// may have cleared some of it), and its data is written out to its disk, so that once
// it is in place a power cut cannot leave it empty or partial.
bool sealTemporary(const Place& target, Temporary& temp, int& error);
// Gives the sealed temporary a name where it has none (a hard link), registered.
bool nameTemporary(const Place& target, Temporary& temp, int& error);
// Renames the named temporary over its target, and closes it. On failure it is still
// there to remove.
bool placeTemporary(const Place& target, Temporary& temp, int& error);
// Closes a temporary not put in place and removes its name, if it has one. Where
// that fails the temporary is kept under its name, out of the registry.
bool removeTemporary(const Place& target, Temporary& temp, int& error);

// Interruptions are held off from its making until its end, so that none lands while
// the files on disk and the registry disagree, or between the two renames. Holds nest.
struct InterruptionHold {
    InterruptionHold();
    ~InterruptionHold();
    InterruptionHold(const InterruptionHold&) = delete;
    InterruptionHold& operator=(const InterruptionHold&) = delete;
};
