#include "VqErrorState.h"
#include "VqLibFixture.h"
#include "VqGUIDTable.h"
#include "VqStdError.h"

#include <set>
#include <string>

namespace {
struct NamedGUID {
    const char* name;
    VqGUID guid;
};

#define VQ_ROW(n, d1, d2, d3, b0, b1, b2, b3, b4, b5, b6, b7)                                                 \
    {#n, VqGUID(d1, d2, d3, b0, b1, b2, b3, b4, b5, b6, b7)},
const NamedGUID kPersistent[] = {VQ_PERSISTENT_GUIDS(VQ_ROW)};
const NamedGUID kRuntime[] = {VQ_RUNTIME_GUIDS(VQ_ROW)};
#undef VQ_ROW

std::string text(const VqGUID& g) {
    VqString s;
    EXPECT_TRUE(g.toString(s));
    return s.toUtf8();
}
} // namespace

class VqGUIDTest : public VqLibTest {};

TEST_F(VqGUIDTest, TableHasNoDuplicatesAndKeepsFileGUIDsApart) {
    std::set<VqGUID> seen;
    for (const NamedGUID& g : kPersistent) EXPECT_TRUE(seen.insert(g.guid).second) << g.name;
    for (const NamedGUID& g : kRuntime) {
        EXPECT_TRUE(seen.insert(g.guid).second) << g.name;
        // Never-persisted classes must not share the persistent family.
        EXPECT_NE(g.guid.Data1 & 0xFFFF0000u, 0x10DD0000u) << g.name;
    }
    EXPECT_EQ(std::size(kPersistent), 107u);
    EXPECT_FALSE(seen.count(VqGUID(VQ_GUID_END_OF_ELEMENTS)));
}

TEST_F(VqGUIDTest, FileGUIDsReadAsWritten) {
    EXPECT_EQ(text(CLSID_ZQNode), "{10DD1035-2AC8-11D1-9B6B-0080C7BB5997}");
    EXPECT_EQ(text(CLSID_ZQPropBase), "{10DD1105-2AC8-11D1-9B6B-0080C7BB5997}");
    EXPECT_EQ(text(CLSID_ZQLateLoadedPropAtom), "{E0B05BE5-FBBD-11D1-A3A7-00AA00D10954}");
    EXPECT_EQ(text(CLSID_KELAPI_PartNode), "{CE357244-38FB-11D1-A506-006097BDC6E1}");
    EXPECT_EQ(text(CLSID_VQWrep), "{5553DAF6-C123-4C74-90A8-66104258C034}");
    EXPECT_EQ(text(CLSID_ZQNotifyBase), "{0B710A54-8C08-4BBE-987B-FB955BF8665D}");
    EXPECT_EQ(text(VQ_GUID_END_OF_ELEMENTS), "{FFFFFFFF-FFFF-FFFF-FFFF-FFFFFFFFFFFF}");
}

TEST_F(VqGUIDTest, TextFormsRoundTripAndNeedAll38Characters) {
    VqGUID g;
    ASSERT_TRUE(g.fromString(VqString("{E0B05BE5-FBBD-11D1-A3A7-00AA00D10954}")));
    EXPECT_EQ(g, VqGUID(CLSID_ZQLateLoadedPropAtom));
    // Lower-case hexadecimal is read too; the text is always written upper case.
    ASSERT_TRUE(g.fromString(VqString("{e0b05be5-fbbd-11d1-a3a7-00aa00d10954}")));
    EXPECT_EQ(text(g), "{E0B05BE5-FBBD-11D1-A3A7-00AA00D10954}");

    EXPECT_FALSE(g.fromString(VqString("E0B05BE5-FBBD-11D1-A3A7-00AA00D10954")));
    Vq::SharedPtr<VqStdError> e = VqErrorState::currentError();
    ASSERT_TRUE(e);
    EXPECT_EQ(e->description().toUtf8(), "strGUID.numChars() == 38");
    EXPECT_EQ(e->code(), VQ_ERR_ARGUMENT);

    EXPECT_FALSE(g.fromString(VqString("{E0B05BE5-FBBD-11D1-A3A7-00AA00D1095Z}")));
    EXPECT_EQ(VqErrorState::currentError()->description().toUtf8(), "Improperly formatted string");
}

TEST_F(VqGUIDTest, CustomFormatsAreChecked) {
    VqString out;
    EXPECT_FALSE(VqGUID::guidToString(VqGUID(CLSID_ZQNode), out, nullptr));
    EXPECT_EQ(VqErrorState::currentError()->description().toUtf8(), "formatString != __null");
    EXPECT_FALSE(VqGUID::guidToString(VqGUID(CLSID_ZQNode), out, ""));
    EXPECT_EQ(VqErrorState::currentError()->description().toUtf8(), "strlen(formatString) > 0");

    const char* fmt = "%08x_%04hx_%04hx_%02hhx%02hhx_%02hhx%02hhx%02hhx%02hhx%02hhx%02hhx";
    ASSERT_TRUE(VqGUID::guidToString(VqGUID(CLSID_ZQNode), out, "%08x_%04x_%04x_%02x%02x_%02x%02x%02x%02x%02x%02x"));
    EXPECT_EQ(out.toUtf8(), "10dd1035_2ac8_11d1_9b6b_0080c7bb5997");
    VqGUID back;
    ASSERT_TRUE(VqGUID::stringToGUID(out, back, fmt));
    EXPECT_EQ(back, VqGUID(CLSID_ZQNode));
    EXPECT_FALSE(VqGUID::stringToGUID(VqString("10dd1035_2ac8"), back, fmt));
}

TEST_F(VqGUIDTest, CreatedGUIDsAreTimeBasedAndNeverRepeat) {
    VqGUID a, b;
    ASSERT_TRUE(VqGUID::createGUID(a));
    ASSERT_TRUE(VqGUID::createGUID(b));
    EXPECT_NE(a, b);
    // Version 1, variant bits, clock sequence 0, and one node for the process.
    EXPECT_EQ(a.Data3 & 0xF000, 0x1000);
    EXPECT_EQ(a.Data4[0], 0x80);
    EXPECT_EQ(a.Data4[1], 0x00);
    EXPECT_TRUE(a.Data4[2] & 0x80);
    EXPECT_EQ(0, std::memcmp(a.Data4, b.Data4, 8));
    // Two made within one tick differ by exactly the next timestamp.
    auto stamp = [](const VqGUID& g) {
        return (uint64_t(g.Data3 & 0x0FFF) << 48) | (uint64_t(g.Data2) << 32) | g.Data1;
    };
    std::set<VqGUID> many;
    uint64_t last = stamp(b);
    for (int i = 0; i < 10000; ++i) {
        VqGUID g;
        ASSERT_TRUE(VqGUID::createGUID(g));
        ASSERT_GT(stamp(g), last);
        last = stamp(g);
        many.insert(g);
    }
    EXPECT_EQ(many.size(), 10000u);
}
