// The platform on POSIX systems: descriptors, the mapped input, places and temporaries.
#include "platform_os.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/xattr.h>
#endif
#ifndef MADV_POPULATE_READ
#define MADV_POPULATE_READ 22
#endif

namespace {

// Opens a folder to work relative to: without reading it where the system allows, so
// that a folder this user may only pass through still serves. A path too long for
// one call is opened a name at a time.
int openFolder(int base, const std::string& path, int& error) {
#ifdef O_PATH
    const int flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
#else
    const int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
#endif
    int fd = openat(base, path.c_str(), flags);
    if (fd < 0 && errno == ENAMETOOLONG) {
        fd = openat(path[0] == '/' ? AT_FDCWD : base, path[0] == '/' ? "/" : ".", flags);
        for (size_t at = 0; fd >= 0 && at < path.size();) {
            const size_t end = std::min(path.find('/', at), path.size());
            const std::string name = path.substr(at, end - at);
            at = end + 1;
            if (!name.empty()) {
                const int next = openat(fd, name.c_str(), flags);
                close(fd);
                fd = next;
            }
        }
    }
    error = errno;
    return fd;
}

// The folder part of a path and the name after its last '/'.
void splitPath(const std::string& path, std::string& folder, std::string& name) {
    const size_t slash = path.rfind('/');
    folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (name.empty()) {
        name = ".";
    }
}

bool readLink(int folder, const std::string& name, std::string& link, int& error) {
    std::vector<char> text(256);
    ssize_t length;
    while ((length = readlinkat(folder, name.c_str(), text.data(), text.size())) >= 0 &&
           size_t(length) == text.size()) {
        text.resize(text.size() * 2);
    }
    if (length < 0) {
        error = errno;
        return false;
    }
    link.assign(text.data(), size_t(length));
    return true;
}

int64_t modifiedAt(const struct stat& info) {
    return int64_t(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
}

bool sameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Whether a rename may replace the file: not where it is a mount point, nor where it
// is immutable or append-only.
bool renameMayReplace(const Place& place, const struct stat& file, const struct stat& folder,
                      int& error) {
    error = file.st_dev != folder.st_dev ? EBUSY : 0;
#if defined(__linux__) && defined(STATX_MNT_ID)
    struct statx fileX = {};
    struct statx folderX = {};
    if (error == 0 && statx(place.folder, place.name.c_str(), 0, STATX_MNT_ID, &fileX) == 0) {
        if (statx(place.folder, "", AT_EMPTY_PATH, STATX_MNT_ID, &folderX) == 0 &&
            (fileX.stx_mask & folderX.stx_mask & STATX_MNT_ID) &&
            fileX.stx_mnt_id != folderX.stx_mnt_id) {
            error = EBUSY;
        }
        const uint64_t fixed = STATX_ATTR_IMMUTABLE | STATX_ATTR_APPEND;
        if (fileX.stx_attributes & fileX.stx_attributes_mask & fixed) {
            error = EPERM;
        }
    }
#else
    (void)place;
#endif
    return error == 0;
}

// Copies the extended attributes of an existing target, its access lists among them,
// to the new file. One the process may not set is left, as its owner may be.
bool copyAttributes(int fd, const Place& target, int& error) {
#ifdef __linux__
    const int source =
        openat(target.folder, target.name.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (source < 0) {
        return true;
    }
    std::vector<char> names;
    ssize_t length = flistxattr(source, nullptr, 0);
    while (length > 0) {
        names.resize(size_t(length));
        length = flistxattr(source, names.data(), names.size());
        if (length >= 0 || errno != ERANGE) {
            break;
        }
        length = flistxattr(source, nullptr, 0);
    }
    bool copied = true;
    std::vector<char> value;
    for (size_t at = 0; copied && length > 0 && at < size_t(length);) {
        const char* const name = names.data() + at;
        at += std::strlen(name) + 1;
        ssize_t size = fgetxattr(source, name, nullptr, 0);
        value.resize(size > 0 ? size_t(size) : 1);
        size = size < 0 ? size : fgetxattr(source, name, value.data(), value.size());
        if (size >= 0 && fsetxattr(fd, name, value.data(), size_t(size), 0) != 0 &&
            errno != EPERM && errno != EACCES && errno != ENOTSUP) {
            error = errno;
            copied = false;
        }
    }
    close(source);
    return copied;
#else
    (void)fd;
    (void)target;
    (void)error;
    return true;
#endif
}

// Gives the file the owner and group, or where the process may not, the group alone;
// where it may not do that either, the file stays this user's, as a file it creates
// would be.
bool giveOwner(int fd, uid_t owner, gid_t group) {
    return fchown(fd, owner, group) == 0 || fchown(fd, uid_t(-1), group) == 0;
}

// A replaced file keeps what it had: owner and group where the process may set them,
// then the permission bits (setting the owner may clear set-group-ID), then the
// extended attributes (an access list after the bits it refines). A new file keeps
// what its creation gave it.
bool carryAttributes(int fd, const Place& target, int& error) {
    struct stat info;
    struct stat own;
    if (fstatat(target.folder, target.name.c_str(), &info, 0) != 0 || !S_ISREG(info.st_mode) ||
        fstat(fd, &own) != 0) {
        return true;
    }
    if (own.st_uid != info.st_uid || own.st_gid != info.st_gid) {
        giveOwner(fd, info.st_uid, info.st_gid);
    }
    if (fchmod(fd, info.st_mode & 07777) != 0) {
        error = errno;
        return false;
    }
    return copyAttributes(fd, target, error);
}

#ifdef O_TMPFILE
// The path through which a file without a name can be given one.
std::string descriptorPath(int fd) {
    return "/proc/self/fd/" + std::to_string(fd);
}

// A file without a name, in the target's folder, that a killed run cannot leave
// behind: only where it can later be given a name (the system has /proc to link it
// through).
bool createUnnamed(const Place& target, Temporary& temp) {
    temp.fd = openat(target.folder, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
    struct stat viaProc;
    struct stat own;
    if (temp.fd >= 0 && (stat(descriptorPath(temp.fd).c_str(), &viaProc) != 0 ||
                         fstat(temp.fd, &own) != 0 || !sameFile(viaProc, own))) {
        close(temp.fd);
        temp.fd = -1;
    }
    return temp.fd >= 0;
}
#endif

} // namespace

long long platformSeek(int fd, uint64_t offset) {
    return lseek(fd, off_t(offset), SEEK_SET);
}
long long platformSeekEnd(int fd) {
    return lseek(fd, 0, SEEK_END);
}
long long platformRead(int fd, void* dest, size_t size) {
    return read(fd, dest, size);
}
long long platformWrite(int fd, const void* data, size_t size) {
    return write(fd, data, size);
}
int platformClose(int fd) {
    return close(fd);
}
int processId() {
    return int(getpid());
}

bool openExclusive(const Place& place, const std::string& name, bool, int& fd, int& error) {
    fd = openat(place.folder, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    error = errno;
    return fd >= 0;
}

bool linkInFolder(const Place& place, const std::string& from, const std::string& to, int& error) {
    if (linkat(place.folder, from.c_str(), place.folder, to.c_str(), 0) != 0) {
        error = errno;
        return false;
    }
    return true;
}

bool renameInFolder(const Place& place, const std::string& from, const std::string& to,
                    int& error) {
    if (renameat(place.folder, from.c_str(), place.folder, to.c_str()) != 0) {
        error = errno;
        return false;
    }
    return true;
}

bool removeInFolder(int folder, const char* name) {
    return unlinkat(folder, name, 0) == 0;
}

const uint8_t* mapFile(int fd, uint64_t size) {
    if (size > uint64_t(SIZE_MAX)) {
        return nullptr;
    }
    void* map = mmap(nullptr, size_t(size), PROT_READ, MAP_PRIVATE, fd, 0);
    return map == MAP_FAILED ? nullptr : static_cast<const uint8_t*>(map);
}

bool openInput(const std::string& path, InputFile& input, int& error) {
    // Not blocking, so that a pipe is refused at once rather than waited on.
    input.fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (input.fd < 0) {
        error = errno;
        return false;
    }
    struct stat info;
    const bool known = fstat(input.fd, &info) == 0;
    if (!known || !S_ISREG(info.st_mode)) {
        error = !known ? errno : S_ISDIR(info.st_mode) ? EISDIR : NOT_REGULAR_FILE;
        platformClose(input.fd);
        input.fd = -1;
        return false;
    }
    input.id = {uint64_t(info.st_dev), uint64_t(info.st_ino)};
    input.size = uint64_t(info.st_size);
    input.modified = modifiedAt(info);
    return true;
}

bool checkInputUnchanged(const InputFile& input, int& error) {
    struct stat info;
    if (fstat(input.fd, &info) != 0) {
        error = errno;
        return false;
    }
    error = CHANGED_WHILE_READ;
    return uint64_t(info.st_size) == input.size && modifiedAt(info) == input.modified;
}

bool createScratchFile(int& fd, int& error) {
#if defined(__linux__)
    fd = memfd_create("tarvelin", MFD_CLOEXEC);
    error = errno;
    return fd >= 0;
#else
    FILE* file = std::tmpfile();
    fd = file ? dup(fileno(file)) : -1;
    error = errno;
    if (file) {
        std::fclose(file);
    }
    return fd >= 0;
#endif
}

void settleInput(const InputBytes& bytes, uint64_t blocksEnd) {
    if (bytes.storage || bytes.size == 0) {
        return;
    }
    // Both are advice: where the kernel cannot follow it, pages stay or come in as touched.
    const uint64_t page = uint64_t(sysconf(_SC_PAGESIZE));
    const uint64_t released = blocksEnd / page * page;
    auto* base = const_cast<uint8_t*>(bytes.data);
    madvise(base + released, size_t(bytes.size - released), MADV_DONTNEED);
    madvise(base, size_t(blocksEnd), MADV_POPULATE_READ);
}

bool findPlace(const std::string& path, Place& place, int& error) {
    std::string folder;
    splitPath(path, folder, place.name);
    place.folder = openFolder(AT_FDCWD, folder, error);
    place.reached = place.folder >= 0;
    // As many links as the system itself follows before it gives up with ELOOP.
    for (int hop = 0; place.folder >= 0 && hop < 40; ++hop) {
        struct stat info;
        if (fstatat(place.folder, place.name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
            error = errno;
            return error == ENOENT;
        }
        std::string link;
        if (!S_ISLNK(info.st_mode)) {
            return true;
        }
        if (!readLink(place.folder, place.name, link, error)) {
            return false;
        }
        splitPath(link, folder, place.name);
        const int next = openFolder(link[0] == '/' ? AT_FDCWD : place.folder, folder, error);
        close(place.folder);
        place.folder = next;
        place.reached = place.folder >= 0;
    }
    error = place.folder >= 0 ? ELOOP : error;
    return false;
}

void closePlace(Place& place) {
    if (place.folder >= 0) {
        close(place.folder);
        place.folder = -1;
    }
}

bool checkReplaceable(const Place& place, const FileId& input, int& error) {
    struct stat info;
    struct stat folder;
    if (fstatat(place.folder, place.name.c_str(), &info, 0) != 0) {
        error = errno;
        return error == ENOENT;
    }
    if (info.st_dev == input.device && info.st_ino == input.index) {
        error = IS_THE_INPUT;
    } else if (S_ISDIR(info.st_mode)) {
        error = EISDIR;
    } else if (!S_ISREG(info.st_mode)) {
        error = NOT_REGULAR_FILE;
    } else if (faccessat(place.folder, place.name.c_str(), W_OK, AT_EACCESS) != 0 ||
               fstat(place.folder, &folder) != 0) {
        error = errno;
    } else if ((folder.st_mode & S_ISVTX) && geteuid() != 0 && info.st_uid != geteuid() &&
               folder.st_uid != geteuid()) {
        // A sticky folder lets only a file's owner, the folder's or root replace it.
        error = EPERM;
    } else {
        return renameMayReplace(place, info, folder, error);
    }
    return false;
}

bool samePlace(const Place& a, const Place& b) {
    struct stat first;
    struct stat second;
    if (fstat(a.folder, &first) == 0 && fstat(b.folder, &second) == 0 && sameFile(first, second) &&
        a.name == b.name) {
        return true;
    }
    return fstatat(a.folder, a.name.c_str(), &first, 0) == 0 &&
           fstatat(b.folder, b.name.c_str(), &second, 0) == 0 && sameFile(first, second);
}

bool createTemporary(CleanupRegistry& registry, const Place& target, bool text, Temporary& temp,
                     int& error) {
#ifdef O_TMPFILE
    const bool created =
        createUnnamed(target, temp) || createNamedTemporary(registry, target, text, temp, error);
#else
    const bool created = createNamedTemporary(registry, target, text, temp, error);
#endif
    if (created && !carryAttributes(temp.fd, target, error)) {
        removeTemporary(registry, target, temp);
        return false;
    }
    return created;
}

bool sealTemporary(CleanupRegistry& registry, const Place& target, Temporary& temp, int& error) {
#ifdef SYNC_FILE_RANGE_WRITE
    // Replacing a file makes ext4 write the new one's data out at the rename, which for
    // a large model takes long enough for a kill to land between the commit's steps.
    // Started now, while the file has no name, that wait leaves the commit.
    struct stat info;
    if (fstatat(target.folder, target.name.c_str(), &info, 0) == 0) {
        sync_file_range(temp.fd, 0, 0, SYNC_FILE_RANGE_WRITE);
    }
#endif
#ifdef O_TMPFILE
    for (int attempt = 0; temp.name.empty() && attempt < 100; ++attempt) {
        const std::string name = temporaryName(attempt);
        if (linkat(AT_FDCWD, descriptorPath(temp.fd).c_str(), target.folder, name.c_str(),
                   AT_SYMLINK_FOLLOW) == 0) {
            temp.name = name;
            enlist(registry, target, name);
        } else if (errno != EEXIST) {
            error = errno;
            return false;
        }
    }
#endif
    const int fd = temp.fd;
    temp.fd = -1;
    return closeFile(fd, error);
}

bool placeTemporary(CleanupRegistry& registry, const Place& target, Temporary& temp, int& error) {
    if (!renameInFolder(target, temp.name, target.name, error)) {
        return false;
    }
    delist(registry, target, temp.name);
    temp.name.clear();
    return true;
}

void removeTemporary(CleanupRegistry& registry, const Place& target, Temporary& temp) {
    if (temp.fd >= 0) {
        close(temp.fd);
        temp.fd = -1;
    }
    if (!temp.name.empty()) {
        unlinkat(target.folder, temp.name.c_str(), 0);
        delist(registry, target, temp.name);
        temp.name.clear();
    }
}

bool pathExists(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0;
}

std::string workingFolder() {
    std::vector<char> path(256);
    while (!getcwd(path.data(), path.size()) && errno == ERANGE) {
        path.resize(path.size() * 2);
    }
    const std::string folder(path.data());
    return folder.empty() || folder[0] != '/' ? std::string()
           : folder == "/"                    ? folder
                                              : folder + "/";
}

bool isPathSeparator(char c) {
    return c == '/';
}

void runPause() {
    std::fflush(stdout);
    std::fputs("Press Enter to continue . . .\n", stdout);
    std::fflush(stdout);
    int c;
    do {
        c = std::getchar();
    } while (c != '\n' && c != EOF);
}
