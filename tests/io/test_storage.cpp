#include "VqFSStorageLocation.h"
#include "VqFileByteStream.h"
#include "VqLibFixture.h"
#include "VqRwStorageLocation.h"
#include "VqStdError.h"
#include "VqStorageManager.h"
#include "VqTOCStreamMgr.h"

#include <cstdlib>
#include <unistd.h>

namespace {
class StorageLocationTest : public VqLibTest {};

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

TEST_F(StorageLocationTest, ProductDataLocationTextLayout) {
    const VqString text("/ABCDEFGHIJKLMN,OPQRSTUVWXYZ01/assembly.vq");
    ASSERT_TRUE(VqRwStorageLocation::isLocationText(text));
    Vq::SharedPtr<VqStorageLocation> loc;
    ASSERT_TRUE(VqRwStorageLocation::fromLocationText(text, loc));
    auto* rw = Vq::typeCast<VqRwStorageLocation>(loc.get());
    ASSERT_NE(rw, nullptr);
    EXPECT_EQ(rw->id1().toUtf8(), "ABCDEFGHIJKLMN");
    EXPECT_EQ(rw->id2().toUtf8(), "OPQRSTUVWXYZ01");
    EXPECT_EQ(rw->name().toUtf8(), "assembly.vq");
    EXPECT_FALSE(rw->isRelative());
    VqString back;
    ASSERT_TRUE(rw->toLocationText(back));
    EXPECT_EQ(back, text);

    // Anything off the fixed layout is a file-system path.
    EXPECT_FALSE(
        VqRwStorageLocation::isLocationText(VqString("/ABCDEFGHIJKLMN,OPQRSTUVWXYZ01/"))); // 31 characters
    EXPECT_FALSE(
        VqRwStorageLocation::isLocationText(VqString("/ABCDEFGHIJKLMN;OPQRSTUVWXYZ01/a.vq"))); // no comma
    EXPECT_FALSE(VqRwStorageLocation::isLocationText(
        VqString("/ABCDEFGHIJKLMN,OPQRSTUVWXYZ01/d/a.vq"))); // last separator moved

    // Identifiers of the wrong width cannot be written in the layout.
    VqRwStorageLocation shortId(VqString("ABC"), VqString("OPQRSTUVWXYZ01"), VqString("a.vq"));
    VqString out;
    EXPECT_FALSE(shortId.toLocationText(out));
    EXPECT_EQ(lastError(), "str.numChars() == 15");
    VqRwStorageLocation shortId2(VqString("ABCDEFGHIJKLMN"), VqString("OPQ"), VqString("a.vq"));
    EXPECT_FALSE(shortId2.toLocationText(out));
    EXPECT_EQ(lastError(), "str.numChars() == 30");
}

namespace {
class StorageManagerTest : public VqLibTest {
protected:
    void SetUp() override {
        VqLibTest::SetUp();
        char tmpl[] = "/tmp/vq_storage_XXXXXX";
        _root = mkdtemp(tmpl);
        _mgr = static_cast<VqFSStorageManager*>(VqStorageManagerSingleton::EnsureInstance());
    }
    void TearDown() override {
        std::system(("rm -rf '" + _root + "'").c_str());
        VqLibTest::TearDown();
    }
    void touch(const std::string& rel) {
        std::string path = _root + "/" + rel;
        std::system(("mkdir -p \"$(dirname '" + path + "')\" && : > '" + path + "'").c_str());
    }
    VqString s(const std::string& text) { return VqString::fromUtf8(text); }

    std::string _root;
    VqFSStorageManager* _mgr = nullptr;
};
} // namespace

TEST_F(StorageManagerTest, RelativeLocationsResolveAgainstParentThenSearchPaths) {
    touch("data/asm/sub/part.vq");
    touch("lib/sub/part.vq");
    EXPECT_EQ(_mgr->numSearchPaths(), 2);
    EXPECT_EQ(_mgr->searchPath(0), VqFSStorageManager::relativeToParentToken());
    EXPECT_EQ(_mgr->searchPath(1), VqString());

    Vq::SharedPtr<VqFSStorageLocation> parent = new VqFSStorageLocation(s(_root + "/data/asm/"), s("top.vq"));
    Vq::SharedPtr<VqFSStorageLocation> rel = new VqFSStorageLocation(s("sub/part.vq"));
    Vq::SharedPtr<VqStorageLocation> out;
    ASSERT_TRUE(_mgr->resolveLocation(rel.get(), parent.get(), out)) << lastError();
    auto* fs = Vq::typeCast<VqFSStorageLocation>(out.get());
    ASSERT_NE(fs, nullptr);
    EXPECT_EQ(fs->basePath().toUtf8(), _root + "/data/asm/");
    EXPECT_EQ(fs->name().toUtf8(), "sub/part.vq");

    // Without the token only the remaining search paths count.
    ASSERT_TRUE(_mgr->removeSearchPath(VqFSStorageManager::relativeToParentToken()));
    ASSERT_TRUE(_mgr->appendSearchPath(s(_root + "/lib/")));
    ASSERT_TRUE(_mgr->resolveLocation(rel.get(), parent.get(), out));
    EXPECT_EQ(Vq::typeCast<VqFSStorageLocation>(out.get())->basePath().toUtf8(), _root + "/lib/");

    // The batch form resolves each in turn.
    Vq::SharedPtrVec<VqStorageLocation> rels{rel, nullptr}, outs;
    ASSERT_TRUE(_mgr->resolveLocationBatch(rels, parent.get(), outs));
    ASSERT_EQ(outs.size(), 2u);
    EXPECT_TRUE(outs[0] && !outs[1]);

    // Nothing readable anywhere.
    ASSERT_TRUE(_mgr->replaceSearchPath(_mgr->findSearchPath(s(_root + "/lib/")), s(_root + "/none/")));
    EXPECT_FALSE(_mgr->resolveLocation(rel.get(), parent.get(), out));
    EXPECT_EQ(lastError(), "_resolveBasePath() failed");
    EXPECT_EQ(lastCode(), VQ_ERR_SETTING);
    EXPECT_FALSE(out);

    // Only named file-system locations can be resolved.
    Vq::SharedPtr<VqFSStorageLocation> unnamed = new VqFSStorageLocation();
    EXPECT_FALSE(_mgr->resolveLocation(unnamed.get(), parent.get(), out));
    EXPECT_EQ(lastError(), "pfsRelLoc && pfsRelLoc->name().numChars()>0");
    Vq::SharedPtr<VqRwStorageLocation> rw =
        new VqRwStorageLocation(s("ABCDEFGHIJKLMN"), s("OPQRSTUVWXYZ01"), s("a"));
    EXPECT_FALSE(_mgr->resolveLocation(rw.get(), parent.get(), out));

    _mgr->removeAllSearchPaths();
    EXPECT_EQ(_mgr->numSearchPaths(), 0);
    EXPECT_FALSE(_mgr->removeSearchPath(0));
    ASSERT_TRUE(_mgr->insertSearchPath(0, VqFSStorageManager::relativeToParentToken()));
    ASSERT_TRUE(_mgr->insertSearchPath(1, VqString()));
}

TEST_F(StorageManagerTest, OpeningLocationsAndItsErrors) {
    touch("there.vq");
    Vq::SharedPtr<VqStreamMgr> mgr;
    EXPECT_FALSE(_mgr->openLocationAsVq(nullptr, true, mgr));
    EXPECT_EQ(lastError(), "pLocation");
    EXPECT_EQ(lastCode(), VQ_ERR_ARGUMENT);

    Vq::SharedPtr<VqFSStorageLocation> empty = new VqFSStorageLocation();
    EXPECT_FALSE(_mgr->openLocationAsVq(empty.get(), true, mgr));
    EXPECT_EQ(lastError(), "Empty path detected.");
    EXPECT_EQ(lastCode(), VQ_ERR_CORRUPT);

    // A missing file is refused before any stream exists.
    Vq::SharedPtr<VqFSStorageLocation> missing = new VqFSStorageLocation(s(_root + "/"), s("missing.vq"));
    EXPECT_FALSE(_mgr->openLocationAsVq(missing.get(), true, mgr));
    EXPECT_EQ(lastError(), "Unable to open file");
    EXPECT_EQ(lastCode(), VQ_ERR_OPEN);
    EXPECT_FALSE(mgr);
    // For writing it need not exist yet.
    ASSERT_TRUE(_mgr->openLocationAsVq(missing.get(), false, mgr));
    EXPECT_TRUE(mgr->isOfType(VqTOCStreamMgr::classTypeID()));
    EXPECT_FALSE(mgr->isReadOnly());

    Vq::SharedPtr<VqFSStorageLocation> there = new VqFSStorageLocation(s(_root + "/"), s("there.vq"));
    Vq::SharedPtr<VqByteStream> raw;
    ASSERT_TRUE(_mgr->openLocationAsRaw(there.get(), true, raw));
    EXPECT_TRUE(raw->isOfType(VqFileByteStream::classTypeID()));

    // Product-data-management documents fail cleanly: the client is not present.
    Vq::SharedPtr<VqRwStorageLocation> rw =
        new VqRwStorageLocation(s("ABCDEFGHIJKLMN"), s("OPQRSTUVWXYZ01"), s("a"));
    EXPECT_FALSE(_mgr->openLocationAsVq(rw.get(), true, mgr));
    EXPECT_EQ(lastError(), "Product data management client not available");
    EXPECT_EQ(lastCode(), VQ_ERR_UNREACHABLE);
    EXPECT_FALSE(_mgr->openLocationAsRaw(rw.get(), true, raw));
    EXPECT_EQ(lastError(), "Product data management client not available");
}

TEST_F(StorageManagerTest, LocationTextForms) {
    Vq::SharedPtr<VqStorageLocation> loc;
    ASSERT_TRUE(_mgr->createLocationSpec(s("\\ABCDEFGHIJKLMN,OPQRSTUVWXYZ01\\model.vq"), loc));
    ASSERT_TRUE(loc->isOfType(VqRwStorageLocation::classTypeID()));
    VqString text;
    ASSERT_TRUE(_mgr->createSpecFromLocation(loc.get(), text));
    EXPECT_EQ(text.toUtf8(), "/ABCDEFGHIJKLMN,OPQRSTUVWXYZ01/model.vq");

    ASSERT_TRUE(_mgr->createLocationSpec(s("models/a.vq"), loc));
    ASSERT_TRUE(loc->isOfType(VqFSStorageLocation::classTypeID()));
    EXPECT_TRUE(loc->isRelative());
    ASSERT_TRUE(_mgr->createSpecFromLocation(loc.get(), text));
    EXPECT_EQ(text.toUtf8(), "models/a.vq");
    EXPECT_FALSE(_mgr->createSpecFromLocation(nullptr, text));
    EXPECT_EQ(lastError(), "pLocation");
}
