#include "VqErrorState.h"
#include "VqLibFixture.h"
#include "VqPlatform.h"
#include "VqStdError.h"
#include "VqString.h"
#include "VqUCS2Converter.h"
#include "VqUnicodeConverter.h"

#include <gtest/gtest.h>

#include <bit>
#include <clocale>
#include <cstdlib>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

// Built during static initialisation, long before the library starts.
VqString s_early("built before start-up");

typedef std::vector<unsigned short> Units;

Units units(const VqString& s) {
    return Units(s.getConstPtr(), s.getConstPtr() + s.numChars());
}

VqString fromUnits(const Units& u) {
    VqString s;
    s.setString(u.data(), static_cast<int>(u.size()));
    return s;
}

std::string mbs(const VqString& s, int size = 256) {
    std::vector<char> buf(static_cast<size_t>(size), '\x7f');
    if (!s.stringToMbs(buf.data(), size)) return "<failed>";
    return std::string(buf.data());
}

// Restores the process locale after a test changes it.
class LocaleGuard {
public:
    LocaleGuard() : _saved(std::setlocale(LC_CTYPE, nullptr)) {}
    ~LocaleGuard() { std::setlocale(LC_CTYPE, _saved.c_str()); }

private:
    std::string _saved;
};

class VqStringTest : public VqLibTest {};

} // namespace

TEST(VqStringEarly, WorksWithoutTheLibrary) {
    EXPECT_EQ(s_early.toUtf8(), "built before start-up");
    VqString empty;
    EXPECT_TRUE(empty.isEmpty());
    EXPECT_EQ(empty.getConstPtr()[0], 0);
    // Non-ASCII text needs the converter, which is created on demand.
    VqString accented("caf\xC3\xA9");
    EXPECT_EQ(accented.numChars(), 4);
    EXPECT_EQ(accented[3], 0x00E9);
    EXPECT_EQ(accented.toMbs(), "caf\xC3\xA9");
    VqString::fini();
}

TEST_F(VqStringTest, CopiesShareUntilOneIsModified) {
    VqString a("shared text");
    VqString b = a;
    EXPECT_EQ(a.getConstPtr(), b.getConstPtr());

    b += " and more";
    EXPECT_EQ(a.toUtf8(), "shared text");
    EXPECT_EQ(b.toUtf8(), "shared text and more");

    VqString c = a;
    ASSERT_TRUE(c.insert(0, VqString(">")));
    ASSERT_TRUE(c.remove(1, 7));
    EXPECT_EQ(c.toUtf8(), ">text");
    VqString d = a;
    ASSERT_TRUE(d.replace(VqString("t"), VqString("T")));
    EXPECT_EQ(d.toUtf8(), "shared TexT");
    EXPECT_EQ(a.toUtf8(), "shared text");

    // Appending or inserting a string into itself reads the old contents.
    VqString e("ab");
    e += e;
    EXPECT_EQ(e.toUtf8(), "abab");
    ASSERT_TRUE(e.insert(2, e));
    EXPECT_EQ(e.toUtf8(), "abababab");
    ASSERT_TRUE(e.subString(2, e, 3));
    EXPECT_EQ(e.toUtf8(), "aba");

    // Moved-from strings are empty and usable.
    VqString f(std::move(e));
    EXPECT_TRUE(e.isEmpty());
    e = "again";
    EXPECT_EQ(e.toUtf8(), "again");
    EXPECT_EQ(f.toUtf8(), "aba");
}

TEST_F(VqStringTest, PrimitiveGrowsToExactSizeThroughThePlatform) {
    VqPlatform* platform = VqPlatform::EnsureInstance();
    uint64_t before = platform->numAllocations();
    VqStringPrimitive* p = VqStringPrimitive::create(4);
    ASSERT_TRUE(p);
    EXPECT_GT(platform->numAllocations(), before);
    EXPECT_EQ(p->_nCapacity, 5);
    for (int i = 0; i < 4; ++i)
        p->_pBuffer[i] = static_cast<unsigned short>('w' + i);
    p->_pBuffer[4] = 0;
    p->_nLength = -1;
    EXPECT_EQ(p->length(), 4); // computed from the terminator, then cached
    EXPECT_TRUE(p->_verify(3, false));
    EXPECT_EQ(p->_nCapacity, 5);
    ASSERT_TRUE(p->_verify(9, true));
    EXPECT_EQ(p->_nCapacity, 10);
    EXPECT_EQ(p->_pBuffer[3], 'z');
    p->unref();
}

namespace {
// Refuses only large blocks, so that the error record itself can still be made.
void* refuseLarge(size_t size) {
    return size >= 2000 ? nullptr : std::malloc(size);
}
} // namespace

TEST_F(VqStringTest, AllocationFailureLeavesTheStringAlone) {
    VqString s("keep");
    VqString shared = s;
    std::string big(1500, 'x');
    VqString tail(big.c_str() + 200);
    VqPlatform::AllocFunc oldAlloc;
    VqPlatform::FreeFunc oldFree;
    VqPlatform::EnsureInstance()->setGblAllocFreeFunc(&refuseLarge, &std::free, &oldAlloc, &oldFree);
    bool setOk = s.setString(big.c_str());
    VqString grown = shared;
    grown += tail;
    std::string setError = lastError();
    const int setCode = lastCode();
    VqPlatform::EnsureInstance()->setGblAllocFreeFunc(oldAlloc, oldFree, nullptr, nullptr);
    EXPECT_FALSE(setOk);
    EXPECT_EQ(setError, "new failed to create a new string");
    EXPECT_EQ(setCode, VQ_ERR_ALLOC);
    EXPECT_EQ(s.toUtf8(), "keep");
    EXPECT_EQ(grown.toUtf8(), "keep");
    EXPECT_EQ(shared.toUtf8(), "keep");
}

TEST_F(VqStringTest, Utf8TwoByteAndFourByteSequencesRoundTrip) {
    ASSERT_TRUE(VqString::SetUTF8(true));
    VqString e("\xC3\xA9");
    EXPECT_EQ(units(e), Units({0x00E9}));
    EXPECT_EQ(mbs(e), "\xC3\xA9");

    VqString smiley("a\xF0\x9F\x98\x80z");
    EXPECT_EQ(units(smiley), Units({'a', 0xD83D, 0xDE00, 'z'}));
    EXPECT_EQ(mbs(smiley), "a\xF0\x9F\x98\x80z");

    VqString mixed("\xE2\x82\xAC 5 \xCE\xB1\xCE\xB2 \xE4\xB8\xAD\xF4\x8F\xBF\xBF");
    EXPECT_EQ(units(mixed), Units({0x20AC, ' ', '5', ' ', 0x03B1, 0x03B2, ' ', 0x4E2D, 0xDBFF, 0xDFFF}));
    std::string back;
    ASSERT_TRUE(Vq::convertToMBCS(back, mixed));
    EXPECT_EQ(back, "\xE2\x82\xAC 5 \xCE\xB1\xCE\xB2 \xE4\xB8\xAD\xF4\x8F\xBF\xBF");
    std::ostringstream os;
    os << mixed;
    EXPECT_EQ(os.str(), back);
    EXPECT_EQ(mixed.toUtf8(), back);
    EXPECT_EQ(VqString::fromUtf8(back), mixed);

    // Too small a buffer is cut at a character boundary and still terminated.
    EXPECT_EQ(mbs(VqString("a\xC3\xA9"), 3), "a");
    EXPECT_EQ(mbs(smiley, 5), "a");
    EXPECT_EQ(mbs(smiley, 6), "a\xF0\x9F\x98\x80");
}

TEST_F(VqStringTest, IllFormedTextFailsWithEitherConverter) {
    const char* const illFormed[] = {
        "\xC3",             // truncated
        "\x80",             // stray continuation byte
        "\xC0\xAF",         // overlong
        "\xE0\x80\xAF",     // overlong, three bytes
        "\xED\xA0\x80",     // encoded surrogate
        "\xF4\x90\x80\x80", // above U+10FFFF
        "\xF8\x88\x80\x80\x80",
        "ok\xC3(",
    };
    const Units loneSurrogates[] = {{'a', 0xD800}, {0xDC00, 'a'}, {0xD800, 'a'}, {0xDBFF, 0xD800}};
    for (bool utf8 : {true, false}) {
        LocaleGuard guard;
        ASSERT_TRUE(std::setlocale(LC_CTYPE, "C.UTF-8"));
        ASSERT_TRUE(VqString::SetUTF8(utf8));
        for (const char* text : illFormed) {
            VqString s("unchanged");
            VqErrorState::clearError();
            EXPECT_FALSE(s.setString(text)) << utf8 << " " << text;
            EXPECT_EQ(lastError(), "UTF8 to UCS2 conversion failed.");
            EXPECT_EQ(lastCode(), VQ_ERR_ARGUMENT);
            EXPECT_EQ(s.toUtf8(), "unchanged");
        }
        for (const Units& u : loneSurrogates) {
            VqErrorState::clearError();
            char buf[16];
            EXPECT_FALSE(fromUnits(u).stringToMbs(buf, sizeof(buf))) << utf8;
            EXPECT_EQ(lastError(), "UCS2 to UTF8 conversion failed.");
            EXPECT_EQ(lastCode(), VQ_ERR_ARGUMENT);
            std::string out = "x";
            EXPECT_FALSE(Vq::convertToMBCS(out, fromUnits(u)));
            EXPECT_TRUE(out.empty());
        }
    }
    EXPECT_TRUE(VqString::fromUtf8(std::string("\xED\xA0\x80")).isEmpty());
    EXPECT_EQ(lastError(), "UTF8 to UCS2 conversion failed.");
}

TEST_F(VqStringTest, LocalEncodingConvertsFileNames) {
    LocaleGuard guard;
    ASSERT_TRUE(std::setlocale(LC_CTYPE, "C.UTF-8"));
    ASSERT_TRUE(VqString::SetUTF8(false));
    auto* local = dynamic_cast<Vq::UCS2ConvOruUnicode*>(VqString::converter());
    ASSERT_TRUE(local);
    EXPECT_STREQ(local->encoding(), "UTF-8");

    const char* path = "/tmp/mod\xC3\xA8le \xE6\xA8\xA1\xE5\x9E\x8B \xF0\x9F\x93\x90.vq";
    VqString name(path);
    EXPECT_EQ(name.numChars(), 20);
    EXPECT_EQ(name[8], 0x00E8);
    EXPECT_EQ(name[12], 0x6A21);
    EXPECT_EQ(name[15], 0xD83D);
    EXPECT_EQ(name.toMbs(), path);
    EXPECT_EQ(mbs(name), path);
    EXPECT_EQ(local->mbclen("\xE6\xA8\xA1"), 3);
    EXPECT_EQ(local->mbclen("\xC3("), -1);
    EXPECT_EQ(local->mbclen(""), 0);

    // Under the C locale the local encoding is UTF-8 rather than ASCII.
    ASSERT_TRUE(std::setlocale(LC_CTYPE, "C"));
    Vq::OcnvConverter* cnv = Vq::ocnv_getDefaultUConverter();
    ASSERT_TRUE(cnv);
    EXPECT_STREQ(Vq::ocnv_getName(cnv), "UTF-8");
    Vq::ocnv_releaseConverter(cnv);
}

TEST_F(VqStringTest, SingleByteLocalEncoding) {
    Vq::SharedPtr<Vq::UCS2Converter> latin1(new Vq::UCS2ConvOruUnicode("ISO-8859-1"));
    auto* conv = static_cast<Vq::UCS2ConvOruUnicode*>(latin1.get());
    ASSERT_TRUE(conv->isValid());
    const char text[] = "caf\xE9 \xFF";
    size_t n = 0;
    ASSERT_TRUE(latin1->MBStoUCS2(nullptr, nullptr, text, text + 6, n));
    EXPECT_EQ(n, 6u);
    unsigned short u[6];
    ASSERT_TRUE(latin1->MBStoUCS2(u, u + 6, text, text + 6, n));
    EXPECT_EQ(Units(u, u + 6), Units({'c', 'a', 'f', 0xE9, ' ', 0xFF}));
    EXPECT_EQ(latin1->mbclen(text + 3), 1);

    char out[8];
    ASSERT_TRUE(latin1->UCS2toMBS(out, out + 4, u, u + 6, n));
    EXPECT_EQ(n, 4u); // what fits is accepted
    EXPECT_EQ(std::string(out, 4), "caf\xE9");
    const unsigned short cjk[] = {'a', 0x4E2D};
    EXPECT_FALSE(latin1->UCS2toMBS(out, out + 8, cjk, cjk + 2, n));
    EXPECT_FALSE(latin1->UCS2toMBS(nullptr, nullptr, cjk, cjk + 2, n));

    EXPECT_FALSE(Vq::UCS2ConvOruUnicode("NO-SUCH-ENCODING").isValid());
}

TEST_F(VqStringTest, FindFollowsTheRangeRules) {
    VqString s("abcabc");
    VqString empty;
    EXPECT_EQ(s.find(empty, 5), 0);
    EXPECT_EQ(s.find(empty, -3), 0);
    EXPECT_EQ(s.find(empty, 99), 0);
    EXPECT_EQ(empty.find(empty, 0), 0);
    EXPECT_EQ(s.find(VqString("bc"), 0), 1);
    EXPECT_EQ(s.find(VqString("bc"), 2), 4);
    EXPECT_EQ(s.find(VqString("bc"), 5), -1); // longer than what remains
    EXPECT_EQ(s.find(VqString("a"), -1), -1);
    EXPECT_EQ(s.find(VqString("a"), 7), -1);
    EXPECT_EQ(s.find(VqString("c"), 6), -1);
    EXPECT_EQ(s.find(VqString("abcabcd"), 0), -1);
    EXPECT_EQ(s.find(VqString("abcabc"), 0), 0);
    EXPECT_EQ(s.findLast(VqString("bc")), 4);
    EXPECT_EQ(s.findLast(VqString("abcabc")), 0);
    EXPECT_EQ(s.findLast(VqString("x")), -1);
    EXPECT_TRUE(s.contains(VqString("ca")));
    EXPECT_FALSE(s.contains(VqString("cb")));
}

TEST_F(VqStringTest, EditingOperations) {
    VqString s("a.b.c");
    VqString out;
    ASSERT_TRUE(s.subString(2, out, 10));
    EXPECT_EQ(out.toUtf8(), "b.c");
    ASSERT_TRUE(s.subString(5, out));
    EXPECT_TRUE(out.isEmpty());
    EXPECT_FALSE(s.subString(6, out, 1));
    EXPECT_FALSE(s.subString(-1, out, 1));

    EXPECT_FALSE(s.insert(6, VqString("x")));
    ASSERT_TRUE(s.insert(5, VqString("!")));
    ASSERT_TRUE(s.insert(0, VqString("<")));
    EXPECT_EQ(s.toUtf8(), "<a.b.c!");
    ASSERT_TRUE(s.remove(5, 100));
    EXPECT_EQ(s.toUtf8(), "<a.b.");
    EXPECT_FALSE(s.remove(7, 1));
    EXPECT_FALSE(s.remove(0, -1));

    ASSERT_TRUE(s.replace(VqString("."), VqString("::")));
    EXPECT_EQ(s.toUtf8(), "<a::b::");
    ASSERT_TRUE(s.replace(VqString(":"), VqString()));
    EXPECT_EQ(s.toUtf8(), "<ab");
    EXPECT_FALSE(s.replace(VqString(), VqString("x")));
    VqString aaa("aaa");
    ASSERT_TRUE(aaa.replace(VqString("aa"), VqString("b")));
    EXPECT_EQ(aaa.toUtf8(), "ba");

    VqString x("x");
    EXPECT_EQ((x + VqString("y") + VqString()).toUtf8(), "xy");
    x += "\xC3\xA9";
    EXPECT_EQ(x.numChars(), 2);

    EXPECT_TRUE(VqString("abc") == VqString("abc"));
    EXPECT_TRUE(VqString("abc") != VqString("abd"));
    EXPECT_TRUE(VqString("ab") < VqString("abc"));
    EXPECT_TRUE(VqString("abc") < VqString("b"));
    EXPECT_FALSE(VqString("b") < VqString("b"));

    // Units after an embedded terminator are kept when the count is given.
    const unsigned short withNul[] = {'a', 0, 'b'};
    VqString n;
    ASSERT_TRUE(n.setString(withNul, 3));
    EXPECT_EQ(n.numChars(), 3);
    EXPECT_EQ(n.numBytes(), 6);
    EXPECT_FALSE(n.setString(withNul, -1));
    EXPECT_TRUE(n.setString(static_cast<const char*>(nullptr)));
    EXPECT_EQ(n.numChars(), 3);
}

TEST_F(VqStringTest, SingleByteClasses) {
    EXPECT_TRUE(VqString().isAscii());
    EXPECT_TRUE(VqString().isISO8859_1());
    VqString ascii = fromUnits({'a', 0x7F});
    EXPECT_TRUE(ascii.isAscii());
    EXPECT_TRUE(ascii.isISO8859_1());
    VqString latin = fromUnits({'a', 0xFF});
    EXPECT_FALSE(latin.isAscii());
    EXPECT_TRUE(latin.isISO8859_1());
    VqString wide = fromUnits({0x100});
    EXPECT_FALSE(wide.isISO8859_1());
    EXPECT_TRUE(wide.isSingleByte(0x100));
}

// lookup2 with initial value 0 over the units' bytes in host order.
TEST_F(VqStringTest, HashIsLookup2OverTheCodeUnits) {
    if (std::endian::native != std::endian::little) GTEST_SKIP() << "vectors are for little-endian hosts";
    EXPECT_EQ(VqString().hash(), 0xbd49d10du);
    EXPECT_EQ(VqString("a").hash(), 0x75f1faadu);
    EXPECT_EQ(VqString("Version 9.5").hash(), 0x8bb85fa3u); // 22 bytes: one block and a tail
    EXPECT_EQ(VqString("Four score and seven years ago").hash(), 0xd595fb82u);
    EXPECT_FALSE(VqString::isNetworkByteOrder());
}

TEST_F(VqStringTest, SharedCopiesAcrossThreads) {
    VqString base("shared between threads");
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([&base] {
            for (int i = 0; i < 20000; ++i) {
                VqString copy = base;
                if (i % 16 == 0) copy += "!";
                EXPECT_EQ(copy.numChars(), 22 + (i % 16 == 0 ? 1 : 0));
            }
        });
    }
    for (std::thread& t : threads)
        t.join();
    EXPECT_EQ(base.toUtf8(), "shared between threads");
}

// The ASCII paths work on words and vectors: every length around their
// widths, with one non-ASCII character at every position, must convert
// exactly as the character-wise paths do.
TEST_F(VqStringTest, AsciiRunsOfEveryLengthAndBreakPosition) {
    ASSERT_TRUE(VqString::SetUTF8(true));
    for (size_t len = 0; len <= 40; ++len) {
        std::string ascii;
        for (size_t i = 0; i < len; ++i)
            ascii.push_back(static_cast<char>('!' + (i * 7) % 90));
        VqString s(ascii.c_str());
        ASSERT_EQ(s.numChars(), static_cast<int>(len));
        for (size_t i = 0; i < len; ++i)
            ASSERT_EQ(s[static_cast<int>(i)], static_cast<unsigned char>(ascii[i]));
        EXPECT_EQ(s.toMbs(), ascii);
        EXPECT_EQ(mbs(s, static_cast<int>(len / 2 + 1)), ascii.substr(0, len / 2));
        for (size_t at = 0; at < len; ++at) {
            std::string mixed = ascii.substr(0, at) + "\xC3\xA9" + ascii.substr(at);
            VqString m(mixed.c_str());
            ASSERT_EQ(m.numChars(), static_cast<int>(len + 1));
            ASSERT_EQ(m[static_cast<int>(at)], 0x00E9);
            ASSERT_FALSE(m.isAscii());
            ASSERT_EQ(m.toMbs(), mixed);
            ASSERT_EQ(m.toUtf8(), mixed);
        }
    }
}
