#include "VqFileReplacer.h"

#include "VqErrorState.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {
const char* const kCls = "VqFileReplacer";
// Wording of the failure to create the file that a save writes.
const char* const kCannotCreate = "Could not open file with specified file/path";
const char kTag[] = ".tmp-";
// 62^12, about 2^71 names: guessing the next one is hopeless.
constexpr size_t kRandomChars = 12;
const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
// As many links as the system itself follows in one lookup.
constexpr int kMaxLinks = 40;
// Names are random: running out of them means something else is wrong.
constexpr int kMaxAttempts = 100;

bool failWith(const char* method, const char* what, int err, VqErrorCode code) {
    const std::string text = std::string(what) + ": " + std::strerror(err);
    VqErrorState::throwStdError(kCls, method, text.c_str(), code);
    return false;
}

bool systemRandom(unsigned char* buf, size_t n) {
    size_t got = 0;
    while (got < n) {
        const ssize_t r = ::getrandom(buf + got, n - got, GRND_NONBLOCK);
        if (r < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        got += static_cast<size_t>(r);
    }
    return true;
}

// Without the system's source (an old kernel, a filter on the call) names are
// still unlikely to repeat; creating them exclusively keeps them safe anyway.
void fallbackRandom(unsigned char* buf, size_t n) {
    static std::atomic<uint64_t> s_counter{0};
    uint64_t x = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
                 (static_cast<uint64_t>(::getpid()) << 40) ^ (++s_counter * 0x9E3779B97F4A7C15ull);
    for (size_t i = 0; i < n; ++i) {
        // A step of the splitmix64 generator.
        x += 0x9E3779B97F4A7C15ull;
        uint64_t z = x;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        buf[i] = static_cast<unsigned char>(z ^ (z >> 31));
    }
}

bool sameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Removes name in dir when it still is the file open as fd.
bool unlinkIfSame(int dirFd, const std::string& name, int fd) {
    struct stat mine, named;
    return ::fstat(fd, &mine) == 0 && ::fstatat(dirFd, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
           sameFile(mine, named) && ::unlinkat(dirFd, name.c_str(), 0) == 0;
}

int openDirectory(const std::string& dir) {
    return ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}
} // namespace

VqFileReplacer::VqFileReplacer(RandomFill random) : _pfRandom(random ? random : &systemRandom) {}

VqFileReplacer::~VqFileReplacer() {
    discard();
}

void VqFileReplacer::_split(const std::string& path, std::string& dir, std::string& name) {
    const size_t slash = path.rfind('/');
    dir = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
    name = slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string VqFileReplacer::_tempPrefix(const std::string& name) {
    // A long name is cut so that the temporary name still fits the system's limit.
    const size_t room = NAME_MAX - (sizeof kTag - 1) - kRandomChars;
    return name.substr(0, std::min(name.size(), room)) + kTag;
}

bool VqFileReplacer::_isTempName(const std::string& entry, const std::string& prefix) {
    if (entry.size() != prefix.size() + kRandomChars || entry.compare(0, prefix.size(), prefix) != 0)
        return false;
    for (size_t i = prefix.size(); i < entry.size(); ++i)
        if (!std::strchr(kAlphabet, entry[i])) return false;
    return true;
}

bool VqFileReplacer::_resolveLinks(const std::string& path) {
    std::string current = path;
    for (int hops = 0; hops <= kMaxLinks; ++hops) {
        struct stat st;
        if (::lstat(current.c_str(), &st) != 0) {
            // A file yet to be made; a missing directory shows when the file is created.
            if (errno != ENOENT) return failWith("begin", kCannotCreate, errno, VQ_ERR_CORRUPT);
            _strTarget = current;
            _bTargetExisted = false;
            return true;
        }
        if (!S_ISLNK(st.st_mode)) {
            // Renaming over a device, a pipe or a directory would not write to it but replace it.
            if (!S_ISREG(st.st_mode))
                VQ_FAIL(kCls, "begin", "The file to replace is not a regular file", VQ_ERR_ARGUMENT);
            _strTarget = current;
            _bTargetExisted = true;
            return true;
        }
        std::vector<char> buf(PATH_MAX);
        const ssize_t n = ::readlink(current.c_str(), buf.data(), buf.size());
        if (n < 0) return failWith("begin", kCannotCreate, errno, VQ_ERR_CORRUPT);
        if (static_cast<size_t>(n) == buf.size())
            return failWith("begin", kCannotCreate, ENAMETOOLONG, VQ_ERR_CORRUPT);
        std::string to(buf.data(), static_cast<size_t>(n));
        if (to.empty()) return failWith("begin", kCannotCreate, ENOENT, VQ_ERR_CORRUPT);
        if (to[0] != '/') {
            std::string dir, name;
            _split(current, dir, name);
            to = dir + to;
        }
        current = to;
    }
    return failWith("begin", kCannotCreate, ELOOP, VQ_ERR_CORRUPT);
}

bool VqFileReplacer::begin(const std::string& target) {
    discard();
    _bCommitted = false;
    if (target.empty()) VQ_FAIL(kCls, "begin", "Empty path detected.", VQ_ERR_CORRUPT);
    VQ_PROPAGATE(_resolveLinks(target));
    _split(_strTarget, _strDir, _strName);
    if (_strName.empty()) VQ_FAIL(kCls, "begin", "The path names a directory, not a file", VQ_ERR_ARGUMENT);
    removeStale(_strTarget);
    // The directory is flushed after the rename; one that cannot be opened
    // (search and write permission without read) is used through paths.
    _dirFd = openDirectory(_strDir);
    return _createTemp();
}

bool VqFileReplacer::_createTemp() {
    const int at = _dirFd >= 0 ? _dirFd : AT_FDCWD;
    const std::string prefix = _tempPrefix(_strName);
    for (int attempt = 0; attempt < kMaxAttempts; ++attempt) {
        unsigned char raw[kRandomChars];
        if (!_pfRandom(raw, sizeof raw)) fallbackRandom(raw, sizeof raw);
        std::string name = prefix;
        for (unsigned char r : raw)
            name += kAlphabet[r % (sizeof kAlphabet - 1)];
        const std::string rel = _dirFd >= 0 ? name : _strDir + name;
        // Exclusive creation fails on any existing name, a planted link
        // included. A replaced file's contents stay private until commit
        // gives the new file the old one's permissions; a new file is made
        // with the permissions the process gives new files.
        const int fd = ::openat(at, rel.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                                _bTargetExisted ? 0600 : 0666);
        if (fd < 0) {
            if (errno == EEXIST) continue;
            return failWith("begin", kCannotCreate, errno, VQ_ERR_CORRUPT);
        }
        // The lock marks the file as in use until commit or discard. Where
        // the file system has no locks, no clean-up can prove a file stale,
        // so this one is safe too.
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
            // A clean-up took it between creation and lock, and removes it.
            ::close(fd);
            continue;
        }
        struct stat mine, named;
        if (::fstat(fd, &mine) != 0 || ::fstatat(at, rel.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 ||
            !sameFile(mine, named)) {
            // Removed by a clean-up that came before the lock.
            ::close(fd);
            continue;
        }
        if (!_bTargetExisted) {
            _nNewFileMode = mine.st_mode & 07777;
            // Every stream of the save reopens the file for reading and writing.
            if ((_nNewFileMode & 0600) != 0600) ::fchmod(fd, _nNewFileMode | 0600);
        }
        _fd = fd;
        _strTemp = _strDir + name;
        _nDev = static_cast<uint64_t>(mine.st_dev);
        _nIno = static_cast<uint64_t>(mine.st_ino);
        return true;
    }
    return failWith("begin", kCannotCreate, EEXIST, VQ_ERR_CORRUPT);
}

bool VqFileReplacer::commit() {
    if (_fd < 0 || _bCommitted) VQ_FAIL(kCls, "commit", "No file to commit", VQ_ERR_INTERNAL);
    struct stat old;
    if (::stat(_strTarget.c_str(), &old) == 0 && S_ISREG(old.st_mode)) {
        // Only a privileged process may give a file away; others may still
        // set a group they belong to. Where both are refused, the new file
        // belongs to the user who saved it.
        const bool owned = ::fchown(_fd, old.st_uid, old.st_gid) == 0 ||
                           ::fchown(_fd, static_cast<uid_t>(-1), old.st_gid) == 0;
        (void)owned;
        // After the owner: a change of owner clears the set-ID bits. File
        // systems without permission bits refuse the call, which costs nothing.
        (void)::fchmod(_fd, old.st_mode & 07777);
    } else {
        (void)::fchmod(_fd, _nNewFileMode);
    }
    // The contents reach the disk before the name points at them: otherwise
    // a power cut could leave the name on an empty file.
    if (::fsync(_fd) != 0) return failWith("commit", "Could not flush the file to disk", errno, VQ_ERR_WRITE);
    const int at = _dirFd >= 0 ? _dirFd : AT_FDCWD;
    std::string tempName, dir;
    _split(_strTemp, dir, tempName);
    const std::string from = _dirFd >= 0 ? tempName : _strTemp;
    const std::string to = _dirFd >= 0 ? _strName : _strTarget;
    if (::renameat(at, from.c_str(), at, to.c_str()) != 0)
        return failWith("commit", "Could not replace the file with the one written", errno, VQ_ERR_WRITE);
    _bCommitted = true;
    // Makes the rename itself durable. A failure here can only lose the
    // rename, which leaves the old file, complete, under the name: the save
    // has succeeded as far as anyone can see now.
    if (_dirFd >= 0) (void)::fsync(_dirFd);
    _close();
    return true;
}

void VqFileReplacer::discard() {
    if (_fd >= 0 && !_bCommitted) {
        std::string tempName, dir;
        _split(_strTemp, dir, tempName);
        if (_dirFd >= 0)
            unlinkIfSame(_dirFd, tempName, _fd);
        else
            unlinkIfSame(AT_FDCWD, _strTemp, _fd);
    }
    _close();
}

void VqFileReplacer::_close() {
    if (_fd >= 0) ::close(_fd);
    if (_dirFd >= 0) ::close(_dirFd);
    _fd = -1;
    _dirFd = -1;
}

int VqFileReplacer::removeStale(const std::string& target) {
    std::string dir, name;
    _split(target, dir, name);
    const std::string prefix = _tempPrefix(name);
    const int dirFd = openDirectory(dir);
    if (dirFd < 0) return 0;
    const int listFd = ::fcntl(dirFd, F_DUPFD_CLOEXEC, 0);
    DIR* list = listFd >= 0 ? ::fdopendir(listFd) : nullptr;
    if (!list) {
        if (listFd >= 0) ::close(listFd);
        ::close(dirFd);
        return 0;
    }
    int removed = 0;
    while (const dirent* e = ::readdir(list)) {
        if (e->d_type != DT_REG && e->d_type != DT_UNKNOWN) continue;
        const std::string entry = e->d_name;
        if (!_isTempName(entry, prefix)) continue;
        // Never through a link, and without waiting on a pipe planted under the name.
        const int fd = ::openat(dirFd, entry.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) continue;
        struct stat st;
        // The lock of a save still running is held; a dead save's went with it.
        if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ::flock(fd, LOCK_EX | LOCK_NB) == 0 &&
            unlinkIfSame(dirFd, entry, fd))
            ++removed;
        ::close(fd);
    }
    ::closedir(list);
    ::close(dirFd);
    return removed;
}
