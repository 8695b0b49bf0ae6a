// The platform's code that is the same on every system, built on the raw calls each
// system's file provides: the registry of temporaries, the read and write loops,
// temporary names, error texts.
#include "platform_os.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <new>

namespace {

// One call moves at most this much, which every system accepts.
constexpr size_t CHUNK = size_t(1) << 30;

// A short name no other file is likely to have; creating it exclusively makes sure.
std::string randomLetters(int attempt) {
    uint64_t x = uint64_t(std::chrono::steady_clock::now().time_since_epoch().count()) ^
                 uint64_t(processId()) << 40 ^ uint64_t(attempt) * 0x9E3779B97F4A7C15ull;
    x = (x ^ x >> 30) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ x >> 27) * 0x94D049BB133111EBull;
    x ^= x >> 31;
    static const char letters[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    std::string name;
    for (int i = 0; i < 8; ++i, x /= 36) {
        name += letters[x % 36];
    }
    return name;
}

} // namespace

std::string temporaryName(int attempt) {
    return ".tarvelin-" + randomLetters(attempt);
}

// Each entry's name is set last and taken first, so that a handler sees an entry
// whole or not at all.
void enlist(CleanupRegistry& registry, const Place& place, const std::string& name) {
    const std::string held = place.folderPath + name;
    for (CleanupEntry& entry : registry.entries) {
        if (!entry.name.load()) {
            char* copy = new char[held.size() + 1];
            std::memcpy(copy, held.c_str(), held.size() + 1);
            entry.folder.store(place.folder);
            entry.name.store(copy);
            return;
        }
    }
}

void delist(CleanupRegistry& registry, const Place& place, const std::string& name) {
    const std::string held = place.folderPath + name;
    for (CleanupEntry& entry : registry.entries) {
        char* const entryName = entry.name.load();
        if (entryName && held == entryName) {
            entry.name.store(nullptr);
            delete[] entryName;
        }
    }
}

void removeRegistered(CleanupRegistry& registry) {
    for (CleanupEntry& entry : registry.entries) {
        char* const name = entry.name.exchange(nullptr);
        if (name) {
            removeInFolder(entry.folder.load(), name);
        }
    }
}

bool createNamedTemporary(CleanupRegistry& registry, const Place& target, bool text,
                          Temporary& temp, int& error) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string name = temporaryName(attempt);
        if (openExclusive(target, name, text, temp.fd, error)) {
            temp.name = name;
            enlist(registry, target, name);
            return true;
        }
        if (error != EEXIST) {
            break;
        }
    }
    return false;
}

bool keepBackup(CleanupRegistry& registry, const Place& target, Temporary& backup, int& error) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string name = temporaryName(attempt);
        if (linkInFolder(target, target.name, name, error)) {
            backup.name = name;
            enlist(registry, target, name);
            return true;
        }
        if (error == ENOENT) {
            return true;
        }
        if (error != EEXIST) {
            break;
        }
    }
    return false;
}

void restoreBackup(CleanupRegistry& registry, const Place& target, Temporary& backup) {
    int ignored = 0;
    if (backup.name.empty()) {
        removeInFolder(target.folder, (target.folderPath + target.name).c_str());
    } else if (renameInFolder(target, backup.name, target.name, ignored)) {
        delist(registry, target, backup.name);
        backup.name.clear();
    }
}

bool readAt(int fd, uint64_t offset, void* dest, size_t size, int& error) {
    if (platformSeek(fd, offset) < 0) {
        error = errno;
        return false;
    }
    auto* at = static_cast<char*>(dest);
    while (size > 0) {
        const long long got = platformRead(fd, at, size < CHUNK ? size : CHUNK);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            error = got < 0 ? errno : 0;
            return false;
        }
        at += got;
        size -= size_t(got);
    }
    return true;
}

bool writeAll(int fd, const void* data, size_t size, int& error) {
    const auto* at = static_cast<const char*>(data);
    while (size > 0) {
        const long long put = platformWrite(fd, at, size < CHUNK ? size : CHUNK);
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put <= 0) {
            error = put < 0 ? errno : ENOSPC;
            return false;
        }
        at += put;
        size -= size_t(put);
    }
    return true;
}

bool writeAt(int fd, uint64_t offset, const void* data, size_t size, int& error) {
    const long long end = platformSeekEnd(fd);
    if (end < 0 || platformSeek(fd, offset) < 0) {
        error = errno;
        return false;
    }
    if (!writeAll(fd, data, size, error)) {
        return false;
    }
    if (platformSeek(fd, uint64_t(end)) < 0) {
        error = errno;
        return false;
    }
    return true;
}

bool closeFile(int fd, int& error) {
    if (platformClose(fd) != 0) {
        error = errno;
        return false;
    }
    return true;
}

bool readBack(int fd, void* dest, size_t size, int& error) {
    return readAt(fd, 0, dest, size, error);
}

bool takeInputBytes(int fd, uint64_t size, InputBytes& bytes, int& error) {
    static const uint8_t nothing = 0;
    bytes.size = size;
    bytes.data = size == 0 ? &nothing : mapFile(fd, size);
    if (bytes.data) {
        return true;
    }
    if (size > uint64_t(SIZE_MAX)) {
        error = ENOMEM;
        return false;
    }
    bytes.storage.reset(new (std::nothrow) uint8_t[size_t(size)]);
    if (!bytes.storage) {
        error = ENOMEM;
        return false;
    }
    bytes.data = bytes.storage.get();
    return readAt(fd, 0, bytes.storage.get(), size_t(size), error);
}

std::string errorText(int error) {
    switch (error) {
    case ENDED_EARLY:
        return "the file ended early";
    case NOT_REGULAR_FILE:
        return "Not a regular file";
    case IS_THE_INPUT:
        return "it is the input file";
    case IS_THE_OUTPUT:
        return "it is the output file";
    case CHANGED_WHILE_READ:
        return "the file changed or failed while it was being read";
    case NO_MATCH:
        return "no file matches it";
    default:
        return std::strerror(error);
    }
}

bool printText(const std::string& text) {
    int error = 0;
    return std::fflush(stdout) == 0 && writeAll(1, text.data(), text.size(), error);
}
