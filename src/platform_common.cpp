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
// A file is printed a megabyte at a time.
constexpr uint64_t CHUNK_PRINTED = uint64_t(1) << 20;

void enlist(CleanupRegistry& registry, const std::string& path) {
    for (auto& slot : registry.temporaries) {
        if (!slot.load()) {
            char* copy = new char[path.size() + 1];
            std::memcpy(copy, path.c_str(), path.size() + 1);
            slot.store(copy);
            return;
        }
    }
}

void delist(CleanupRegistry& registry, const std::string& path) {
    for (auto& slot : registry.temporaries) {
        char* const held = slot.load();
        if (held && path == held) {
            slot.store(nullptr);
            delete[] held;
        }
    }
}

// A short name no other file is likely to have; creating it exclusively makes sure.
std::string randomName(int attempt) {
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

void removeRegistered(CleanupRegistry& registry) {
    for (auto& slot : registry.temporaries) {
        char* const path = slot.exchange(nullptr);
        if (path) {
            removePath(path);
        }
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

bool createTemporary(CleanupRegistry& registry, const std::string& target, bool text,
                     std::string& tempPath, int& fd, int& error) {
    const std::string directory = directoryOf(target);
    holdInterruptions(registry);
    bool created = false;
    for (int attempt = 0; attempt < 100 && !created; ++attempt) {
        tempPath = directory + ".tarvelin-" + randomName(attempt);
        created = openExclusive(tempPath, text, fd, error);
        if (!created && error != EEXIST) {
            break;
        }
    }
    if (created) {
        enlist(registry, tempPath);
        if (!keepMode(fd, target, error)) {
            platformClose(fd);
            fd = -1;
            removePath(tempPath.c_str());
            delist(registry, tempPath);
            created = false;
        }
    }
    releaseInterruptions(registry);
    return created;
}

void removeTemporary(CleanupRegistry& registry, const std::string& tempPath) {
    holdInterruptions(registry);
    removePath(tempPath.c_str());
    delist(registry, tempPath);
    releaseInterruptions(registry);
}

bool replaceFiles(CleanupRegistry& registry, const std::vector<Replacement>& files, size_t& failed,
                  int& error) {
    holdInterruptions(registry);
    bool replaced = true;
    for (failed = 0; failed < files.size(); ++failed) {
        replaced = renamePath(files[failed].tempPath, files[failed].target, error);
        if (!replaced) {
            break;
        }
        delist(registry, files[failed].tempPath);
    }
    releaseInterruptions(registry);
    return replaced;
}

std::string errorText(int error) {
    switch (error) {
    case ENDED_EARLY:
        return "the file ended early";
    case NOT_REGULAR_FILE:
        return "Not a regular file";
    case IS_THE_INPUT:
        return "it is the input file";
    default:
        return std::strerror(error);
    }
}

bool printFile(int fd, uint64_t size) {
    if (std::fflush(stdout) != 0) {
        return false;
    }
    std::unique_ptr<uint8_t[]> chunk(new uint8_t[CHUNK_PRINTED]);
    int error = 0;
    for (uint64_t at = 0; at < size; at += CHUNK_PRINTED) {
        const size_t count = size_t(std::min<uint64_t>(CHUNK_PRINTED, size - at));
        if (!readAt(fd, at, chunk.get(), count, error) || !writeAll(1, chunk.get(), count, error)) {
            return false;
        }
    }
    return true;
}
