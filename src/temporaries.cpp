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
Entry registry[2];
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
// creating it exclusively makes sure. Two runs started in the same instant differ by
// where their stacks lie.
std::string freshName() {
    const int local = 0;
    static std::mt19937_64 letters(
        uint64_t(std::chrono::steady_clock::now().time_since_epoch().count()) ^
        uint64_t(reinterpret_cast<uintptr_t>(&local)));
    static const char alphabet[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    std::string name = ".tarvelin-";
    uint64_t x = letters();
    for (int i = 0; i < 8; ++i, x /= 36) {
        name += alphabet[x % 36];
    }
    return name;
}

// Gives the run's file `temp` a fresh name in the place's folder with `make` (creating
// or naming it there), registered in the same held moment.
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
    return created && copyAttributes(temp.fd, target, error);
}

bool sealTemporary(const Place& target, Temporary& temp, int& error) {
    // Writing clears set-user-ID and set-group-ID for a user: what the replaced file had
    // is given again once the data is in.
    return copyAttributes(temp.fd, target, error) && flushFile(temp.fd, error);
}

bool nameTemporary(const Place& target, Temporary& temp, int& error) {
    return !temp.name.empty() ||
           giveFreshName(
               target, temp,
               [&](const std::string& name) { return nameFile(target, temp.fd, name, error); },
               error);
}

bool placeTemporary(const Place& target, Temporary& temp, int& error) {
    InterruptionHold hold;
    // Renamed while still open, so that no other program can open and hold it between
    // its closing and its rename (Windows); its data is on its disk already.
    if (!placeFile(target, temp.fd, temp.name, error)) {
        return false;
    }
    delist(temp.role);
    temp.name.clear();
    temp.fd = -1;
    return true;
}

bool removeTemporary(const Place& target, Temporary& temp, int& error) {
    if (temp.fd < 0) {
        return true;
    }
    InterruptionHold hold;
    const bool removed = discardFile(target, temp.fd, temp.name, error) || error == NOT_FOUND;
    temp.fd = -1;
    delist(temp.role);
    if (removed) {
        temp.name.clear();
    }
    return removed;
}
