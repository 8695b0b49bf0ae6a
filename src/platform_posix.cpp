// The platform on POSIX systems: descriptors, places, and the raw calls on names in a
// folder that the run's files are made with.
#include "platform.h"
#include "platform_seam.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/xattr.h>
#endif

namespace {

// One call moves at most this much, which every system accepts.
constexpr size_t CHUNK = size_t(1) << 30;

// The error of the call that just failed, in the program's terms.
int lastError() {
    switch (errno) {
    case ENOENT:
        return NOT_FOUND;
    case EEXIST:
        return ALREADY_EXISTS;
    case EISDIR:
        return IS_A_FOLDER;
    case 0:
        return EIO;
    default:
        return errno;
    }
}

// Sets `error` from errno when `ok` is false; gives `ok`.
bool check(bool ok, int& error) {
    if (!ok) {
        error = lastError();
    }
    return ok;
}

// Closes a descriptor the run is done with, keeping errno: nothing written through it is
// still to reach the disk.
void letGo(int fd) {
    const int saved = errno;
    close(fd);
    errno = saved;
}

// Opens a folder to work relative to: without reading it where the system allows, so
// that a folder this user may only pass through still serves.
int openFolder(int base, const std::string& path, int& error) {
#ifdef O_PATH
    const int flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
#else
    const int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
#endif
    const int fd = OS_CALL("openat", -1, openat(base, path.c_str(), flags));
    check(fd >= 0, error);
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
    while ((length = OS_CALL("readlinkat", -1,
                             readlinkat(folder, name.c_str(), text.data(), text.size()))) >= 0 &&
           size_t(length) == text.size()) {
        text.resize(text.size() * 2);
    }
    if (!check(length >= 0, error)) {
        return false;
    }
    link.assign(text.data(), size_t(length));
    return true;
}

FileId idOf(const struct stat& info) {
    return {uint64_t(info.st_dev), uint64_t(info.st_ino)};
}

// The path through which a file without a name can be reached and given one.
std::string procPath(int fd) {
    return "/proc/self/fd/" + std::to_string(fd);
}

bool statAt(int folder, const std::string& name, struct stat& info, int flags, int& error) {
    return check(OS_CALL("fstatat", -1, fstatat(folder, name.c_str(), &info, flags)) == 0, error);
}

bool statOpen(int fd, struct stat& info, int& error) {
    return check(OS_CALL("fstat", -1, fstat(fd, &info)) == 0, error);
}

// A call that may fail only because this process may not make it: a user setting
// another's owner or an access list it has no right to. Root may make them all.
bool notPermitted() {
    return (errno == EPERM || errno == EACCES) && geteuid() != 0;
}

// Why a new file must not replace the file at the place: a folder, not a regular file,
// or one this user could not open for writing (as `cp` and the shell's `>` would
// refuse it), though a rename would replace it.
int refusalOf(const Place& place, const struct stat& info) {
    if (S_ISDIR(info.st_mode)) {
        return IS_A_FOLDER;
    }
    if (!S_ISREG(info.st_mode)) {
        return NOT_REGULAR_FILE;
    }
    int error = 0;
    check(OS_CALL("faccessat", -1, faccessat(place.folder, place.name.c_str(), W_OK, AT_EACCESS)) ==
              0,
          error);
    return error;
}

#ifdef __linux__
constexpr char ACCESS_LIST[] = "system.posix_acl_access";

ssize_t getAccessList(int fd, const std::string& path, void* value, size_t size) {
    return OS_CALL("fgetxattr", -1,
                   path.empty() ? fgetxattr(fd, ACCESS_LIST, value, size)
                                : getxattr(path.c_str(), ACCESS_LIST, value, size));
}

// The access list of the file at the place, empty where it has none or this user may
// not read it: read through the file opened for reading, or where this user may not
// read it, through /proc without opening it.
bool readAccessList(const Place& place, std::vector<char>& value, int& error) {
    const char* name = place.name.c_str();
    int fd = OS_CALL("openat", -1, openat(place.folder, name, O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    const bool viaProc = fd < 0 && errno == EACCES;
    fd = viaProc ? OS_CALL("openat", -1, openat(place.folder, name, O_PATH | O_CLOEXEC)) : fd;
    if (!check(fd >= 0, error)) {
        return false;
    }
    const std::string path = viaProc ? procPath(fd) : "";
    ssize_t size = 0;
    do {
        size = getAccessList(fd, path, nullptr, 0);
        value.resize(size_t(std::max<ssize_t>(size, 0)));
        size = size > 0 ? getAccessList(fd, path, value.data(), value.size()) : size;
    } while (size < 0 && errno == ERANGE);
    const bool none = size < 0 && (errno == ENODATA || errno == ENOTSUP || notPermitted());
    value.resize(size_t(std::max<ssize_t>(size, 0)));
    letGo(fd);
    return none || check(size >= 0, error);
}

bool copyAccessList(int fd, const Place& place, int& error) {
    std::vector<char> value;
    if (!readAccessList(place, value, error)) {
        return false;
    }
    return value.empty() ||
           OS_CALL("fsetxattr", -1, fsetxattr(fd, ACCESS_LIST, value.data(), value.size(), 0)) ==
               0 ||
           notPermitted() || check(false, error);
}
#endif

// Gives the file the owner and group, or where the process may not, the group alone;
// where it may not do that either, the file stays this user's, as a file it creates
// would be.
bool giveOwner(int fd, const struct stat& info, int& error) {
    if (OS_CALL("fchown", -1, fchown(fd, info.st_uid, info.st_gid)) == 0) {
        return true;
    }
    if (!notPermitted()) {
        return check(false, error);
    }
    return OS_CALL("fchown", -1, fchown(fd, uid_t(-1), info.st_gid)) == 0 || notPermitted() ||
           check(false, error);
}

// Writes all of `size` bytes, a chunk at a time, at `offset` or where `offset` is
// negative at the file's position.
bool writeLoop(int fd, const char* at, size_t size, int64_t offset, int& error) {
    while (size > 0) {
        const size_t chunk = std::min(size, CHUNK);
        const ssize_t put = offset < 0 ? OS_CALL("write", -1, write(fd, at, chunk))
                                       : OS_CALL("pwrite", -1, pwrite(fd, at, chunk, offset));
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put <= 0) {
            error = put < 0 ? lastError() : NOTHING_WRITTEN;
            return false;
        }
        at += put;
        offset += offset < 0 ? 0 : put;
        size -= size_t(put);
    }
    return true;
}

} // namespace

bool writeAll(int fd, const void* data, size_t size, int& error) {
    return writeLoop(fd, static_cast<const char*>(data), size, -1, error);
}

bool writeAt(int fd, uint64_t offset, const void* data, size_t size, int& error) {
    return writeLoop(fd, static_cast<const char*>(data), size, int64_t(offset), error);
}

bool flushFile(int fd, int& error) {
    return check(OS_CALL("fdatasync", -1, fdatasync(fd)) == 0, error);
}

bool findPlace(const std::string& path, Place& place, int& error) {
    std::string folder;
    splitPath(path, folder, place.name);
    place.folder = openFolder(AT_FDCWD, folder, error);
    place.reached = place.folder >= 0;
    // As many links as the system itself follows before it gives up with ELOOP.
    for (int hop = 0; place.folder >= 0 && hop < 40; ++hop) {
        struct stat info;
        if (!statOpen(place.folder, info, error)) {
            return false;
        }
        place.folderId = idOf(info);
        if (!statAt(place.folder, place.name, info, AT_SYMLINK_NOFOLLOW, error)) {
            return error == NOT_FOUND;
        }
        std::string link;
        if (!S_ISLNK(info.st_mode)) {
            place.exists = true;
            place.id = idOf(info);
            place.refusal = refusalOf(place, info);
            return true;
        }
        if (!readLink(place.folder, place.name, link, error)) {
            return false;
        }
        splitPath(link, folder, place.name);
        const int next = openFolder(link[0] == '/' ? AT_FDCWD : place.folder, folder, error);
        letGo(place.folder);
        place.folder = next;
        place.reached = place.folder >= 0;
    }
    error = place.folder >= 0 ? ELOOP : error;
    return false;
}

void closePlace(Place& place) {
    if (place.folder >= 0) {
        letGo(place.folder);
        place.folder = -1;
    }
}

bool createFile(const Place& place, const std::string& name, bool, int& fd, int& error) {
    if (!name.empty()) {
        fd = OS_CALL(
            "openat", -1,
            openat(place.folder, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
        return check(fd >= 0, error);
    }
#ifdef O_TMPFILE
    // Only where the file can later be given a name: through /proc, which must lead back
    // to it.
    fd = OS_CALL("open_unnamed", -1,
                 openat(place.folder, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666));
    if (fd < 0) {
        const bool unsupported = errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL;
        error = unsupported ? NO_UNNAMED_FILES : lastError();
        return false;
    }
    struct stat viaProc;
    struct stat own;
    if (OS_CALL("stat", -1, stat(procPath(fd).c_str(), &viaProc)) == 0 &&
        statOpen(fd, own, error) && viaProc.st_dev == own.st_dev && viaProc.st_ino == own.st_ino) {
        return true;
    }
    letGo(fd);
#endif
    error = NO_UNNAMED_FILES;
    return false;
}

bool nameFile(const Place& place, int fd, const std::string& name, int& error) {
    return check(OS_CALL("linkat", -1,
                         linkat(AT_FDCWD, procPath(fd).c_str(), place.folder, name.c_str(),
                                AT_SYMLINK_FOLLOW)) == 0,
                 error);
}

bool placeFile(const Place& place, int fd, const std::string& name, int& error) {
    if (!check(OS_CALL("renameat", -1,
                       renameat(place.folder, name.c_str(), place.folder, place.name.c_str())) == 0,
               error)) {
        return false;
    }
    // Its data is on its disk already (fdatasync): closing it now can lose nothing.
    letGo(fd);
    return true;
}

bool discardFile(const Place& place, int fd, const std::string& name, int& error) {
    letGo(fd);
    return name.empty() ||
           check(OS_CALL("unlinkat", -1, unlinkat(place.folder, name.c_str(), 0)) == 0, error);
}

void removeInHandler(int folder, const char* name) {
    unlinkat(folder, name, 0);
}

bool flushFolder(const Place& place, int& error) {
    // The place holds its folder without reading it; a flush needs it open to read.
    const int fd =
        OS_CALL("openat", -1, openat(place.folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!check(fd >= 0, error)) {
        return false;
    }
    const bool flushed = check(OS_CALL("fsync", -1, fsync(fd)) == 0, error);
    letGo(fd);
    return flushed;
}

bool copyAttributes(int fd, const Place& place, int& error) {
    struct stat info;
    struct stat own;
    if (!statAt(place.folder, place.name, info, 0, error)) {
        return error == NOT_FOUND;
    }
    if (!S_ISREG(info.st_mode)) {
        return true;
    }
    if (!statOpen(fd, own, error)) {
        return false;
    }
    // The owner first, as setting it may clear set-group-ID; then the permission bits;
    // then the access list, which refines them.
    if ((own.st_uid != info.st_uid || own.st_gid != info.st_gid) && !giveOwner(fd, info, error)) {
        return false;
    }
    if (!check(OS_CALL("fchmod", -1, fchmod(fd, info.st_mode & 07777)) == 0, error)) {
        return false;
    }
#ifdef __linux__
    return copyAccessList(fd, place, error);
#else
    return true;
#endif
}
