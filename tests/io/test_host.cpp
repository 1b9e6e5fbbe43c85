// The calls a host program makes: open and save by path, save options that
// hold for one call, node names, errors that name the file, and late-loaded
// data reached through a stream manager.

#include "ContainerTestUtil.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <unistd.h>

using namespace vqtest;

namespace {

// What a file's header and table of contents say: the version text and the
// compression word of every segment that has contents.
struct FileFacts {
    std::string version;
    std::vector<uint32_t> compression;
};
FileFacts factsOf(const TempDir& dir, const std::string& name) {
    FileFacts facts;
    const Bytes f = readFile(dir.file(name));
    if (f.size() < 80) return facts;
    // "Version X.Y", the start of the text.
    const std::string text(f.begin(), f.begin() + 80);
    facts.version = text.substr(0, text.find(' ', 8));
    auto mgr = openForReading(dir.path(), name);
    if (!mgr) return facts;
    for (const VqTOCElem& e : mgr->toc().entriesByOffset())
        if (e.length > 24 && e.guid != VqStreamMgr::PropSegGuid && e.offset + 28 <= f.size())
            facts.compression.push_back(load<uint32_t>(f, e.offset + 24));
    return facts;
}

class HostTest : public VqLibTest {
protected:
    void TearDown() override {
        VqPartition::setVersion(9, 5);
        VqLibTest::TearDown();
    }
    TempDir _dir;
};

TEST_F(HostTest, OpenFileTakesRelativeAndAbsolutePaths) {
    Vq::SharedPtr<VqPartition> model = namedModel(1);
    ASSERT_TRUE(model->saveAs(VqString::fromUtf8(_dir.file("model.vq")))) << Vq::lastErrorMessage();

    Vq::SharedPtr<VqPartition> byAbsolute;
    ASSERT_TRUE(VqPartition::openFile(VqString::fromUtf8(_dir.file("model.vq")), byAbsolute))
        << Vq::lastErrorMessage();
    EXPECT_EQ(byAbsolute->name(), VqString("assembly"));

    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(_dir.path().c_str()), 0);
    Vq::SharedPtr<VqPartition> byName, byDotted;
    const bool openedByName = VqPartition::openFile("model.vq", byName);
    const std::string dotted = "./../" + _dir.path().substr(5) + "/./model.vq";
    const bool openedByDotted = VqPartition::openFile(dotted.c_str(), byDotted);
    ASSERT_EQ(chdir(cwd), 0);
    ASSERT_TRUE(openedByName) << Vq::lastErrorMessage();
    ASSERT_TRUE(openedByDotted) << Vq::lastErrorMessage();
    // The location is absolute: it names the same file whatever the current
    // directory becomes, and files it refers to are looked for beside it.
    const auto* loc = Vq::typeCast<VqFSStorageLocation>(byName->location());
    ASSERT_NE(loc, nullptr);
    EXPECT_FALSE(loc->isRelative());
    EXPECT_EQ(loc->fullPath().toUtf8(), _dir.file("model.vq"));
    EXPECT_EQ(Vq::typeCast<VqFSStorageLocation>(byDotted->location())->fullPath().toUtf8(),
              _dir.path() + "/../" + _dir.path().substr(5) + "/model.vq");
    EXPECT_EQ(byName->child(0)->name(), VqString("bracket 0"));
}

// The descriptions stay as the operations wrote them; the location names the file.
TEST_F(HostTest, OpenAndSaveErrorsNameTheFile) {
    Vq::SharedPtr<VqPartition> out;
    EXPECT_FALSE(VqPartition::openFile(VqString::fromUtf8(_dir.file("missing.vq")), out));
    EXPECT_EQ(lastError(), "Unable to open file");
    EXPECT_EQ(Vq::lastErrorMessage(), "Unable to open file (code 11, VqStorageManager::openLocationAsVq, " +
                                          _dir.file("missing.vq") + ")");

    Vq::SharedPtr<VqFSStorageLocation> relative = new VqFSStorageLocation(VqString("nowhere.vq"));
    EXPECT_FALSE(VqPartition::openPartition(relative.get(), nullptr, out));
    EXPECT_EQ(lastError(), "_resolveBasePath() failed");
    EXPECT_EQ(VqErrorState::currentError()->location(), VqString("nowhere.vq"));

    writeFile(_dir.file("junk.vq"), Bytes(300, 0x41));
    EXPECT_FALSE(VqPartition::openFile(VqString::fromUtf8(_dir.file("junk.vq")), out));
    EXPECT_EQ(VqErrorState::currentError()->location().toUtf8(), _dir.file("junk.vq"));

    EXPECT_FALSE(VqPartition::openFile("", out));
    EXPECT_EQ(lastError(), "Empty path detected.");
    EXPECT_FALSE(VqPartition::openFile(VqString::fromUtf8(_dir.path() + "/"), out));
    EXPECT_EQ(lastError(), "The path names a directory, not a file");
    EXPECT_FALSE(out);

    // A save names its target, not the temporary file it writes first.
    Vq::SharedPtr<VqPartition> model = namedModel(1);
    const std::string target = _dir.file("no/such/dir/model.vq");
    EXPECT_FALSE(model->saveAs(VqString::fromUtf8(target)));
    EXPECT_EQ(VqErrorState::currentError()->location().toUtf8(), target);
    EXPECT_FALSE(model->saveAs(VqString::fromUtf8(_dir.file("none/")), VqString("model.vq")));
    EXPECT_EQ(VqErrorState::currentError()->location().toUtf8(), _dir.file("none/model.vq"));
}

TEST_F(HostTest, SaveOptionsHoldForOneCall) {
    Vq::SharedPtr<VqPartition> model = namedModel(1);
    struct Case {
        VqSaveOptions options;
        const char* version;
        uint32_t compression;
    };
    using C = VqSaveOptions::Compression;
    for (const Case& c :
         {Case{{10, 1, C::Default}, "Version 10.1", 3}, Case{{10, 0, C::Zlib}, "Version 10.0", 2},
          Case{{10, 0, C::Lzma}, "Version 10.0", 3}, Case{{9, 5, C::Default}, "Version 9.5", 2},
          Case{{8, 1, C::Zlib}, "Version 8.1", 2}}) {
        SCOPED_TRACE(c.version);
        ASSERT_TRUE(model->saveAs(VqString::fromUtf8(_dir.file("opt.vq")), c.options))
            << Vq::lastErrorMessage();
        const FileFacts facts = factsOf(_dir, "opt.vq");
        EXPECT_EQ(facts.version, c.version);
        ASSERT_EQ(facts.compression.size(), 2u); // the graph and the late-loaded number
        for (uint32_t word : facts.compression)
            EXPECT_EQ(word, c.compression);
        // The process-wide setting is untouched.
        int major = 0, minor = 0;
        ASSERT_TRUE(VqPartition::getVersion(major, minor));
        EXPECT_EQ(major * 10 + minor, 95);
        EXPECT_EQ(VqPartition::compressionAlgorithm(), 3);
        // The saved partition reads its late-loaded data from the new file.
        VqLateLoadedPropAtom* ll = lateLoaded(model->child(0));
        ll->unloadData();
        ASSERT_TRUE(ll->ensureData(*model)) << Vq::lastErrorMessage();
        EXPECT_EQ(loadedNumber(ll), 4711);
    }

    // Without a version the process-wide one is used, with its compression.
    ASSERT_TRUE(VqPartition::setVersion(10, 0));
    ASSERT_TRUE(VqPartition::setCompressionAlgortihm(2));
    ASSERT_TRUE(model->saveAs(VqString::fromUtf8(_dir.file("default.vq")))) << Vq::lastErrorMessage();
    EXPECT_EQ(factsOf(_dir, "default.vq").version, "Version 10.0");
    EXPECT_EQ(factsOf(_dir, "default.vq").compression, (std::vector<uint32_t>{2, 2}));

    // Refused options write nothing.
    const std::string refused = _dir.file("refused.vq");
    EXPECT_FALSE(model->saveAs(VqString::fromUtf8(refused), {.versionMajor = 10, .versionMinor = 2}));
    EXPECT_EQ(lastError(), "VQ version too high");
    EXPECT_EQ(VqErrorState::currentError()->location().toUtf8(), refused);
    EXPECT_FALSE(model->saveAs(VqString::fromUtf8(refused), {.versionMajor = 0, .versionMinor = 5}));
    EXPECT_FALSE(model->saveAs(VqString::fromUtf8(refused), {9, 5, C::Lzma}));
    EXPECT_EQ(lastError(), "LZMA compression needs format 10 or above");
    EXPECT_FALSE(model->saveAs(VqString::fromUtf8(refused), {10, 0, static_cast<C>(7)}));
    EXPECT_EQ(lastCode(), VQ_ERR_ARGUMENT);
    EXPECT_NE(access(refused.c_str(), F_OK), 0);
}

// Each save writes its own version, whatever other threads save meanwhile;
// the segments a save hands to the flush threads are written in it too.
TEST_F(HostTest, ConcurrentSavesKeepTheirVersions) {
    struct Saver {
        VqSaveOptions options;
        const char* file;
        const char* version;
        uint32_t compression;
    };
    const Saver savers[] = {{{10, 1, VqSaveOptions::Compression::Default}, "a.vq", "Version 10.1", 3},
                            {{8, 1, VqSaveOptions::Compression::Default}, "b.vq", "Version 8.1", 2},
                            {{}, "c.vq", "Version 9.5", 2}}; // the process-wide setting
    std::vector<std::string> failures[3];
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t)
        threads.emplace_back([&, t] {
            Vq::SharedPtr<VqPartition> model = namedModel(40);
            for (int round = 0; round < 6; ++round) {
                if (!model->saveAs(VqString::fromUtf8(_dir.file(savers[t].file)), savers[t].options)) {
                    failures[t].push_back("save failed: " + Vq::lastErrorMessage());
                    return;
                }
                const FileFacts facts = factsOf(_dir, savers[t].file);
                if (facts.version != savers[t].version) failures[t].push_back(facts.version);
                for (uint32_t word : facts.compression)
                    if (word != savers[t].compression)
                        failures[t].push_back("compression " + std::to_string(word));
                // The segments' contents are in the file's version too, on
                // whichever thread they were written.
                Vq::SharedPtr<VqPartition> back;
                if (!VqPartition::openFile(VqString::fromUtf8(_dir.file(savers[t].file)), back)) {
                    failures[t].push_back("open: " + Vq::lastErrorMessage());
                    return;
                }
                for (int i = 0; i < 40; ++i)
                    if (VqLateLoadedPropAtom* ll = lateLoaded(back->child(i));
                        !ll || !ll->ensureData(*back) || loadedNumber(ll) != 4711 + i)
                        failures[t].push_back("read back: " + Vq::lastErrorMessage());
            }
        });
    for (auto& th : threads)
        th.join();
    for (int t = 0; t < 3; ++t)
        EXPECT_TRUE(failures[t].empty()) << savers[t].file << ": " << failures[t].front();
    EXPECT_EQ(factsOf(_dir, "c.vq").compression.size(), 41u);
}

TEST_F(HostTest, NodeNames) {
    Vq::SharedPtr<VqNode> n = new VqNode();
    EXPECT_EQ(n->name(), VqString());
    ASSERT_TRUE(n->setName(VqString::fromUtf8("Straßenbahn")));
    EXPECT_EQ(n->name().toUtf8(), "Straßenbahn");
    // The name is the "name" property: other code finds it there.
    Vq::SharedPtr<VqStringPropAtom> key = new VqStringPropAtom("name");
    VqPropAtom* raw = nullptr;
    ASSERT_TRUE(n->propValue(key.get(), raw));
    ASSERT_NE(Vq::typeCast<VqStringPropAtom>(raw), nullptr);
    // A name that is not text is no name.
    ASSERT_TRUE(n->addProp(key.get(), new VqInt32PropAtom(3)));
    EXPECT_EQ(n->name(), VqString());
    ASSERT_TRUE(n->setName("bolt"));
    EXPECT_EQ(n->name(), VqString("bolt"));
    ASSERT_TRUE(n->setName(VqString()));
    EXPECT_EQ(n->numProps(false), 0);
    EXPECT_EQ(n->name(), VqString());
}

TEST_F(HostTest, PropValueKeepsItsValueAlive) {
    Vq::SharedPtr<VqNode> n = new VqNode();
    Vq::SharedPtr<VqStringPropAtom> key = new VqStringPropAtom("mass");
    ASSERT_TRUE(n->addProp(key.get(), new VqInt32PropAtom(1)));
    EXPECT_FALSE(n->propValue(nullptr));
    EXPECT_FALSE(n->propValue(dataKey().get()));
    Vq::SharedPtr<VqPropAtom> held = n->propValue(key.get());
    ASSERT_TRUE(n->addProp(key.get(), new VqInt32PropAtom(2)));
    EXPECT_EQ(held->refCount(), 1u);
    EXPECT_EQ(static_cast<VqInt32PropAtom*>(held.get())->value(), 1);
    // Values hidden from the user forms are found too: the caller names the key.
    Vq::SharedPtr<VqLateLoadedPropAtom> ll = new VqLateLoadedPropAtom(VqGUID(), VQSEG_METADATA);
    ASSERT_TRUE(n->addProp(dataKey().get(), ll.get(), false));
    EXPECT_EQ(n->propValue(dataKey().get()).get(), ll.get());

    // A reader keeps each value it got while a writer replaces it.
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (int i = 0; i < 5000; ++i)
            n->addProp(key.get(), Vq::SharedPtr<VqInt32PropAtom>(new VqInt32PropAtom(i)).get());
        done = true;
    });
    int bad = 0;
    while (!done) {
        Vq::SharedPtr<VqPropAtom> v = n->propValue(key.get());
        const auto* number = Vq::typeCast<VqInt32PropAtom>(v.get());
        if (!number || number->value() < 0 || number->value() >= 5000) ++bad;
    }
    writer.join();
    EXPECT_EQ(bad, 0);
}

// Late-loaded data loads through the stream manager of the partition's file
// as it does through the partition, and both share one loaded object.
class HostLateLoadTest : public HostTest, public ::testing::WithParamInterface<std::pair<int, int>> {};

TEST_P(HostLateLoadTest, LoadsThroughTheStreamManager) {
    const auto [major, minor] = GetParam();
    Vq::SharedPtr<VqPartition> model = namedModel(2);
    ASSERT_TRUE(model->saveAs(VqString::fromUtf8(_dir.file("ll.vq")), {major, minor}))
        << Vq::lastErrorMessage();

    Vq::SharedPtr<VqPartition> read;
    ASSERT_TRUE(VqPartition::openFile(VqString::fromUtf8(_dir.file("ll.vq")), read))
        << Vq::lastErrorMessage();
    ASSERT_NE(read->streamMgr(), nullptr);
    VqLateLoadedPropAtom* ll = lateLoaded(read->child(0));
    ASSERT_NE(ll, nullptr);
    EXPECT_FALSE(ll->isLoaded());
    ASSERT_TRUE(ll->ensureData(*read->streamMgr())) << Vq::lastErrorMessage();
    EXPECT_EQ(loadedNumber(ll), 4711);
    Vq::SharedPtr<VqLateLoadedPropAtom> twin = new VqLateLoadedPropAtom(ll->guid(), ll->segType());
    ASSERT_TRUE(twin->ensureData(*read)) << Vq::lastErrorMessage();
    EXPECT_EQ(twin->object().get(), ll->object().get());

    VqNode* second = read->child(1);
    ASSERT_TRUE(second->ensureLLData(*read->streamMgr())) << Vq::lastErrorMessage();
    EXPECT_TRUE(lateLoaded(second)->isLoaded());
    EXPECT_EQ(loadedNumber(lateLoaded(second)), 4712);
}

INSTANTIATE_TEST_SUITE_P(Versions, HostLateLoadTest,
                         ::testing::Values(std::make_pair(9, 5), std::make_pair(10, 0)),
                         [](const auto& info) {
                             return "V" + std::to_string(info.param.first) + "_" +
                                    std::to_string(info.param.second);
                         });

} // namespace
