#include "temporaries.h"

#include <atomic>
#include <cassert>
#include <chrono>
#include <cstring>
#include <random>

namespace {

// The registry: for each of the run's files, the folder it is in (a descriptor; -1
// on Windows) and its name there (on Windows the whole path), for the handlers. Each
// name is set last and taken first, so that a handler sees an entry whole or not at all.
struct Entry {
    std::atomic<int> folder{-1};
    std::atomic<char*> name{nullptr};
};
Entry registry[3];
bool handlersInstalled = false;
int holdDepth = 0;

Entry& entryOf(Role role) {
    return registry[int(role)];
}

// Removes every registered file. Safe in a signal handler: no allocation, and each
// entry is taken out whole.
void removeRegistered() {
    for (Entry& entry : registry) {
        char* const name = entry.name.exchange(nullptr);
        if (name) {
            removeInHandler(entry.folder.load(), name);
        }
    }
}

void enlist(Role role, const Place& place, const std::string& name) {
    if (!handlersInstalled) {
        installFatalHandlers(removeRegistered);
        handlersInstalled = true;
    }
    const std::string held = place.folderPath + name;
    char* copy = new char[held.size() + 1];
    std::memcpy(copy, held.c_str(), held.size() + 1);
    Entry& entry = entryOf(role);
    assert(!entry.name.load());
    entry.folder.store(place.folder);
    entry.name.store(copy);
}

void delist(Role role) {
    delete[] entryOf(role).name.exchange(nullptr);
}

// ".tarvelin-" and eight letters or digits: a name no other file is likely to have;
// creating it exclusively makes sure.
std::string freshName() {
    static std::mt19937_64 letters(
        std::random_device{}() ^
        uint64_t(std::chrono::steady_clock::now().time_since_epoch().count()));
    static const char alphabet[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    std::string name = ".tarvelin-";
    uint64_t x = letters();
    for (int i = 0; i < 8; ++i, x /= 36) {
        name += alphabet[x % 36];
    }
    return name;
}

// Gives the run's file `temp` a fresh name in the place's folder with `make` (creating,
// naming or linking it there), registered in the same held moment.
template <typename Make>
bool giveFreshName(const Place& place, Temporary& temp, Make make, int& error) {
    InterruptionHold hold;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string name = freshName();
        if (make(name)) {
            temp.name = name;
            enlist(temp.role, place, name);
            return true;
        }
        if (error != ALREADY_EXISTS) {
            return false;
        }
    }
    return false;
}

bool closeTemporary(Temporary& temp, int& error) {
    const int fd = temp.fd;
    temp.fd = -1;
    return fd < 0 || closeFile(fd, error);
}

} // namespace

InterruptionHold::InterruptionHold() {
    if (holdDepth++ == 0) {
        holdInterruptions();
    }
}

InterruptionHold::~InterruptionHold() {
    if (--holdDepth == 0) {
        releaseInterruptions();
    }
}

bool createTemporary(const Place& target, bool text, Role role, Temporary& temp, int& error) {
    temp.role = role;
    bool created = createFile(target, "", text, temp.fd, error);
    if (!created && error == NO_UNNAMED_FILES) {
        created = giveFreshName(
            target, temp,
            [&](const std::string& name) { return createFile(target, name, text, temp.fd, error); },
            error);
    }
    int ignored = 0;
    if (created && !copyAttributes(temp.fd, target, error)) {
        removeTemporary(target, temp, ignored);
        return false;
    }
    return created;
}

bool sealTemporary(const Place& target, Temporary& temp, int& error) {
    // Writing clears set-user-ID and set-group-ID for a user, and a capability: what the
    // replaced file had is given again once the data is in.
    return copyAttributes(temp.fd, target, error) && flushFile(temp.fd, error);
}

bool placeTemporary(const Place& target, Temporary& temp, int& error) {
    InterruptionHold hold;
    if (temp.name.empty() &&
        !giveFreshName(
            target, temp,
            [&](const std::string& name) { return nameFile(target, temp.fd, name, error); },
            error)) {
        return false;
    }
    // Renamed while still open, so that no other program can open and hold it between its
    // closing and its rename; its data is on its disk already, so closing it then can
    // lose nothing.
    if (!markToGo(temp.fd, false, error) ||
        !renameInFolder(target, temp.name, target.name, error)) {
        return false;
    }
    delist(temp.role);
    temp.name.clear();
    int ignored = 0;
    closeTemporary(temp, ignored);
    return true;
}

bool removeTemporary(const Place& target, Temporary& temp, int& error) {
    if (temp.fd < 0 && temp.name.empty()) {
        return true;
    }
    InterruptionHold hold;
    int ignored = 0;
    // A file marked to go goes as it is closed, or at the latest with the process.
    const bool goes = temp.fd >= 0 && markToGo(temp.fd, true, ignored);
    closeTemporary(temp, ignored);
    const bool removed =
        goes || temp.name.empty() || removeInFolder(target, temp.name, error) || error == NOT_FOUND;
    if (!temp.name.empty()) {
        delist(temp.role);
    }
    if (removed) {
        temp.name.clear();
    }
    return removed;
}

bool keepBackup(const Place& target, Temporary& backup, int& error) {
    backup.role = Role::Backup;
    return giveFreshName(
               target, backup,
               [&](const std::string& name) {
                   return keepCopy(target, target.name, name, backup.fd, error);
               },
               error) ||
           error == NOT_FOUND;
}

bool backupNeeded(Temporary& backup, int& error) {
    return backup.fd < 0 || markToGo(backup.fd, false, error);
}

bool restoreBackup(const Place& target, Temporary& backup, int& error) {
    InterruptionHold hold;
    if (backup.name.empty()) {
        return removeInFolder(target, target.name, error);
    }
    const bool restored = placeTemporary(target, backup, error);
    // Kept where it could not be put back, and no longer held.
    int ignored = 0;
    closeTemporary(backup, ignored);
    delist(Role::Backup);
    return restored;
}

bool dropBackup(const Place& target, Temporary& backup, int& error) {
    if (backup.name.empty()) {
        return true;
    }
    InterruptionHold hold;
    // A held backup is marked to go again, and goes as it is closed, or with the process.
    const bool dropped = backup.fd >= 0 ? markToGo(backup.fd, true, error)
                                        : removeInFolder(target, backup.name, error);
    int ignored = 0;
    closeTemporary(backup, ignored);
    delist(Role::Backup);
    if (dropped) {
        backup.name.clear();
    }
    return dropped;
}
