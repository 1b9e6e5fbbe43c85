// What a save does to the file system around it: links planted where it
// writes are left alone, the replaced file keeps its permissions and links,
// a killed save never breaks the file and its remains go with the next save,
// the new file is on disk before its name, and failures name their cause
// and their file.

#include "ContainerTestUtil.h"
#include "VqFileReplacer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <random>
#include <sched.h>
#include <set>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace vqtest;

// ---- a syscall wrapper: the order of fsync and rename as the library issues them ----

namespace {
bool s_bRecordSyncs = false;
std::vector<std::string> s_vSyncLog;

std::string pathOfFd(int fd) {
    char buf[4096];
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    const ssize_t n = ::readlink(link.c_str(), buf, sizeof buf);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "fd " + std::to_string(fd);
}
} // namespace

// These replace the C library's functions in this test program; both go
// straight to the system.
extern "C" int fsync(int fd) {
    if (s_bRecordSyncs) s_vSyncLog.push_back("fsync " + pathOfFd(fd));
    return static_cast<int>(::syscall(SYS_fsync, fd));
}
extern "C" int renameat(int fromDir, const char* from, int toDir, const char* to) noexcept {
    if (s_bRecordSyncs) s_vSyncLog.push_back("rename " + std::string(from) + " " + std::string(to));
    return static_cast<int>(::syscall(SYS_renameat2, fromDir, from, toDir, to, 0));
}

namespace {

// "" when the file opens as a model of that many children whose last
// late-loaded number is first + children - 1, else what is wrong. The
// root's name goes to rootName when given.
std::string checkModel(const std::string& path, int children, int first = 4711,
                       VqString* rootName = nullptr) {
    Vq::SharedPtr<VqPartition> p;
    if (!VqPartition::openFile(VqString::fromUtf8(path), p)) return "unreadable: " + Vq::lastErrorMessage();
    if (rootName) *rootName = p->name();
    if (static_cast<int>(p->numChildren()) != children)
        return "children: " + std::to_string(p->numChildren());
    VqLateLoadedPropAtom* ll = lateLoaded(p->child(children - 1));
    if (!ll || !ll->ensureData(*p)) return "late-loaded data: " + Vq::lastErrorMessage();
    if (loadedNumber(ll) != first + children - 1) return "late-loaded number differs";
    return "";
}

std::set<std::string> listDir(const std::string& dir) {
    std::set<std::string> names;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (const dirent* e = ::readdir(d))
            if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
                names.insert(e->d_name);
        ::closedir(d);
    }
    return names;
}

std::string linkTarget(const std::string& path) {
    std::error_code ec;
    return std::filesystem::read_symlink(path, ec).string();
}

int threadCount() {
    return static_cast<int>(listDir("/proc/self/task").size());
}

// Runs body in a child process and returns the text it reports ("" for
// success). The child never returns into the test program.
template <class Body>
std::string inChild(Body body) {
    int fds[2];
    if (::pipe(fds) != 0) return "pipe failed";
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        const std::string report = body();
        ssize_t unused = ::write(fds[1], report.data(), report.size());
        (void)unused;
        ::_exit(0);
    }
    ::close(fds[1]);
    std::string report;
    char buf[512];
    for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;)
        report.append(buf, static_cast<size_t>(n));
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) report += " (child ended abnormally)";
    return report;
}

class SafeSaveTest : public VqLibTest {
protected:
    void TearDown() override {
        VqStreamMgr::s_maxFlushThreads = 0;
        VqPartition::setVersion(9, 5);
        VqLibTest::TearDown();
    }
    static bool saveTo(VqPartition* p, const std::string& path) {
        return p->saveAs(VqString::fromUtf8(path));
    }
    static mode_t modeOf(const std::string& path) {
        struct stat st {};
        return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
    }
    // The temporary files in dir that saves of name may have left.
    static int leftovers(const std::string& dir, const std::string& name) {
        int n = 0;
        for (const std::string& e : listDir(dir))
            if (e.rfind(name + ".tmp", 0) == 0) ++n;
        return n;
    }
    TempDir _dir;
};

// The names a save of an earlier design wrote to (TARGET.tmp<pid>_<n>), names
// shaped like the temporary files of this one, and a directory outside: links
// planted under any of them are left as they are, and nothing outside the
// target's directory changes.
TEST_F(SafeSaveTest, PlantedLinksAreLeftAlone) {
    TempDir outside;
    const std::string victim = outside.file("victim.txt");
    writeFile(victim, Bytes{'p', 'r', 'e', 'c', 'i', 'o', 'u', 's'});
    struct stat before {};
    ASSERT_EQ(::stat(victim.c_str(), &before), 0);

    const std::string pid = std::to_string(::getpid());
    std::set<std::string> planted;
    auto plant = [&](const std::string& name, const std::string& to) {
        ASSERT_EQ(::symlink(to.c_str(), _dir.file(name).c_str()), 0) << name;
        planted.insert(name);
    };
    for (int n = 1; n <= 20; ++n)
        plant("model.vq.tmp" + pid + "_" + std::to_string(n), victim);
    plant("model.vq.tmp-AAAAAAAAAAAA", victim);
    plant("model.vq.tmp-BBBBBBBBBBBB", outside.file("created-through-a-link.vq"));
    ASSERT_EQ(::mkfifo(_dir.file("model.vq.tmp-CCCCCCCCCCCC").c_str(), 0600), 0);
    planted.insert("model.vq.tmp-CCCCCCCCCCCC");

    // A new file, then a replacement (which also looks for stale files).
    Vq::SharedPtr<VqPartition> model = namedModel(3);
    ASSERT_TRUE(saveTo(model.get(), _dir.file("model.vq"))) << Vq::lastErrorMessage();
    ASSERT_TRUE(saveTo(model.get(), _dir.file("model.vq"))) << Vq::lastErrorMessage();
    EXPECT_EQ(checkModel(_dir.file("model.vq"), 3), "");

    std::set<std::string> expected = planted;
    expected.insert("model.vq");
    EXPECT_EQ(listDir(_dir.path()), expected);
    for (const std::string& name : planted)
        EXPECT_TRUE(name == "model.vq.tmp-CCCCCCCCCCCC" || !linkTarget(_dir.file(name)).empty()) << name;
    EXPECT_EQ(readFile(victim), (Bytes{'p', 'r', 'e', 'c', 'i', 'o', 'u', 's'}));
    struct stat after {};
    ASSERT_EQ(::stat(victim.c_str(), &after), 0);
    EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
    EXPECT_EQ(listDir(outside.path()), std::set<std::string>{"victim.txt"});
}

// Names drawn from a script: the first three are taken by a link to a victim,
// a link to where a file could be made, and a file of someone else.
unsigned char s_nextName = 0;
bool scriptedRandom(unsigned char* buf, size_t n) {
    std::memset(buf, s_nextName++, n);
    return true;
}

TEST_F(SafeSaveTest, TheTemporaryFileIsNeverCreatedThroughAName) {
    TempDir outside;
    const std::string victim = outside.file("victim.txt");
    writeFile(victim, Bytes{'v'});
    const std::string target = _dir.file("t.vq");
    writeFile(target, Bytes{'o', 'l', 'd'});
    ASSERT_EQ(::symlink(victim.c_str(), (target + ".tmp-AAAAAAAAAAAA").c_str()), 0);
    ASSERT_EQ(::symlink(outside.file("new").c_str(), (target + ".tmp-BBBBBBBBBBBB").c_str()), 0);
    writeFile(target + ".tmp-CCCCCCCCCCCC", Bytes{'s'});
    // Unlocked, this one would be taken for a dead save's file: keep it locked.
    const int holder = ::open((target + ".tmp-CCCCCCCCCCCC").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(::flock(holder, LOCK_EX), 0);

    s_nextName = 0;
    VqFileReplacer replacer(&scriptedRandom);
    ASSERT_TRUE(replacer.begin(target)) << Vq::lastErrorMessage();
    EXPECT_EQ(replacer.tempPath(), target + ".tmp-DDDDDDDDDDDD");
    writeFile(replacer.tempPath(), Bytes{'n', 'e', 'w'});
    ASSERT_TRUE(replacer.commit()) << Vq::lastErrorMessage();
    ::close(holder);

    EXPECT_EQ(readFile(target), (Bytes{'n', 'e', 'w'}));
    EXPECT_EQ(readFile(victim), Bytes{'v'});
    EXPECT_EQ(listDir(outside.path()), std::set<std::string>{"victim.txt"});
    EXPECT_EQ(linkTarget(target + ".tmp-AAAAAAAAAAAA"), victim);
    EXPECT_EQ(readFile(target + ".tmp-CCCCCCCCCCCC"), Bytes{'s'});
    // Unlocked now, as a dead save's file would be: the next save removes it.
    EXPECT_EQ(VqFileReplacer::removeStale(target), 1);
    EXPECT_EQ(leftovers(_dir.path(), "t.vq"), 2);
}

// A second save of the same target leaves the first one's file alone while
// the first still runs; either ends with its own file in place.
TEST_F(SafeSaveTest, ConcurrentSavesOfOneTargetKeepEachOthersFiles) {
    const std::string target = _dir.file("t.vq");
    VqFileReplacer first, second;
    ASSERT_TRUE(first.begin(target));
    ASSERT_TRUE(second.begin(target));
    EXPECT_NE(first.tempPath(), second.tempPath());
    EXPECT_TRUE(std::filesystem::exists(first.tempPath()));
    writeFile(first.tempPath(), Bytes{'1'});
    writeFile(second.tempPath(), Bytes{'2'});
    ASSERT_TRUE(second.commit());
    ASSERT_TRUE(first.commit());
    EXPECT_EQ(readFile(target), Bytes{'1'});
    second.discard();
    EXPECT_EQ(listDir(_dir.path()), std::set<std::string>{"t.vq"});

    // A save that gives up removes its file, and only its file.
    VqFileReplacer third;
    ASSERT_TRUE(third.begin(target));
    third.discard();
    EXPECT_EQ(listDir(_dir.path()), std::set<std::string>{"t.vq"});
    EXPECT_EQ(readFile(target), Bytes{'1'});
}

// The replaced file's permissions and owner stay; a new file gets those the
// process gives new files; a link is followed and stays a link; another hard
// link keeps the old contents.
TEST_F(SafeSaveTest, TheReplacedFileKeepsItsIdentity) {
    Vq::SharedPtr<VqPartition> model = namedModel(2);
    const std::string target = _dir.file("private.vq");
    const mode_t oldMask = ::umask(027);
    const bool savedNew = saveTo(model.get(), target);
    ::umask(oldMask);
    ASSERT_TRUE(savedNew) << Vq::lastErrorMessage();
    EXPECT_EQ(modeOf(target), 0640u);

    for (mode_t mode : {0640u, 0600u, 0444u, 0604u}) {
        ASSERT_EQ(::chmod(target.c_str(), mode), 0);
        ASSERT_TRUE(saveTo(model.get(), target)) << Vq::lastErrorMessage();
        EXPECT_EQ(modeOf(target), mode);
    }
    if (::geteuid() == 0) {
        ASSERT_EQ(::chown(target.c_str(), 65534, 65534), 0);
        ASSERT_TRUE(saveTo(model.get(), target)) << Vq::lastErrorMessage();
        struct stat st {};
        ASSERT_EQ(::stat(target.c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, 65534u);
        EXPECT_EQ(st.st_gid, 65534u);
    }

    // Through a relative link into another directory.
    TempDir real;
    const std::string realFile = real.file("real.vq");
    ASSERT_TRUE(saveTo(model.get(), realFile));
    const std::string link = _dir.file("link.vq");
    const std::string relative = "../" + real.path().substr(real.path().rfind('/') + 1) + "/real.vq";
    ASSERT_EQ(::symlink(relative.c_str(), link.c_str()), 0);
    Vq::SharedPtr<VqPartition> other = namedModel(5, 0, 100);
    ASSERT_TRUE(saveTo(other.get(), link)) << Vq::lastErrorMessage();
    EXPECT_EQ(linkTarget(link), relative);
    EXPECT_EQ(checkModel(realFile, 5, 100), "");
    EXPECT_EQ(listDir(real.path()), std::set<std::string>{"real.vq"});

    // A hard link keeps what it had.
    const std::string hard = _dir.file("hard.vq");
    ASSERT_EQ(::link(realFile.c_str(), hard.c_str()), 0);
    ASSERT_TRUE(saveTo(model.get(), realFile));
    EXPECT_EQ(checkModel(realFile, 2), "");
    EXPECT_EQ(checkModel(hard, 5, 100), "");

    // Not a file to replace.
    EXPECT_FALSE(saveTo(model.get(), real.path()));
    EXPECT_EQ(lastError(), "The file to replace is not a regular file");
    EXPECT_EQ(VqErrorState::currentError()->location().toUtf8(), real.path());
}

// The new file reaches the disk before its name replaces the old one, and
// the directory after.
TEST_F(SafeSaveTest, TheNewFileIsOnDiskBeforeItsNameAndTheNameAfter) {
    Vq::SharedPtr<VqPartition> model = namedModel(2);
    const std::string target = _dir.file("model.vq");
    ASSERT_TRUE(saveTo(model.get(), target));
    s_vSyncLog.clear();
    s_bRecordSyncs = true;
    const bool saved = saveTo(model.get(), target);
    s_bRecordSyncs = false;
    ASSERT_TRUE(saved) << Vq::lastErrorMessage();
    ASSERT_EQ(s_vSyncLog.size(), 3u) << ::testing::PrintToString(s_vSyncLog);
    const std::string temp = s_vSyncLog[0].substr(6);
    EXPECT_EQ(temp.rfind(target + ".tmp-", 0), 0u) << s_vSyncLog[0];
    EXPECT_EQ(s_vSyncLog[1], "rename " + temp.substr(_dir.path().size() + 1) + " model.vq");
    EXPECT_EQ(s_vSyncLog[2], "fsync " + _dir.path());
}

// Saves killed at random points, each in a child process that saves over and
// over: the target always reads as a whole model, at most one dead save's
// file lies beside it at a time, and the next save removes that one.
TEST_F(SafeSaveTest, KilledSavesNeverBreakTheTargetNorLeaveFilesBehind) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP()
        << "the race detector runs a thread of its own, and the forked children need a process of one";
#endif
    // The children are forked: this process must not have started the flush threads.
    VqStreamMgr::s_maxFlushThreads = 1;
    Vq::SharedPtr<VqPartition> model = namedModel(30, 64);
    const std::string target = _dir.file("model.vq");
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(saveTo(model.get(), target)) << Vq::lastErrorMessage();
    const auto oneSave =
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start);
    ASSERT_EQ(threadCount(), 1);

    const unsigned seed = static_cast<unsigned>(start.time_since_epoch().count());
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    // Up to about two saves in: kills land in every phase of a save and
    // between saves, however fast this machine is today.
    std::uniform_int_distribution<long> delay(0, 2 * std::max<long>(oneSave.count(), 500));
    // The children save under another name: their saves do complete too.
    int childVersions = 0;
    for (int i = 0; i < 50; ++i) {
        ASSERT_EQ(threadCount(), 1);
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            VqStreamMgr::s_maxFlushThreads = 0;
            model->setName("saved by a child");
            for (;;)
                if (!saveTo(model.get(), target)) ::_exit(3);
        }
        // Every tenth child is let finish a save first (the target's inode
        // changes when its name is replaced), so that a loaded machine,
        // where a child's first save takes far longer than the parent's,
        // still shows children's saves landing.
        if (i % 10 == 9) {
            struct stat before {};
            ASSERT_EQ(::stat(target.c_str(), &before), 0);
            const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(60);
            struct stat now = before;
            while (now.st_ino == before.st_ino && std::chrono::steady_clock::now() < giveUp) {
                ::usleep(1000);
                ASSERT_EQ(::stat(target.c_str(), &now), 0);
            }
        }
        ::usleep(static_cast<useconds_t>(delay(rng)));
        ::kill(pid, SIGKILL);
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFSIGNALED(status)) << "the saving child ended by itself, status " << status;
        VqString name;
        ASSERT_EQ(checkModel(target, 30, 4711, &name), "") << "after kill " << i;
        ASSERT_LE(leftovers(_dir.path(), "model.vq"), 1) << "after kill " << i;
        if (name == VqString("saved by a child")) ++childVersions;
    }
    EXPECT_GT(childVersions, 0);
    ASSERT_TRUE(saveTo(model.get(), target)) << Vq::lastErrorMessage();
    EXPECT_EQ(listDir(_dir.path()), std::set<std::string>{"model.vq"});
}

// A file system that fills up during a save: the error says so, with the
// file's name; the old file stays whole and nothing else remains. A small
// file system of its own needs a mount, done in a child process in new user
// and mount namespaces (as root, in a mount namespace alone).
TEST_F(SafeSaveTest, AFullFileSystemIsNamedAsTheCauseWithTheFile) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP()
        << "the race detector runs a thread of its own, and the forked children need a process of one";
#endif
    ASSERT_EQ(threadCount(), 1);
    const std::string dir = _dir.path();
    const std::string report = inChild([&]() -> std::string {
        const uid_t uid = ::getuid();
        const gid_t gid = ::getgid();
        bool isolated = ::geteuid() == 0 && ::unshare(CLONE_NEWNS) == 0;
        if (!isolated) {
            if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0)
                return std::string("SKIP no user namespaces: ") + std::strerror(errno);
            auto put = [](const char* file, const std::string& text) {
                const int fd = ::open(file, O_WRONLY | O_CLOEXEC);
                const bool ok =
                    fd >= 0 && ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
                if (fd >= 0) ::close(fd);
                return ok;
            };
            if (!put("/proc/self/setgroups", "deny") ||
                !put("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") ||
                !put("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1"))
                return "SKIP cannot map the user into the namespace";
        }
        if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount("tmpfs", dir.c_str(), "tmpfs", 0, "size=256k") != 0)
            return std::string("SKIP cannot mount a small file system: ") + std::strerror(errno);

        const std::string target = dir + "/model.vq";
        Vq::SharedPtr<VqPartition> small = namedModel(3);
        if (!saveTo(small.get(), target)) return "the small model did not fit: " + Vq::lastErrorMessage();
        const Bytes before = readFile(target);
        Vq::SharedPtr<VqPartition> big = namedModel(40, 8000);
        if (saveTo(big.get(), target)) return "the big model fitted";
        std::string problems;
        const std::string message = Vq::lastErrorMessage();
        if (lastError().find("No space left on device") == std::string::npos)
            problems += "cause: " + message + "; ";
        if (VqErrorState::currentError()->location().toUtf8() != target)
            problems += "location: " + message + "; ";
        if (readFile(target) != before) problems += "the old file changed; ";
        if (listDir(dir) != std::set<std::string>{"model.vq"}) problems += "files were left behind; ";
        return problems;
    });
    if (report.rfind("SKIP ", 0) == 0) GTEST_SKIP() << report.substr(5);
    EXPECT_EQ(report, "");
}

// A conversion whose source lacks a late-loaded segment, or holds it
// damaged, names the segment and the source, writes nothing, and leaves the
// partition able to try again.
TEST_F(SafeSaveTest, AnUnreadableLateSegmentOfTheSourceIsNamed) {
    Vq::SharedPtr<VqPartition> model = namedModel(2);
    const std::string source = _dir.file("source.vq");
    ASSERT_TRUE(saveTo(model.get(), source));
    VqGUID seg;
    uint64_t segOffset = 0, tocOffset = 0;
    {
        auto mgr = openForReading(_dir.path(), "source.vq");
        ASSERT_TRUE(mgr);
        tocOffset = static_cast<uint64_t>(mgr->tocOffset());
        for (const VqTOCElem& e : mgr->toc().entriesByOffset())
            if (e.segType() == VQSEG_METADATA) {
                seg = e.guid;
                segOffset = e.offset;
            }
    }
    ASSERT_GT(segOffset, 0u);
    VqString guidText;
    ASSERT_TRUE(seg.toString(guidText));
    const Bytes good = readFile(source);
    const std::string out = _dir.file("out.vq");

    auto convert = [&](const Bytes& file) {
        writeFile(source, file);
        Vq::SharedPtr<VqPartition> p;
        EXPECT_TRUE(VqPartition::openFile(VqString::fromUtf8(source), p)) << Vq::lastErrorMessage();
        return p;
    };
    // The TOC entry names another GUID: the file lacks the segment.
    Bytes missing = good;
    const auto at = std::search(missing.begin() + static_cast<long>(tocOffset), missing.end(),
                                good.begin() + static_cast<long>(segOffset),
                                good.begin() + static_cast<long>(segOffset) + 16);
    ASSERT_NE(at, missing.end());
    *at ^= 0x55;
    Vq::SharedPtr<VqPartition> p = convert(missing);
    ASSERT_TRUE(p);
    for (int attempt = 0; attempt < 2; ++attempt) {
        EXPECT_FALSE(saveTo(p.get(), out));
        EXPECT_EQ(lastError(),
                  "The late-loaded segment " + guidText.toUtf8() + " (type 4) is missing from the file");
        EXPECT_EQ(VqErrorState::currentError()->location().toUtf8(), source);
    }
    EXPECT_EQ(listDir(_dir.path()), std::set<std::string>{"source.vq"});

    // The segment's data is damaged.
    Bytes damaged = good;
    for (size_t i = segOffset + 24; i < segOffset + 40 && i < damaged.size(); ++i)
        damaged[i] ^= 0xA5;
    p = convert(damaged);
    ASSERT_TRUE(p);
    EXPECT_FALSE(saveTo(p.get(), out));
    EXPECT_EQ(lastError(), "The late-loaded segment " + guidText.toUtf8() + " (type 4) cannot be read");
    EXPECT_EQ(VqErrorState::currentError()->location().toUtf8(), source);
    EXPECT_EQ(listDir(_dir.path()), std::set<std::string>{"source.vq"});
}

} // namespace
