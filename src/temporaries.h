// The files a run makes beside its targets, from their creation until they are put in
// place or gone, and what an end of the process at any moment leaves of them.
//
// A run makes at most three: a temporary for the output, one for the log, and, while
// the two are put in place, a backup of the earlier log. A temporary goes through
//
//   created  Open for writing, carrying what the file it will replace has. Where the
//            system gives files without a name (Linux, its /proc leading back to them)
//            it has none: nothing is on disk that any end of the process could leave.
//            Elsewhere it is named ".tarvelin-" and eight letters in the target's
//            folder, and registered.
//   sealed   Written out to its disk, before anything is put in place.
//   named    Just before it is put in place, a file without a name gets one, and is
//            registered.
//   placed   Renamed over its target, and out of the registry. Or
//   removed  Closed and, where it has a name, removed; out of the registry.
//
// The backup is a second name, registered, for the earlier log (on Windows a copy the
// run makes, held open and marked to go until the log is replaced, so that no other
// program can keep it), made before the new log is put in place. Once the output is in place it is
// removed; should the output's rename fail, it is renamed back over the log. Where that removal or
// that rename fails, it is taken out of the registry and kept, for the run to name.
//
// Every signal that would end the process removes each registered file first, then
// ends it as it would have (on Windows, the console's Ctrl+C, Ctrl+Break and closing).
// The handlers are installed when the first file is registered. Only what cannot be
// caught (SIGKILL, a power cut) leaves files: those registered at that moment, so from
// the first name given in putting the files in place to the backup's removal.
#pragma once

#include "platform.h"

#include <string>

// Which of the run's files a temporary is: each has its place in the registry.
enum class Role { Output, Log, Backup };

struct Temporary {
    Role role = Role::Output;
    int fd = -1;
    // Its name in the target's folder, once it has one; empty for a backup of nothing.
    std::string name;
};

// Creates the temporary for `target` (`text`: in the platform's text mode), carrying
// over what a file already at the target has. On failure nothing is left.
bool createTemporary(const Place& target, bool text, Role role, Temporary& temp, int& error);
// The temporary is complete: it takes again what the file at `target` has (writing
// may have cleared some of it), and its data is written out to its disk, so that once
// it is in place a power cut cannot leave it empty or partial.
bool sealTemporary(const Place& target, Temporary& temp, int& error);
// Names the sealed temporary where it has no name, renames it over its target, and
// closes it. On failure it is still there to remove.
bool placeTemporary(const Place& target, Temporary& temp, int& error);
// Closes a temporary not put in place and removes its name, if it has one. Where
// that fails the temporary is kept under its name, out of the registry.
bool removeTemporary(const Place& target, Temporary& temp, int& error);

// Keeps the file now at `target` under a second name (on Windows a copy, held and
// marked to go) until it is dropped or restored; `backup` stays without a name when
// there is no such file. Fails with NO_HARD_LINKS where the folder's file system
// cannot give a file a second name.
bool keepBackup(const Place& target, Temporary& backup, int& error);
// The log is about to be replaced: the backup no longer goes with the process (Windows)
// should it end before the output is in place, when it is the earlier log's only copy.
bool backupNeeded(Temporary& backup, int& error);
// Puts the backup back over what replaced it (or, with no backup, removes what now
// stands at the target). Where that fails the backup is kept under its name.
bool restoreBackup(const Place& target, Temporary& backup, int& error);
// Removes the backup, no longer wanted. Where that fails it is kept under its name.
bool dropBackup(const Place& target, Temporary& backup, int& error);

// Interruptions are held off from its making until its end, so that none lands while
// the files on disk and the registry disagree. Holds may nest.
struct InterruptionHold {
    InterruptionHold();
    ~InterruptionHold();
    InterruptionHold(const InterruptionHold&) = delete;
    InterruptionHold& operator=(const InterruptionHold&) = delete;
};
