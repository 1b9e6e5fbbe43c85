#include "VqFSStorageLocation.h"
#include "VqLibFixture.h"
#include "VqRwStorageLocation.h"
#include "VqStdError.h"

namespace {
class StorageLocationTest : public VqLibTest {};

std::string errorText() {
    auto e = VqErrorState::currentError();
    return e ? e->description().toUtf8() : std::string();
}
} // namespace

TEST_F(StorageLocationTest, FileSystemLocationPaths) {
    VqFSStorageLocation rel(VqString("sub/part.vq"));
    EXPECT_TRUE(rel.isRelative());
    EXPECT_EQ(rel.fullBasePath().toUtf8(), "sub/");
    EXPECT_EQ(rel.fullPath().toUtf8(), "sub/part.vq");

    VqFSStorageLocation abs(VqString("/data/asm/"), VqString("sub\\deep/part.vq"));
    EXPECT_FALSE(abs.isRelative());
    EXPECT_EQ(abs.fullBasePath().toUtf8(), "/data/asm/sub\\deep/");
    EXPECT_EQ(abs.fullPath().toUtf8(), "/data/asm/sub\\deep/part.vq");
    // The cached full base path follows changes of the name.
    abs.setName(VqString("top.vq"));
    EXPECT_EQ(abs.fullBasePath().toUtf8(), "/data/asm/");

    Vq::SharedPtr<VqStorageLocation> copy;
    ASSERT_TRUE(abs.clone(copy));
    EXPECT_TRUE(copy->isEqual(abs));
    EXPECT_EQ(copy->hash(), abs.hash());
    EXPECT_FALSE(rel.isEqual(abs));
    VqString name;
    ASSERT_TRUE(copy->getName(name));
    EXPECT_EQ(name.toUtf8(), "top.vq");
}

TEST_F(StorageLocationTest, ProductDataLocationSpecLayout) {
    const VqString spec("/ABCDEFGHIJKLMN,OPQRSTUVWXYZ01/assembly.vq");
    ASSERT_TRUE(VqRwStorageLocation::isSpec(spec));
    Vq::SharedPtr<VqStorageLocation> loc;
    ASSERT_TRUE(VqRwStorageLocation::fromSpec(spec, loc));
    auto* rw = Vq::typeCast<VqRwStorageLocation>(loc.get());
    ASSERT_NE(rw, nullptr);
    EXPECT_EQ(rw->id1().toUtf8(), "ABCDEFGHIJKLMN");
    EXPECT_EQ(rw->id2().toUtf8(), "OPQRSTUVWXYZ01");
    EXPECT_EQ(rw->name().toUtf8(), "assembly.vq");
    EXPECT_FALSE(rw->isRelative());
    VqString back;
    ASSERT_TRUE(rw->toSpec(back));
    EXPECT_EQ(back, spec);

    // Anything off the fixed layout is a file-system path.
    EXPECT_FALSE(VqRwStorageLocation::isSpec(VqString("/ABCDEFGHIJKLMN,OPQRSTUVWXYZ01/"))); // 31 characters
    EXPECT_FALSE(VqRwStorageLocation::isSpec(VqString("/ABCDEFGHIJKLMN;OPQRSTUVWXYZ01/a.vq"))); // no comma
    EXPECT_FALSE(VqRwStorageLocation::isSpec(
        VqString("/ABCDEFGHIJKLMN,OPQRSTUVWXYZ01/d/a.vq"))); // last separator moved

    // Identifiers of the wrong width cannot be written in the layout.
    VqRwStorageLocation shortId(VqString("ABC"), VqString("OPQRSTUVWXYZ01"), VqString("a.vq"));
    VqString out;
    EXPECT_FALSE(shortId.toSpec(out));
    EXPECT_EQ(errorText(), "str.numChars() == 15");
    VqRwStorageLocation shortId2(VqString("ABCDEFGHIJKLMN"), VqString("OPQ"), VqString("a.vq"));
    EXPECT_FALSE(shortId2.toSpec(out));
    EXPECT_EQ(errorText(), "str.numChars() == 30");
}
