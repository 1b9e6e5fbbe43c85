#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/types.h>

// Replaces a file with a new one so that its name always holds either the
// old file or the complete new one, whatever happens in between.
//
// The new file is written under a temporary name beside the target (a rename
// is atomic only within one file system), created exclusively and never
// through a link, with a random part that nobody can guess in advance. While
// it is being written, a lock on it tells other saves that it is in use: a
// save killed on the way leaves its file unlocked, and the next save of the
// same target removes it. On commit the file takes the target's permission
// bits (and owner, where the process may set it), reaches the disk, is
// renamed over the target, and the directory's new entry reaches the disk.
//
// A target that is a symbolic link is followed: the file it names is the one
// replaced, and the link stays. Other hard links to the old file keep the old
// contents, since the new file is a new inode; writing in place instead would
// put the old contents at risk.
//
// Paths are in the local 8-bit encoding. Failures are recorded in the error
// state with the system's reason; discarding records nothing.
class VqFileReplacer {
public:
    // Fills buf with n random bytes, or returns false.
    typedef bool (*RandomFill)(unsigned char* buf, size_t n);

    // random chooses the temporary names (the system's random source when null).
    explicit VqFileReplacer(RandomFill random = nullptr);
    ~VqFileReplacer();
    VqFileReplacer(const VqFileReplacer&) = delete;
    VqFileReplacer& operator=(const VqFileReplacer&) = delete;

    // Follows the links at target, removes what earlier saves of it left
    // behind when they died, and creates the temporary file.
    bool begin(const std::string& target);

    // The file that is replaced (links followed) and the one written first.
    const std::string& targetPath() const { return _strTarget; }
    const std::string& tempPath() const { return _strTemp; }
    // Identity of the temporary file, for streams that reopen it by name.
    uint64_t device() const { return _nDev; }
    uint64_t inode() const { return _nIno; }

    // Puts the temporary file, written and closed by its writers, in the
    // target's place.
    bool commit();
    // Removes the temporary file unless it was committed. Also done on destruction.
    void discard();

    // The temporary files of target's earlier saves that nothing holds any
    // more are removed; returns how many. Used by begin().
    static int removeStale(const std::string& target);

private:
    // The directory part (with its separator) and the file name of path.
    static void _split(const std::string& path, std::string& dir, std::string& name);
    static std::string _tempPrefix(const std::string& name);
    static bool _isTempName(const std::string& entry, const std::string& prefix);
    bool _resolveLinks(const std::string& path);
    bool _createTemp();
    void _close();

    RandomFill _pfRandom;
    std::string _strTarget;
    std::string _strDir;
    std::string _strName;
    std::string _strTemp;
    int _fd = -1;
    int _dirFd = -1;
    uint64_t _nDev = 0;
    uint64_t _nIno = 0;
    // Mode of a new file under the process's umask (and default ACL).
    mode_t _nNewFileMode = 0644;
    bool _bTargetExisted = false;
    bool _bCommitted = false;
};
