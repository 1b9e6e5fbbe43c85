#include "VqErrorState.h"
#include "VqFactory.h"
#include "VqLibFixture.h"
#include "VqNotifyBase.h"
#include "VqObjectStream.h"
#include "VqPlatform.h"
#include "VqStdError.h"
#include "VqStdException.h"

#include <sstream>
#include <string>
#include <vector>

// Outside the anonymous namespace: the type statics of a class are part of
// its interface even where a test does not register it.
namespace probe {
std::vector<std::string>* g_events = nullptr;
constexpr _VqIID kProbeGUID = {0x7A51FF01, 0x51C3, 0x4E0B, {0x9D, 0x27, 0x6B, 0x1F, 0x3C, 0x88, 0x0E, 0x45}};

// Records the release hook and its own deletion.
class Probe : public VqBase {
    VQ_DECLARE_TYPE(Probe)
public:
    Probe() = default;
    ~Probe() override {
        if (g_events) g_events->push_back("delete");
    }
    void _unref() const override {
        if (g_events) g_events->push_back("unref@" + std::to_string(refCount()));
    }

    // Names the hook the dispatch chose.
    mutable std::string hook;
#define VQ_PROBE_HOOK(v)                                                                                     \
    bool _serializeVQ##v##virtual(VqObjectStream&) const override {                                          \
        hook = #v;                                                                                           \
        return true;                                                                                         \
    }
    VQ_PROBE_HOOK(64)
    VQ_PROBE_HOOK(70)
    VQ_PROBE_HOOK(80)
    VQ_PROBE_HOOK(81)
    VQ_PROBE_HOOK(82)
    VQ_PROBE_HOOK(83)
    VQ_PROBE_HOOK(93)
    VQ_PROBE_HOOK(97)
    VQ_PROBE_HOOK(100)
    VQ_PROBE_HOOK(101)
#undef VQ_PROBE_HOOK
    bool _serializeVQvirtual(VqObjectStream&) const override {
        hook = "base";
        return true;
    }
    // Reading overrides only 90 and 100, as a class whose layout changed twice.
    bool _deserializeVQ90virtual(VqObjectStream&) override {
        hook = "r90";
        return true;
    }
    bool _deserializeVQ100virtual(VqObjectStream&) override {
        hook = "r100";
        return !failRead;
    }
    bool failRead = false;
    bool postV80 = false;
    bool isPostV80Content() const override {
        return postV80 || VqBase::isPostV80Content();
    }
};
VQ_IMPLEMENT_TYPE(Probe, VqBase, kProbeGUID)
} // namespace probe
using probe::Probe;

namespace {

// The hooks never touch the stream; the dispatch only passes it along.
VqObjectStream& noStream() {
    alignas(VqObjectStream) static unsigned char storage[sizeof(VqObjectStream)];
    return *reinterpret_cast<VqObjectStream*>(storage);
}

} // namespace

class VqBaseTest : public VqLibTest {};

TEST_F(VqBaseTest, ReleaseRunsUnrefBeforeEveryDecrementAndDeletesAtZero) {
    std::vector<std::string> events;
    probe::g_events = &events;
    {
        Probe* p = new Probe();
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(p->refCount(), 0u);
        Vq::SharedPtr<Probe> a(p);
        Vq::SharedPtr<Probe> b(a);
        EXPECT_EQ(p->refCount(), 2u);
        a = p; // its own object: nothing changes
        EXPECT_EQ(p->refCount(), 2u);
        a.reset();
        EXPECT_EQ(events, (std::vector<std::string>{"unref@2"}));
        // A copy never inherits the count.
        Probe copy(*p);
        EXPECT_EQ(copy.refCount(), 0u);
    }
    EXPECT_EQ(events, (std::vector<std::string>{"unref@2", "delete", "unref@1", "delete"}));
    probe::g_events = nullptr;
}

TEST_F(VqBaseTest, SharedPtrIsOnePointerWideAndMoves) {
    static_assert(sizeof(Vq::SharedPtr<Probe>) == sizeof(void*));
    Vq::SharedPtr<Probe> a(new Probe());
    Probe* raw = a.get();
    Vq::SharedPtr<Probe> b(std::move(a));
    EXPECT_FALSE(a);
    EXPECT_EQ(b.get(), raw);
    EXPECT_EQ(raw->refCount(), 1u);
    Vq::SharedPtr<VqBase> base(b);
    EXPECT_EQ(raw->refCount(), 2u);
    EXPECT_EQ(Vq::typeCast<Probe>(base.get()), raw);
    EXPECT_EQ(Vq::typeCast<VqNotifyBase>(base.get()), nullptr);
    EXPECT_EQ(Vq::typeCast<Probe>(static_cast<VqBase*>(nullptr)), nullptr);
}

TEST_F(VqBaseTest, VersionDispatchPicksTheHookOfEachFormat) {
    Vq::SharedPtr<Probe> p(new Probe());
    const struct {
        int major, minor;
        const char* write;
        const char* read;
    } cases[] = {
        {6, 0, "base", "r90"}, {6, 4, "64", "r90"},    {7, 0, "70", "r90"},    {8, 1, "81", "r90"},
        {8, 5, "83", "r90"},   {9, 3, "93", "r90"},    {9, 4, "93", "r90"},    {9, 7, "97", "r90"},
        {9, 9, "97", "r90"},   {10, 0, "100", "r100"}, {10, 1, "101", "r100"}, {99, 0, "base", "r90"},
    };
    for (const auto& c : cases) {
        p->hook.clear();
        ASSERT_TRUE(p->serializeVersion(noStream(), c.major, c.minor));
        EXPECT_EQ(p->hook, c.write) << c.major << "." << c.minor;
        p->hook = "untouched";
        ASSERT_TRUE(p->deserializeVersion(noStream(), c.major, c.minor));
        // Before 9.0 no read hook is overridden: the base reader reads nothing.
        const bool beforeV9 = c.major < 9 || c.major == 99;
        EXPECT_EQ(p->hook, beforeV9 ? "untouched" : c.read) << c.major << "." << c.minor;
    }
}

TEST_F(VqBaseTest, FailedHookIsRepostedOneLevelUp) {
    static int calls = 0;
    calls = 0;
    VqErrorState::ErrorCallback old = VqErrorState::setErrorCallback([](bool) { ++calls; });
    Vq::SharedPtr<Probe> p(new Probe());
    p->failRead = true;
    VqErrorState::throwStdError("Probe", "read", "iLocalVers >= 1", VQ_ERR_INTERNAL);
    EXPECT_FALSE(p->deserializeVersion(noStream(), 10, 0));
    EXPECT_EQ(calls, 2);
    VqErrorState::setErrorCallback(old);
}

TEST_F(VqBaseTest, MinimumVersionIsRaisedNeverLowered) {
    Vq::SharedPtr<Probe> p(new Probe());
    int major = 6, minor = 4;
    p->_getMinimumVQVersion(major, minor);
    EXPECT_EQ(major * 100 + minor, 700);

    p->postV80 = true;
    major = 7, minor = 0;
    p->_getMinimumVQVersion(major, minor);
    EXPECT_EQ(major * 100 + minor, 801);
    major = 9, minor = 2;
    p->_getMinimumVQVersion(major, minor);
    EXPECT_EQ(major * 100 + minor, 902);
    major = 8, minor = 0;
    p->_getMinimumVQVersion(major, minor);
    EXPECT_EQ(major * 100 + minor, 801);
    EXPECT_TRUE(p->isPostV70Content());
    EXPECT_FALSE(p->isPostV81Content());
}

namespace {
// A client that removes itself, or another client, while being told.
class Client : public VqNotifyBase {
public:
    const VqNotifyBase* source = nullptr;
    const VqNotifyBase* alsoRemove = nullptr;
    bool removeSelf = false;
    bool answer = true;
    mutable int received = 0;
    bool receiveNotification(const VqBase*, Vq::BaseChange) const override {
        ++received;
        if (removeSelf) source->removeNotification(this);
        if (alsoRemove) source->removeNotification(alsoRemove);
        if (!answer) VqErrorState::throwStdError("Client", "receiveNotification", "refused", VQ_ERR_INTERNAL);
        return answer;
    }
};
} // namespace

TEST_F(VqBaseTest, NotificationSurvivesClientsThatRemoveThemselves) {
    Vq::SharedPtr<VqNotifyBase> src(new VqNotifyBase());
    Client c1, c2, c3;
    for (Client* c : {&c1, &c2, &c3}) {
        c->source = src.get();
        ASSERT_TRUE(src->addNotification(c));
    }
    ASSERT_TRUE(src->addNotification(&c2)); // no duplicates
    c1.removeSelf = true;
    ASSERT_TRUE(src->sendNotification(src.get(), 4));
    EXPECT_EQ(c1.received + c2.received + c3.received, 3);
    const VqNotifyBase* const* list = nullptr;
    unsigned n = 0;
    src->notificationList(list, n);
    EXPECT_EQ(n, 2u);

    // Nothing changed: no one is told.
    ASSERT_TRUE(src->sendNotification(src.get(), 0));
    EXPECT_EQ(c2.received, 1);

    EXPECT_FALSE(src->sendNotification(nullptr, 4));
    EXPECT_EQ(lastError(), "pWhoChanged != __null");
    EXPECT_EQ(VqErrorState::currentError()->code(), VQ_ERR_INTERNAL);
    EXPECT_FALSE(src->addNotification(nullptr));
    EXPECT_EQ(lastError(), "pClient != __null");

    c2.answer = false;
    EXPECT_FALSE(src->sendNotification(src.get(), 255));
    EXPECT_EQ(c3.received, 1); // the walk stopped at the refusing client
    src->removeNotification(&c2);
    src->removeNotification(&c3);
}

// Hundreds of clients (an attribute shared by many nodes): registration and
// removal no longer search the list, yet a walk still tells each client
// registered when it is reached exactly once, in order, while clients remove
// themselves, others before and after them, or register anew.
TEST_F(VqBaseTest, NotificationKeepsOrderAndOncenessWithManyClients) {
    Vq::SharedPtr<VqNotifyBase> src(new VqNotifyBase());
    std::vector<Client> clients(300);
    for (Client& c : clients) {
        c.source = src.get();
        ASSERT_TRUE(src->addNotification(&c));
    }
    for (Client& c : clients)
        ASSERT_TRUE(src->addNotification(&c)); // no duplicates
    const VqNotifyBase* const* list = nullptr;
    unsigned n = 0;
    src->notificationList(list, n);
    ASSERT_EQ(n, 300u);

    clients[10].removeSelf = true;
    clients[20].alsoRemove = &clients[5];   // already told
    clients[30].alsoRemove = &clients[250]; // not yet told: never is
    ASSERT_TRUE(src->sendNotification(src.get(), 4));
    for (size_t i = 0; i < clients.size(); ++i)
        EXPECT_EQ(clients[i].received, i == 250 ? 0 : 1) << i;
    src->notificationList(list, n);
    ASSERT_EQ(n, 297u);
    for (unsigned i = 1; i < n; ++i)
        EXPECT_LT(static_cast<const Client*>(list[i - 1]), static_cast<const Client*>(list[i]));

    // A removed client comes back at the end; removing nearly all keeps the rest in order.
    clients[10].removeSelf = false;
    clients[20].alsoRemove = clients[30].alsoRemove = nullptr;
    ASSERT_TRUE(src->addNotification(&clients[10]));
    for (size_t i = 0; i < clients.size(); ++i)
        if (i != 10 && i != 299) src->removeNotification(&clients[i]);
    src->notificationList(list, n);
    ASSERT_EQ(n, 2u);
    EXPECT_EQ(list[0], &clients[299]);
    EXPECT_EQ(list[1], &clients[10]);
    src->removeNotification(&clients[10]);
    src->removeNotification(&clients[299]);
    src->notificationList(list, n);
    EXPECT_EQ(n, 0u);
}

TEST_F(VqBaseTest, ErrorCallbackSeesNewErrorThenRethrows) {
    static std::vector<bool> seen;
    seen.clear();
    VqErrorState::ErrorCallback old =
        VqErrorState::setErrorCallback([](bool fresh) { seen.push_back(fresh); });
    VqErrorState::throwStdError("VqThing", "doIt", "index >= 0", VQ_ERR_ARGUMENT);
    VqErrorState::rethrowError();
    VqErrorState::rethrowError("outer");
    EXPECT_EQ(seen, (std::vector<bool>{true, false, false}));
    EXPECT_NE(VqErrorState::setErrorCallback(old), nullptr);

    std::ostringstream os;
    os << *VqErrorState::currentError();
    EXPECT_EQ(os.str(), "class VqThing, method \"doIt\" (outer)\n");
}

// One line names what failed, the code, the operation and, when known, the place.
TEST_F(VqBaseTest, LastErrorMessageIsOneLine) {
    VqErrorState::clearError();
    EXPECT_EQ(Vq::lastErrorMessage(), "");
    VqErrorState::throwStdError("VqThing", "doIt", "index >= 0", VQ_ERR_ARGUMENT);
    EXPECT_EQ(Vq::lastErrorMessage(), "index >= 0 (code 1, VqThing::doIt)");
    // A location that is not plain 8-bit text survives as it is.
    VqErrorState::rethrowError(VqString::fromUtf8("/tmp/d\xc3\xa9j\xc3\xa0/model.vq"));
    EXPECT_EQ(Vq::lastErrorMessage(), "index >= 0 (code 1, VqThing::doIt, /tmp/d\xc3\xa9j\xc3\xa0/model.vq)");
    // An exception's record carries a full signature, which is not prefixed again.
    try {
        VQ_THROW("Seek fail check errno", VQ_ERR_SEEK);
    } catch (...) {
        VqErrorState::recordCurrentException("VqThing", "operation");
    }
    const std::string m = Vq::lastErrorMessage();
    EXPECT_EQ(m.rfind("Seek fail check errno (code 15, ", 0), 0u) << m;
    EXPECT_EQ(m.find("VqThing::"), std::string::npos) << m;
    EXPECT_EQ(m.back(), ')');
}

TEST_F(VqBaseTest, ExceptionsBecomeErrorRecordsAtTheBoundary) {
    auto boundary = [](auto thrower) {
        try {
            thrower();
            return true;
        } catch (...) {
            return VqErrorState::recordCurrentException("VqThing", "operation");
        }
    };
    EXPECT_FALSE(boundary([] { throw std::bad_alloc(); }));
    EXPECT_EQ(lastError(), "Caught std::bad_alloc");
    EXPECT_EQ(VqErrorState::currentError()->code(), VQ_ERR_ALLOC);
    EXPECT_FALSE(boundary([] { throw std::runtime_error("x"); }));
    EXPECT_EQ(lastError(), "Caught unknown std::exception");
    EXPECT_EQ(VqErrorState::currentError()->code(), VQ_ERR_INTERNAL);
    EXPECT_FALSE(boundary([] { throw 42; }));
    EXPECT_EQ(lastError(), "Caught unknown exception");
    EXPECT_FALSE(boundary([] { VQ_THROW("Output buffer too small.", VQ_ERR_BUFFER); }));
    EXPECT_EQ(lastError(), "Output buffer too small.");
    EXPECT_EQ(VqErrorState::currentError()->code(), VQ_ERR_BUFFER);
    // The record keeps the throwing function's own text, not the boundary's.
    EXPECT_NE(VqErrorState::currentError()->methodName().toUtf8(), "operation");
    EXPECT_FALSE(VqErrorState::currentError()->methodName().isEmpty());

    static int thrown = 0;
    thrown = 0;
    auto oldCb = Vq::StdException::setExceptionCallback([](const Vq::StdException&) { ++thrown; });
    Vq::StdException e = Vq::makeStdExceptionFromErrorState("f()", "from state");
    EXPECT_EQ(e.code(), VQ_ERR_BUFFER);
    VqErrorState::clearError();
    EXPECT_EQ(Vq::makeStdExceptionFromErrorState("f()", "none").code(), VQ_ERR_NONE);
    EXPECT_EQ(thrown, 2);
    Vq::StdException::setExceptionCallback(oldCb);
}

TEST_F(VqBaseTest, InstanceTrackingReportsLiveObjects) {
    ASSERT_TRUE(VqBase::enableVqBaseTracking(true));
    Vq::SharedPtr<VqNotifyBase> a(new VqNotifyBase());
    Vq::SharedPtr<VqNotifyBase> b(new VqNotifyBase());
    ASSERT_TRUE(VqBase::ignoreStaticObject(b.get()));
    Vq::SharedPtrVec<VqBase> live;
    ASSERT_TRUE(VqBase::getExtantObjects(live));
    EXPECT_EQ(live.size(), 2u);
    live.clear();
    std::ostringstream os;
    ASSERT_TRUE(VqBase::reportMemoryLeaks(os));
    const std::string report = os.str();
    EXPECT_NE(report.find("**Potential memory leak** :"), std::string::npos);
    EXPECT_NE(report.find(" is a VqNotifyBase with refCount 1"), std::string::npos);
    EXPECT_NE(report.find("Total (non-static) objects leaked: 1"), std::string::npos);
    EXPECT_NE(report.find("Total (static) objects potentially leaked: 1"), std::string::npos);
    a.reset();
    b.reset();
    ASSERT_TRUE(VqBase::getExtantObjects(live));
    EXPECT_TRUE(live.empty());
    ASSERT_TRUE(VqBase::enableVqBaseTracking(false));
    EXPECT_FALSE(VqBase::ignoreStaticObject(nullptr));
    EXPECT_EQ(lastError(), "s_bInstrumentEnabled && s_pRefInstrTable && s_vpIgnoreList");
}

TEST_F(VqBaseTest, AllocationIsAccountedByThePlatform) {
    uint64_t before = g_pInstanceVqPlatform->numAllocations();
    Vq::SharedPtr<VqNotifyBase> a(new VqNotifyBase());
    EXPECT_GT(g_pInstanceVqPlatform->numAllocations(), before);
    EXPECT_EQ(a->_memSize(false), sizeof(VqNotifyBase));
}
