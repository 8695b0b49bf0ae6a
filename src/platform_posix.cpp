// The platform on POSIX systems: descriptors, places, and the raw calls on names in a
// folder that the run's files are made with.
#include "platform.h"
#include "platform_seam.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <signal.h>
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
    case EFAULT:
        return SOURCE_FAULTED;
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

// Opens a folder to work relative to: without reading it where the system allows, so
// that a folder this user may only pass through still serves. A path too long for
// one call is opened a name at a time.
int openFolder(int base, const std::string& path, int& error) {
#ifdef O_PATH
    const int flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
#else
    const int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
#endif
    int fd = OS_CALL("openat", -1, openat(base, path.c_str(), flags));
    if (fd < 0 && errno == ENAMETOOLONG) {
        const bool absolute = path[0] == '/';
        fd = OS_CALL("openat", -1, openat(absolute ? AT_FDCWD : base, absolute ? "/" : ".", flags));
        for (size_t at = 0; fd >= 0 && at < path.size();) {
            const size_t end = std::min(path.find('/', at), path.size());
            const std::string name = path.substr(at, end - at);
            at = end + 1;
            if (!name.empty()) {
                const int next = OS_CALL("openat", -1, openat(fd, name.c_str(), flags));
                const int saved = errno;
                close(fd);
                errno = saved;
                fd = next;
            }
        }
    }
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

int64_t modifiedAt(const struct stat& info) {
    return int64_t(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
}

int64_t changedAt(const struct stat& info) {
    return int64_t(info.st_ctim.tv_sec) * 1000000000 + info.st_ctim.tv_nsec;
}

bool sameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
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

// Whether a rename may replace the file: not where it is a mount point, nor where it
// is immutable or append-only.
bool renameMayReplace(const Place& place, const struct stat& file, const struct stat& folder,
                      int& error) {
    if (file.st_dev != folder.st_dev) {
        error = EBUSY;
        return false;
    }
#if defined(__linux__) && defined(STATX_MNT_ID)
    struct statx fileX = {};
    struct statx folderX = {};
    if (!check(OS_CALL("statx", -1,
                       statx(place.folder, place.name.c_str(), 0, STATX_MNT_ID, &fileX)) == 0,
               error) ||
        !check(OS_CALL("statx", -1,
                       statx(place.folder, "", AT_EMPTY_PATH, STATX_MNT_ID, &folderX)) == 0,
               error)) {
        return false;
    }
    const uint64_t fixed = STATX_ATTR_IMMUTABLE | STATX_ATTR_APPEND;
    error = (fileX.stx_attributes & fileX.stx_attributes_mask & fixed) ? EPERM
            : (fileX.stx_mask & folderX.stx_mask & STATX_MNT_ID) &&
                    fileX.stx_mnt_id != folderX.stx_mnt_id
                ? EBUSY
                : 0;
    return error == 0;
#else
    (void)place;
    return true;
#endif
}

#ifdef F_SETLEASE
volatile sig_atomic_t inputOpenedForWriting = 0;

// Another process is opening the input for writing: the lease goes at once, so that it
// need not wait, and the conversion, which may hold bytes of two versions, is refused.
extern "C" void onLeaseBroken(int, siginfo_t* info, void*) {
    inputOpenedForWriting = 1;
    fcntl(info->si_fd, F_SETLEASE, F_UNLCK);
}

// Takes a read lease on the input, granted where this user owns it (or is root) and no
// other process has it open for writing: the system then tells of any process that
// opens it for writing, by SIGURG, whose default does nothing.
bool watchInput(int fd) {
    struct sigaction action = {};
    action.sa_sigaction = onLeaseBroken;
    action.sa_flags = SA_SIGINFO | SA_RESTART;
    return sigaction(SIGURG, &action, nullptr) == 0 &&
           OS_CALL("fcntl", -1, fcntl(fd, F_SETSIG, SIGURG)) == 0 &&
           OS_CALL("fcntl", -1, fcntl(fd, F_SETLEASE, F_RDLCK)) == 0;
}
#else
const bool inputOpenedForWriting = false;
#endif

// A folder marked immutable or append-only lets no file in it be renamed or removed.
bool folderTakesRenames(const Place& place, int& error) {
#if defined(__linux__) && defined(STATX_ATTR_APPEND)
    struct statx folder = {};
    if (!check(OS_CALL("statx", -1,
                       statx(place.folder, "", AT_EMPTY_PATH, STATX_BASIC_STATS, &folder)) == 0,
               error)) {
        return false;
    }
    const uint64_t fixed = STATX_ATTR_IMMUTABLE | STATX_ATTR_APPEND;
    error = (folder.stx_attributes & folder.stx_attributes_mask & fixed) ? EPERM : 0;
    return error == 0;
#else
    (void)place;
    (void)error;
    return true;
#endif
}

// A call that may fail only because this process may not make it: a user setting
// another's owner or an attribute it has no right to. Root may make them all.
bool notPermitted() {
    return (errno == EPERM || errno == EACCES) && geteuid() != 0;
}

#ifdef __linux__
// The file whose extended attributes are read: opened for reading, or where this user
// may not read it, reached through /proc without being opened (its access lists can
// still be read so).
struct AttributeSource {
    int fd = -1;
    std::string path;
};

bool openAttributeSource(const Place& place, AttributeSource& source, int& error) {
    source.fd = OS_CALL(
        "openat", -1, openat(place.folder, place.name.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (source.fd >= 0 || errno != EACCES) {
        return check(source.fd >= 0, error);
    }
    source.fd = OS_CALL("openat", -1, openat(place.folder, place.name.c_str(), O_PATH | O_CLOEXEC));
    source.path = procPath(source.fd);
    return check(source.fd >= 0, error);
}

ssize_t listAttributes(const AttributeSource& source, char* names, size_t size) {
    return OS_CALL("flistxattr", -1,
                   source.path.empty() ? flistxattr(source.fd, names, size)
                                       : listxattr(source.path.c_str(), names, size));
}

ssize_t getAttribute(const AttributeSource& source, const char* name, void* value, size_t size) {
    return OS_CALL("fgetxattr", -1,
                   source.path.empty() ? fgetxattr(source.fd, name, value, size)
                                       : getxattr(source.path.c_str(), name, value, size));
}

// The names of the source's extended attributes, one after another, each ended by 0.
bool attributeNames(const AttributeSource& source, std::vector<char>& names, int& error) {
    for (;;) {
        ssize_t length = listAttributes(source, nullptr, 0);
        if (length < 0 && (errno == ENOTSUP || notPermitted())) {
            names.clear();
            return true;
        }
        names.resize(size_t(std::max<ssize_t>(length, 0)));
        length = length > 0 ? listAttributes(source, names.data(), names.size()) : length;
        if (length >= 0 || errno != ERANGE) {
            names.resize(size_t(std::max<ssize_t>(length, 0)));
            return check(length >= 0, error);
        }
    }
}

bool copyAttribute(int fd, const AttributeSource& source, const char* name, int& error) {
    std::vector<char> value;
    for (;;) {
        ssize_t size = getAttribute(source, name, nullptr, 0);
        value.resize(size_t(std::max<ssize_t>(size, 1)));
        size = size > 0 ? getAttribute(source, name, value.data(), value.size()) : size;
        if (size < 0 && errno == ERANGE) {
            continue;
        }
        if (size < 0) {
            return notPermitted() || check(errno == ENODATA, error);
        }
        return OS_CALL("fsetxattr", -1, fsetxattr(fd, name, value.data(), size_t(size), 0)) == 0 ||
               notPermitted() || check(false, error);
    }
}

// Copies the extended attributes of the file at the place, its access lists among
// them, to the new file.
bool copyExtendedAttributes(int fd, const Place& place, int& error) {
    AttributeSource source;
    std::vector<char> names;
    bool copied = openAttributeSource(place, source, error) && attributeNames(source, names, error);
    for (size_t at = 0; copied && at < names.size(); at += std::strlen(names.data() + at) + 1) {
        copied = copyAttribute(fd, source, names.data() + at, error);
    }
    if (source.fd >= 0) {
        close(source.fd);
    }
    return copied;
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
// negative at the file's position; the console's writes (`seamed` false) are not the
// file layer's and pass the tests' seam by.
bool writeLoop(int fd, const char* at, size_t size, int64_t offset, bool seamed, int& error) {
    while (size > 0) {
        const size_t chunk = std::min(size, CHUNK);
        const ssize_t put = !seamed      ? write(fd, at, chunk)
                            : offset < 0 ? OS_CALL("write", -1, write(fd, at, chunk))
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

std::string systemErrorText(int error) {
    return std::strerror(error);
}

bool writeAll(int fd, const void* data, size_t size, int& error) {
    return writeLoop(fd, static_cast<const char*>(data), size, -1, true, error);
}

bool writeAt(int fd, uint64_t offset, const void* data, size_t size, int& error) {
    return writeLoop(fd, static_cast<const char*>(data), size, int64_t(offset), true, error);
}

bool flushFile(int fd, int& error) {
    return check(OS_CALL("fdatasync", -1, fdatasync(fd)) == 0, error);
}

bool flushFolder(const Place& place, int& error) {
    // The place holds its folder without reading it; a flush needs it open to read.
    const int fd =
        OS_CALL("openat", -1, openat(place.folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!check(fd >= 0, error)) {
        return false;
    }
    const bool flushed = check(OS_CALL("fsync", -1, fsync(fd)) == 0, error);
    close(fd);
    return flushed;
}

bool closeFile(int fd, int& error) {
    return check(OS_CALL("close", -1, close(fd)) == 0, error);
}

bool openInput(const std::string& path, InputFile& input, int& error) {
    // Not blocking, so that a pipe is refused at once rather than waited on; a path too
    // long for one call is opened from its folder.
    const int flags = O_RDONLY | O_CLOEXEC | O_NONBLOCK;
    input.fd = OS_CALL("open", -1, open(path.c_str(), flags));
    if (input.fd < 0 && errno == ENAMETOOLONG) {
        std::string folder;
        std::string name;
        splitPath(path, folder, name);
        const int at = openFolder(AT_FDCWD, folder, error);
        input.fd = at < 0 ? -1 : OS_CALL("openat", -1, openat(at, name.c_str(), flags));
        const int saved = errno;
        if (at >= 0) {
            close(at);
        }
        errno = saved;
    }
    if (!check(input.fd >= 0, error)) {
        return false;
    }
    struct stat info;
    const bool known = statOpen(input.fd, info, error);
    if (!known || !S_ISREG(info.st_mode)) {
        error = !known ? error : S_ISDIR(info.st_mode) ? IS_A_FOLDER : NOT_REGULAR_FILE;
        close(input.fd);
        input.fd = -1;
        return false;
    }
    input.id = {uint64_t(info.st_dev), uint64_t(info.st_ino)};
    input.size = uint64_t(info.st_size);
    input.modified = modifiedAt(info);
    input.changed = changedAt(info);
#ifdef F_SETLEASE
    input.watched = watchInput(input.fd);
#endif
    return true;
}

bool checkInputUnchanged(const InputFile& input, int& error) {
    struct stat info;
    if (!statOpen(input.fd, info, error)) {
        return false;
    }
    error = CHANGED_WHILE_READ;
    return uint64_t(info.st_size) == input.size && modifiedAt(info) == input.modified &&
           changedAt(info) == input.changed && !(input.watched && inputOpenedForWriting);
}

bool findPlace(const std::string& path, Place& place, int& error) {
    std::string folder;
    splitPath(path, folder, place.name);
    place.folder = openFolder(AT_FDCWD, folder, error);
    place.reached = place.folder >= 0;
    // As many links as the system itself follows before it gives up with ELOOP.
    for (int hop = 0; place.folder >= 0 && hop < 40; ++hop) {
        struct stat info;
        if (!statAt(place.folder, place.name, info, AT_SYMLINK_NOFOLLOW, error)) {
            return error == NOT_FOUND;
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
    if (!folderTakesRenames(place, error)) {
        return false;
    }
    if (!statAt(place.folder, place.name, info, 0, error)) {
        return error == NOT_FOUND;
    }
    if (info.st_dev == input.device && info.st_ino == input.index) {
        error = IS_THE_INPUT;
    } else if (S_ISDIR(info.st_mode)) {
        error = IS_A_FOLDER;
    } else if (!S_ISREG(info.st_mode)) {
        error = NOT_REGULAR_FILE;
    } else if (!check(OS_CALL("faccessat", -1,
                              faccessat(place.folder, place.name.c_str(), W_OK, AT_EACCESS)) == 0,
                      error) ||
               !statOpen(place.folder, folder, error)) {
        return false;
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
    int ignored = 0;
    if (statOpen(a.folder, first, ignored) && statOpen(b.folder, second, ignored) &&
        sameFile(first, second) && a.name == b.name) {
        return true;
    }
    return statAt(a.folder, a.name, first, 0, ignored) &&
           statAt(b.folder, b.name, second, 0, ignored) && sameFile(first, second);
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
    // to it, or without /proc as root, who may name a file by its descriptor alone.
    fd = OS_CALL("open_unnamed", -1,
                 openat(place.folder, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666));
    if (fd < 0) {
        const bool unsupported = errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL;
        error = unsupported ? NO_UNNAMED_FILES : lastError();
        return false;
    }
    struct stat viaProc;
    struct stat own;
    const bool proc = OS_CALL("stat", -1, stat(procPath(fd).c_str(), &viaProc)) == 0;
    const bool noProc = !proc && errno == ENOENT && geteuid() == 0;
    if (statOpen(fd, own, error) && (proc ? sameFile(viaProc, own) : noProc)) {
        return true;
    }
    close(fd);
#endif
    error = NO_UNNAMED_FILES;
    return false;
}

bool nameFile(const Place& place, int fd, const std::string& name, int& error) {
    if (OS_CALL("linkat", -1,
                linkat(AT_FDCWD, procPath(fd).c_str(), place.folder, name.c_str(),
                       AT_SYMLINK_FOLLOW)) == 0) {
        return true;
    }
#ifdef AT_EMPTY_PATH
    if (errno == ENOENT) {
        return check(
            OS_CALL("linkat", -1, linkat(fd, "", place.folder, name.c_str(), AT_EMPTY_PATH)) == 0,
            error);
    }
#endif
    return check(false, error);
}

bool keepCopy(const Place& place, const std::string& from, const std::string& to, int& fd,
              int& error) {
    fd = -1;
    if (OS_CALL("linkat", -1, linkat(place.folder, from.c_str(), place.folder, to.c_str(), 0)) ==
        0) {
        return true;
    }
    // Refused for this file (protected hard links, too many links) or for the whole file
    // system (FAT): no second name can be had.
    const bool none = errno == EPERM || errno == EMLINK || errno == EOPNOTSUPP;
    error = none ? NO_HARD_LINKS : lastError();
    return false;
}

bool renameInFolder(const Place& place, const std::string& from, const std::string& to,
                    int& error) {
    return check(OS_CALL("renameat", -1,
                         renameat(place.folder, from.c_str(), place.folder, to.c_str())) == 0,
                 error);
}

bool removeInFolder(const Place& place, const std::string& name, int& error) {
    return check(OS_CALL("unlinkat", -1, unlinkat(place.folder, name.c_str(), 0)) == 0, error);
}

void removeInHandler(int folder, const char* name) {
    unlinkat(folder, name, 0);
}

// Files here go by name only: there is no mark to give, and none to take back.
bool markToGo(int, bool marked, int& error) {
    error = marked ? NO_MARKS : 0;
    return !marked;
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
    // then the extended attributes, an access list after the bits it refines.
    if ((own.st_uid != info.st_uid || own.st_gid != info.st_gid) && !giveOwner(fd, info, error)) {
        return false;
    }
    if (!check(OS_CALL("fchmod", -1, fchmod(fd, info.st_mode & 07777)) == 0, error)) {
        return false;
    }
#ifdef __linux__
    return copyExtendedAttributes(fd, place, error);
#else
    return true;
#endif
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

bool printText(const std::string& text) {
    int error = 0;
    return std::fflush(stdout) == 0 && writeLoop(1, text.data(), text.size(), -1, false, error);
}
