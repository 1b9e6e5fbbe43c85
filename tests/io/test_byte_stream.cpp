#include "VqDataStream.h"
#include "VqFileByteStream.h"
#include "VqLibFixture.h"
#include "VqMemoryByteStream.h"
#include "VqPlatform.h"
#include "VqStdError.h"
#include "VqStdException.h"
#include "VqString.h"
#include "VqTestThrown.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

class ByteStreamTest : public VqLibTest {
protected:
    void SetUp() override {
        VqLibTest::SetUp();
        _dir = std::filesystem::temp_directory_path() / ("vq_streams_" + std::to_string(::getpid()));
        std::filesystem::create_directories(_dir);
    }
    void TearDown() override {
        std::filesystem::remove_all(_dir);
        VqLibTest::TearDown();
    }
    VqString path(const char* name) const { return VqString::fromUtf8((_dir / name).string()); }

    // Writes text at the start of the stream, leaving it open and unlocked.
    static void put(VqFileByteStream* s, const std::string& text) {
        VqAutoLockByteStream guard(s);
        s->open();
        s->seek(0);
        s->writeBytes(reinterpret_cast<const VqUChar*>(text.data()), text.size());
    }
    static std::string get(VqFileByteStream* s, size_t n) {
        VqAutoLockByteStream guard(s);
        s->open();
        s->seek(0);
        std::string out(n, '\0');
        VqSize got = 0;
        s->readBytes(reinterpret_cast<VqUChar*>(out.data()), n, got);
        out.resize(got);
        return out;
    }

    std::filesystem::path _dir;
};

TEST_F(ByteStreamTest, FileRoundTripThroughADataStream) {
    {
        Vq::SharedPtr<VqDataStream> w = new VqDataStream(new VqFileByteStream(path("a.bin"), false, true));
        w->open();
        ASSERT_TRUE(w->write(VqString("segment")));
        ASSERT_TRUE(w->write(2.5));
        ASSERT_TRUE(w->writeVeci({1, 2, 3}));
        w->close();
        EXPECT_FALSE(w->byteStream()->isLocked());
    }
    EXPECT_TRUE(VqFileByteStream::s_checkFileExists(path("a.bin")));
    EXPECT_FALSE(VqFileByteStream::s_checkFileExists(path("missing.bin")));
    Vq::SharedPtr<VqDataStream> r = new VqDataStream(new VqFileByteStream(path("a.bin"), true, false));
    r->open();
    EXPECT_TRUE(r->byteStream()->isLocked());
    VqString s;
    double d = 0;
    std::vector<int> v;
    ASSERT_TRUE(r->read(s) && r->read(&d) && r->readVeci(v));
    EXPECT_EQ(s, VqString("segment"));
    EXPECT_EQ(d, 2.5);
    EXPECT_EQ(v, (std::vector<int>{1, 2, 3}));
    int past = 0;
    EXPECT_FALSE(r->read(&past));
    EXPECT_EQ(lastError(), "Short read");
}

TEST_F(ByteStreamTest, CountsAreCheckedAgainstTheFileSize) {
    FILE* f = std::fopen((_dir / "bad.bin").c_str(), "wb");
    const int32_t huge = 0x40000000;
    std::fwrite(&huge, 4, 1, f);
    std::fclose(f);
    Vq::SharedPtr<VqDataStream> r = new VqDataStream(new VqFileByteStream(path("bad.bin"), true, false));
    r->open();
    std::vector<float> v;
    EXPECT_FALSE(r->readVecf(v));
    EXPECT_EQ(lastError(), "Short read");
    EXPECT_EQ(lastCode(), VQ_ERR_SHORT_READ);
}

TEST_F(ByteStreamTest, OpenFailuresAndUnlockedUse) {
    Vq::SharedPtr<VqFileByteStream> missing = new VqFileByteStream(path("no/such/dir.bin"), false, true);
    EXPECT_EQ(thrown([&] { missing->open(); }),
              (Thrown{"Unable to open file: No such file or directory", VQ_ERR_SETTING}));
    EXPECT_FALSE(missing->isLocked());

    Vq::SharedPtr<VqFileByteStream> s = new VqFileByteStream(path("b.bin"), false, true);
    put(s.get(), "xyz");
    VqUChar c = 0;
    VqSize n = 0;
    EXPECT_THROW(s->readBytes(&c, 1, n), Vq::StdException);
    EXPECT_EQ(thrown([&] { s->writeBytes(&c, 1); }).text, "isLocked() && isOpen() && !_bReadOnly");
}

// The system's reason follows the failure's own text.
TEST_F(ByteStreamTest, AFullDeviceEndsInWriteFailed) {
    if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    std::vector<VqUChar> big(600000, 0x5A);
    {
        // Too big for the stdio buffer: the retry loop runs and gives up.
        Vq::SharedPtr<VqDataStream> s = new VqDataStream(new VqFileByteStream("/dev/full", false, false));
        s->open();
        EXPECT_FALSE(s->write(big.data(), static_cast<int>(big.size())));
        EXPECT_EQ(lastError(), "Write failed: No space left on device");
        EXPECT_EQ(lastCode(), VQ_ERR_WRITE);
    }
    {
        // A small write lands in the buffer; the failure shows when it is flushed on close.
        Vq::SharedPtr<VqDataStream> s = new VqDataStream(new VqFileByteStream("/dev/full", false, false));
        s->open();
        EXPECT_TRUE(s->write(12));
        EXPECT_EQ(thrown([&] { s->close(); }).text, "Write failed: No space left on device");
    }
    {
        // Seeking hands the buffered bytes over first: its failure is the write's.
        Vq::SharedPtr<VqFileByteStream> s = new VqFileByteStream("/dev/full", false, false);
        VqAutoLockByteStream guard(s.get());
        s->open();
        const VqUChar b[4] = {1, 2, 3, 4};
        s->writeBytes(b, sizeof b);
        EXPECT_EQ(thrown([&] { s->seek(0); }),
                  (Thrown{"Write failed: No space left on device", VQ_ERR_WRITE}));
    }
}

// A pinned stream reopens only its own file: not another file renamed or
// linked under its name (which it must not truncate either), not a link.
TEST_F(ByteStreamTest, APinnedStreamOpensOnlyItsOwnFile) {
    const std::string mine = (_dir / "mine").string(), other = (_dir / "other").string();
    Vq::SharedPtr<VqFileByteStream> first = new VqFileByteStream(path("mine"), false, true);
    put(first.get(), "abc");
    first->close();
    struct stat st {};
    ASSERT_EQ(::stat(mine.c_str(), &st), 0);
    auto pinned = [&](bool truncate) {
        Vq::SharedPtr<VqFileByteStream> s = new VqFileByteStream(path("mine"), false, truncate);
        s->pin(st.st_dev, st.st_ino);
        return s;
    };
    Vq::SharedPtr<VqFileByteStream> s = pinned(true);
    put(s.get(), "xyz");
    s->close();
    EXPECT_EQ(get(pinned(false).get(), 8), "xyz");

    auto openFails = [&](const char* expected) {
        Vq::SharedPtr<VqFileByteStream> t = pinned(true);
        VqAutoLockByteStream guard(t.get());
        EXPECT_EQ(thrown([&] { t->open(); }).text, expected);
    };
    std::FILE* f = std::fopen(other.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fputs("precious", f);
    std::fclose(f);
    ASSERT_EQ(::unlink(mine.c_str()), 0);
    ASSERT_EQ(::link(other.c_str(), mine.c_str()), 0);
    openFails("The file was replaced by another while it was being written");
    ASSERT_EQ(::unlink(mine.c_str()), 0);
    ASSERT_EQ(::symlink(other.c_str(), mine.c_str()), 0);
    openFails("Unable to open file: Too many levels of symbolic links");
    ASSERT_EQ(::unlink(mine.c_str()), 0);
    openFails("Unable to open file: No such file or directory");
    EXPECT_FALSE(std::filesystem::exists(mine));
    EXPECT_EQ(std::filesystem::file_size(other), 8u);
}

TEST_F(ByteStreamTest, SeekOnAPipeFails) {
    ASSERT_EQ(::mkfifo((_dir / "pipe").c_str(), 0600), 0);
    Vq::SharedPtr<VqFileByteStream> s = new VqFileByteStream(path("pipe"), false, false);
    VqAutoLockByteStream guard(s.get());
    s->open();
    EXPECT_EQ(thrown([&] { s->seek(10); }), (Thrown{"Seek fail check errno: Illegal seek", VQ_ERR_SEEK}));
}

// The open-stream limit. The platform's budget can be raised back only to 29.
class OpenStreamLimitTest : public ByteStreamTest {
protected:
    void SetUp() override {
        ByteStreamTest::SetUp();
        ASSERT_TRUE(g_pInstanceVqPlatform->setStreamBudget(2));
        for (int i = 0; i < 3; ++i) {
            std::string name = "s" + std::to_string(i) + ".bin";
            _s[i] = new VqFileByteStream(path(name.c_str()), false, true);
        }
    }
    void TearDown() override {
        for (auto& s : _s)
            s.reset();
        g_pInstanceVqPlatform->setStreamBudget(29);
        ByteStreamTest::TearDown();
    }
    Vq::SharedPtr<VqFileByteStream> _s[3];
};

TEST_F(OpenStreamLimitTest, LeastRecentlyUsedIsClosedAndReopensWithoutTruncating) {
    put(_s[0].get(), "zero");
    put(_s[1].get(), "one");
    EXPECT_EQ(VqByteStream::s_numOpenStreams(), 2);
    put(_s[2].get(), "two");
    EXPECT_EQ(VqByteStream::s_numOpenStreams(), 2);
    EXPECT_FALSE(_s[0]->isOpen());
    EXPECT_TRUE(_s[1]->isOpen());
    EXPECT_TRUE(_s[2]->isOpen());
    // Using a stream makes it the most recent one.
    get(_s[1].get(), 3);
    EXPECT_EQ(get(_s[0].get(), 4), "zero");
    EXPECT_FALSE(_s[2]->isOpen());
    EXPECT_TRUE(_s[1]->isOpen());
    EXPECT_EQ(get(_s[2].get(), 3), "two");
    EXPECT_FALSE(_s[1]->isOpen());
}

TEST_F(OpenStreamLimitTest, ALockedStreamIsNeverEvicted) {
    put(_s[0].get(), "zero");
    put(_s[1].get(), "one");
    _s[0]->lock();
    put(_s[2].get(), "two");
    EXPECT_TRUE(_s[0]->isOpen());
    EXPECT_FALSE(_s[1]->isOpen());
    // With every listed stream held by this thread, none can be given up:
    // the new one is admitted over the limit instead of waiting for ever.
    _s[2]->lock();
    put(_s[1].get(), "one");
    EXPECT_EQ(VqByteStream::s_numOpenStreams(), 3);
    EXPECT_TRUE(_s[0]->isOpen() && _s[1]->isOpen() && _s[2]->isOpen());
    _s[2]->unlock();
    _s[0]->unlock();
    VqByteStream::s_reapOpenStreamList();
    EXPECT_EQ(VqByteStream::s_numOpenStreams(), 0);
    EXPECT_FALSE(_s[1]->isOpen());
}

TEST_F(OpenStreamLimitTest, ThreadsSharingFewerOpenStreamsThanFiles) {
    // Four threads use six files through a limit of two: streams are closed
    // and reopened under their users' feet, never while one holds them.
    std::vector<Vq::SharedPtr<VqFileByteStream>> files;
    for (int i = 0; i < 6; ++i) {
        std::string name = "t" + std::to_string(i) + ".bin";
        files.push_back(new VqFileByteStream(path(name.c_str()), false, true));
        put(files.back().get(), std::string(64, static_cast<char>('a' + i)));
    }
    std::atomic<int> bad{0};
    auto work = [&](int seed) {
        for (int round = 0; round < 300; ++round) {
            int i = (seed * 7 + round * 5) % 6;
            VqFileByteStream* s = files[i].get();
            VqAutoLockByteStream guard(s);
            try {
                s->open();
                s->seek(static_cast<uint64_t>(round % 60));
                VqUChar c = 0;
                VqSize n = 0;
                s->readBytes(&c, 1, n);
                if (n != 1 || c != 'a' + i) ++bad;
            } catch (...) {
                ++bad;
            }
        }
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back(work, t);
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(bad.load(), 0);
    EXPECT_LE(VqByteStream::s_numOpenStreams(), 2);
}

// Every open and save reaps the open streams of the whole process, while other
// threads release theirs or hold them in use: a reaped stream must still be
// alive when it is closed, and one in use is left to its owner.
TEST_F(ByteStreamTest, ReapingRacesWithOwnersReleasingTheirStreams) {
    std::atomic<bool> done{false};
    std::atomic<int> bad{0};
    std::thread owner([&] {
        for (int round = 0; round < 200; ++round) {
            Vq::SharedPtr<VqFileByteStream> s =
                new VqFileByteStream(path(round % 2 ? "r1.bin" : "r2.bin"), false, true);
            try {
                put(s.get(), "reaped");
                if (get(s.get(), 6) != "reaped") ++bad;
            } catch (...) {
                ++bad;
            }
        }
        done = true;
    });
    while (!done)
        VqByteStream::s_reapOpenStreamList();
    owner.join();
    EXPECT_EQ(bad.load(), 0);

    // A stream the caller holds stays open.
    Vq::SharedPtr<VqFileByteStream> held = new VqFileByteStream(path("held.bin"), false, true);
    put(held.get(), "held");
    held->lock();
    VqByteStream::s_reapOpenStreamList();
    EXPECT_TRUE(held->isOpen());
    held->unlock();
    VqByteStream::s_reapOpenStreamList();
    EXPECT_FALSE(held->isOpen());
}

// Two threads hold the whole budget between them (20 + 12 of 32) and each
// asks for one more. Neither can release for the other while it waits, so
// the first to see that admits its stream over the limit; the list shrinks
// back once the streams are released.
TEST_F(ByteStreamTest, ThreadsHoldingTheWholeBudgetBetweenThemEachGetOneMore) {
    // The default budget is 32; a test before may have left it lower.
    const int limit = VqByteStream::s_openStreamLimit();
    ASSERT_GE(limit, 13);
    std::vector<Vq::SharedPtr<VqFileByteStream>> files;
    for (int i = 0; i < limit + 2; ++i) {
        std::string name = "h" + std::to_string(i) + ".bin";
        files.push_back(new VqFileByteStream(path(name.c_str()), false, true));
    }
    std::atomic<int> holding{0}, finished{0}, bad{0};
    // Holds count streams from first on, then opens the one after them.
    auto work = [&](int first, int count) {
        try {
            for (int i = first; i < first + count; ++i) {
                files[size_t(i)]->lock();
                files[size_t(i)]->open();
            }
            ++holding;
            while (holding.load() < 2)
                std::this_thread::yield();
            VqFileByteStream* extra = files[size_t(first + count)].get();
            VqAutoLockByteStream guard(extra);
            extra->open();
            const VqUChar b = 7;
            extra->writeBytes(&b, 1);
        } catch (...) {
            ++bad;
        }
        for (int i = first; i < first + count; ++i)
            files[size_t(i)]->unlock();
        ++finished;
    };
    std::thread a(work, 0, limit - 12), b(work, limit - 11, 12);
    // A livelock would spin here for ever: give up loudly instead.
    for (int ms = 0; finished.load() < 2 && ms < 60000; ms += 10)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (finished.load() < 2) {
        ADD_FAILURE() << "threads holding streams between them never got one more";
        std::_Exit(1);
    }
    a.join();
    b.join();
    EXPECT_EQ(bad.load(), 0);
    EXPECT_LE(VqByteStream::s_numOpenStreams(), limit + 2);
    // The next entry closes free streams until it fits in the budget again.
    Vq::SharedPtr<VqFileByteStream> next = new VqFileByteStream(path("next.bin"), false, true);
    put(next.get(), "next");
    EXPECT_EQ(VqByteStream::s_numOpenStreams(), limit);
}

// A write stream closed to make room loses the data still in its buffer when
// that close fails. The owner, who believes it written, hears of it at its
// next open, and the same for the next close.
TEST_F(ByteStreamTest, AnEvictedWriteStreamsFailedFlushIsRaisedOnItsNextUse) {
    if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    ASSERT_TRUE(g_pInstanceVqPlatform->setStreamBudget(1));
    Vq::SharedPtr<VqFileByteStream> full = new VqFileByteStream("/dev/full", false, false);
    Vq::SharedPtr<VqFileByteStream> other = new VqFileByteStream(path("other.bin"), false, true);
    const std::string text(4000, 'x');
    auto write = [&] {
        VqAutoLockByteStream guard(full.get());
        full->open();
        full->writeBytes(reinterpret_cast<const VqUChar*>(text.data()), text.size());
    };
    write();                    // buffered: no failure yet
    put(other.get(), "evicts"); // closes /dev/full, whose flush fails
    EXPECT_FALSE(full->isOpen());
    {
        VqAutoLockByteStream guard(full.get());
        EXPECT_EQ(thrown([&] { full->open(); }),
                  (Thrown{"Write failed: No space left on device", VQ_ERR_WRITE}));
        // Raised once: the stream is usable again.
        EXPECT_NO_THROW(full->open());
    }
    write();
    put(other.get(), "again");
    EXPECT_THROW(full->close(), Vq::StdException);
    EXPECT_NO_THROW(full->close());
    g_pInstanceVqPlatform->setStreamBudget(29);
}

// The open and save paths reap only streams whose devices are closed: other
// streams keep their handles, and one held by another thread is not waited for.
TEST_F(ByteStreamTest, ReapingClosedStreamsLeavesOpenOnesAlone) {
    Vq::SharedPtr<VqFileByteStream> idle = new VqFileByteStream(path("idle.bin"), false, true);
    Vq::SharedPtr<VqFileByteStream> held = new VqFileByteStream(path("held.bin"), false, true);
    put(idle.get(), "idle");
    put(held.get(), "held");
    std::atomic<bool> holding{false}, release{false};
    std::thread owner([&] {
        VqAutoLockByteStream guard(held.get());
        holding = true;
        while (!release.load())
            std::this_thread::yield();
    });
    while (!holding.load())
        std::this_thread::yield();
    VqByteStream::s_reapClosedStreams(); // returns at once
    release = true;
    owner.join();
    EXPECT_TRUE(idle->isOpen());
    EXPECT_TRUE(held->isOpen());
    EXPECT_EQ(VqByteStream::s_numOpenStreams(), 2);
}

TEST_F(ByteStreamTest, MemoryStream) {
    Vq::SharedPtr<VqMemoryByteStream> m = new VqMemoryByteStream(false);
    VqUChar buf[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_THROW(m->writeBytes(buf, 8), Vq::StdException);
    {
        VqAutoLockByteStream guard(m.get());
        m->open();
        m->writeBytes(buf, 8);
        m->seek(20);
        EXPECT_EQ(m->dataLength(), 8u);
        m->seek(4);
        m->writeBytes(buf, 2);
        EXPECT_EQ(m->dataLength(), 8u);
    }
    EXPECT_EQ(m->data()[5], 2);
    EXPECT_FALSE(m->setData(buf, 8));
    EXPECT_EQ(lastError(), "_bReadOnly");

    Vq::SharedPtr<VqMemoryByteStream> ro = new VqMemoryByteStream(true);
    EXPECT_FALSE(ro->setData(nullptr, 3));
    ASSERT_TRUE(ro->setData(buf, 8));
    ro->seek(6);
    VqUChar out[8] = {};
    VqSize n = 0;
    ro->readBytes(out, 8, n);
    EXPECT_EQ(n, 2u);
    EXPECT_EQ(out[1], 8);
    ro->seek(0);
    EXPECT_EQ(thrown([&] { ro->seek(8); }).text, "offset == 0 || offset < _nBufLen");
    ASSERT_TRUE(ro->setData(nullptr, 0));
    EXPECT_EQ(ro->dataLength(), 0u);
}

} // namespace
