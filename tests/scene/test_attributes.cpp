#include "VqCuttingPlane.h"
#include "VqDrawStyle.h"
#include "VqFog.h"
#include "VqGroup.h"
#include "VqLibFixture.h"
#include "VqLightSet.h"
#include "VqLineStyle.h"
#include "VqMappingSurface.h"
#include "VqMaterial.h"
#include "VqPointStyle.h"
#include "VqShader.h"
#include "VqShaderEffects.h"
#include "VqState.h"
#include "VqStdError.h"
#include "VqStringPropAtom.h"
#include "VqTestObjectStream.h"
#include "VqTexCoordGen.h"
#include "VqTexImage.h"
#include "VqXform.h"

#include <atomic>
#include <cstring>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace {

bool writeElement(VqObjectStream& os, int major, const VqBase* obj) {
    return major == 10 ? VqPartition::writeLogicalElementV10(os, obj)
                       : VqPartition::writeLogicalElementV9(os, obj);
}

bool readElement(VqObjectStream& os, int major, Vq::SharedPtr<VqBase>& out) {
    if (major == 10) return VqPartition::readLogicalElementV10(os, out);
    VqBase* raw = nullptr;
    bool ok = VqPartition::readLogicalElementV9(os, raw);
    out = raw;
    return ok;
}

// Writes the objects as a sequence of elements.
std::vector<uint8_t> writeAll(int major, int minor, const std::vector<const VqBase*>& objs) {
    VqTestObjectStream w = VqTestObjectStream::forWriting(major, minor);
    for (const VqBase* o : objs)
        EXPECT_TRUE(writeElement(*w, major, o));
    return w.bytes();
}

// Reads n elements back.
std::vector<Vq::SharedPtr<VqBase>> readAll(const std::vector<uint8_t>& bytes, int major, int minor,
                                           size_t n) {
    VqTestObjectStream r = VqTestObjectStream::forReading(bytes, major, minor);
    std::vector<Vq::SharedPtr<VqBase>> out(n);
    for (size_t i = 0; i < n; ++i)
        EXPECT_TRUE(readElement(*r, major, out[i])) << lastError() << " element " << i;
    return out;
}

VqMatrix4d translation(double x, double y, double z) {
    VqMatrix4d m;
    m.m[3][0] = x;
    m.m[3][1] = y;
    m.m[3][2] = z;
    return m;
}

VqMatrix4d scaling(double s) {
    VqMatrix4d m;
    m.m[0][0] = m.m[1][1] = m.m[2][2] = s;
    return m;
}

// Records the changes it is told about.
class Recorder : public VqNotifyBase {
public:
    bool receiveNotification(const VqBase*, Vq::BaseChange change) const override {
        changes.push_back(change);
        return true;
    }
    mutable std::vector<int> changes;
};

class AttributeTypeTest : public VqLibTest {};

// Runs work(t) for t in 0..3 on four threads released at the same moment, so
// that their first touches of shared objects overlap.
template <class Work>
void runTogether(Work&& work) {
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            ready.fetch_add(1);
            while (ready.load() < 4)
                std::this_thread::yield();
            work(t);
        });
    for (auto& th : threads)
        th.join();
}

} // namespace

namespace {

// One case per attribute type: the objects written, the attribute last (a
// light set after its lights), configured away from their defaults.
struct RoundTripCase {
    const char* name;
    std::function<std::vector<Vq::SharedPtr<VqBase>>()> build;
};

std::vector<Vq::SharedPtr<VqBase>> one(VqBase* b) {
    return {Vq::SharedPtr<VqBase>(b)};
}

const RoundTripCase s_roundTrips[] = {
    {"DrawStyle",
     [] {
         auto* ds = new VqDrawStyle();
         ds->setTwoSidedLighting(true);
         ds->setOutlinedPolygons(true);
         ds->setLighting(false);
         ds->setInhibit(4, true);
         return one(ds);
     }},
    {"LineStyle",
     [] {
         auto* ls = new VqLineStyle();
         ls->setLineType(5);
         ls->setAntialiasing(true);
         ls->setLineWidth(2.5f);
         return one(ls);
     }},
    {"PointStyle",
     [] {
         auto* ps = new VqPointStyle();
         ps->setPointType(3);
         ps->setPointSize(7.0f);
         ps->setFinal(true);
         return one(ps);
     }},
    {"Material",
     [] {
         auto* mtl = new VqMaterial();
         mtl->setDiffuseColor(VqVec4f(0.1f, 0.2f, 0.3f, 0.4f));
         mtl->setBlending(true);
         mtl->setBlendFactors(VQ_ONE, VQ_DST_ALPHA);
         mtl->setOverrideVertexColors(true);
         mtl->setReflectivity(0.25f);
         mtl->setBumpiness(-12.0f);
         mtl->setInhibit(VqMaterial::Reflectivity, true);
         return one(mtl);
     }},
    {"Xform", [] { return one(new VqXform(translation(1.0, 2.0, 3.0) * scaling(0.5))); }},
    {"FogLinear",
     [] {
         auto* fog = new VqFog();
         fog->setMode(VQ_FOG_LINEAR);
         fog->setRange(2.0f, 9.0f);
         fog->setColor(VqVec4f(0.5f, 0.5f, 0.5f, 1.0f));
         return one(fog);
     }},
    {"FogExp2",
     [] {
         auto* fog = new VqFog();
         fog->setMode(VQ_FOG_EXP2);
         fog->setDensity(0.3f);
         return one(fog);
     }},
    {"CuttingPlane", [] { return one(new VqCuttingPlane(0.0, 1.0, 0.0, -2.0)); }},
    {"TexCoordGen",
     [] {
         Vq::SharedPtr<VqMappingCylinder> cyl = new VqMappingCylinder();
         cyl->setCylinderParams(VqVec3d(1, 2, 3), VqVec3d(0, 0, 1), VqVec3d(1, 0, 0), 2.0, 4.0);
         auto* tcg = new VqTexCoordGen();
         tcg->setTexCoordChannel(3);
         tcg->setMappingSurface(cyl.get());
         return one(tcg);
     }},
    {"ShaderEffects",
     [] {
         auto* fx = new VqShaderEffects();
         fx->setEnable(true);
         fx->setEnvTexChan(4);
         fx->setEnvMapReflectivity(0.75f);
         fx->setBumpMapTexChan(-1);
         fx->setBumpiness(-3.0f);
         fx->setPhongShading(true);
         return one(fx);
     }},
    {"TexImage",
     [] {
         auto* tex = new VqTexImage(VQ_TEXTYPE_2D);
         tex->setImage(2, 1, 3, {1, 2, 3, 4, 5, 6});
         tex->setWrapModes(1, 2, 3);
         return one(tex);
     }},
    {"Shader",
     [] {
         auto* sh = new Vq::FragmentShader();
         sh->setSource(Vq::Shader::Fragment, VqString("void main() {}"));
         return one(sh);
     }},
    {"LightSet",
     [] {
         Vq::SharedPtr<VqInfiniteLight> l1 = new VqInfiniteLight();
         l1->setDirection(VqVec3f(1.0f, 0.0f, 0.0f));
         l1->setShadowCaster(true);
         Vq::SharedPtr<VqPointLight> l2 = new VqPointLight();
         l2->setSpot(VqVec3f(0.0f, -1.0f, 0.0f), 30.0f, 2);
         l2->setCoordSys(VQ_COORDSYS_WORLD);
         Vq::SharedPtr<VqLightSet> set = new VqLightSet();
         set->appendLight(l1.get());
         set->appendLight(l2.get());
         return std::vector<Vq::SharedPtr<VqBase>>{l1, l2, set};
     }},
};

} // namespace

class AttributeRoundTrip : public VqLibTest,
                           public ::testing::WithParamInterface<std::tuple<RoundTripCase, int>> {};

// Each type, read back, equals what was written and writes the same bytes
// again, in format 10 and in format 9.5.
TEST_P(AttributeRoundTrip, ReadsBackEqualAndWritesTheSameBytes) {
    const auto& [c, major] = GetParam();
    const int minor = major == 10 ? 0 : 5;
    const std::vector<Vq::SharedPtr<VqBase>> made = c.build();
    std::vector<const VqBase*> objs;
    for (const auto& o : made)
        objs.push_back(o.get());
    std::vector<uint8_t> first = writeAll(major, minor, objs);
    std::vector<Vq::SharedPtr<VqBase>> back = readAll(first, major, minor, objs.size());
    for (size_t i = 0; i < objs.size(); ++i) {
        ASSERT_TRUE(back[i]) << i;
        ASSERT_EQ(back[i]->type(), objs[i]->type()) << i;
    }
    if (auto* set = Vq::typeCast<VqLightSet>(back.back().get())) {
        ASSERT_TRUE(set->_fixupLists());
        ASSERT_EQ(set->numLights(), 2);
        EXPECT_EQ(set->light(0), back[0].get());
        EXPECT_EQ(set->light(1), back[1].get());
        EXPECT_TRUE(Vq::typeCast<VqLight>(back[0].get())->isEqual(*static_cast<const VqLight*>(objs[0])));
    } else {
        const auto* written = static_cast<const VqAttribute*>(objs.back());
        const auto* read = Vq::typeCast<VqAttribute>(back.back().get());
        ASSERT_NE(read, nullptr);
        EXPECT_TRUE(read->isEqualHook(*written));
        EXPECT_EQ(read->isFinal(), written->isFinal());
        EXPECT_EQ(read->inhibitMask(), written->inhibitMask());
    }
    std::vector<const VqBase*> again;
    for (const auto& b : back)
        again.push_back(b.get());
    EXPECT_EQ(writeAll(major, minor, again), first);
}

INSTANTIATE_TEST_SUITE_P(EveryType, AttributeRoundTrip,
                         ::testing::Combine(::testing::ValuesIn(s_roundTrips), ::testing::Values(10, 9)),
                         [](const ::testing::TestParamInfo<std::tuple<RoundTripCase, int>>& info) {
                             return std::string(std::get<0>(info.param).name) + "_v" +
                                    std::to_string(std::get<1>(info.param));
                         });

TEST_F(AttributeTypeTest, IdentityTransformStoresAnEmptyMask) {
    Vq::SharedPtr<VqXform> id = new VqXform();
    Vq::SharedPtr<VqXform> tr = new VqXform(translation(4.0, 5.0, 6.0));
    EXPECT_EQ(id->elementStoreMask(), 0);
    // Elements 12 to 14 (the bottom row) are bits 3 to 1.
    EXPECT_EQ(tr->elementStoreMask(), 0x000E);
    std::vector<uint8_t> a = writeAll(10, 0, {id.get()});
    std::vector<uint8_t> b = writeAll(10, 0, {tr.get()});
    // Base part lv, flags, masks (10 bytes) and the level's version, then the mask.
    ASSERT_EQ(b.size(), a.size() + 3 * sizeof(double));
    uint16_t mask = 0xFFFF;
    std::memcpy(&mask, a.data() + a.size() - 2, 2);
    EXPECT_EQ(mask, 0);
    double z = 0;
    std::memcpy(&z, b.data() + b.size() - 8, 8);
    EXPECT_EQ(z, 6.0);
}

TEST_F(AttributeTypeTest, MaterialFieldBitsMoveBeforeFormat10) {
    Vq::SharedPtr<VqMaterial> m = new VqMaterial();
    VqBitField<1> f((1u << VqMaterial::OverrideVertexColors) | (1u << VqMaterial::Diffuse));
    const unsigned int old = m->_convertToPreV10FieldBits(f, 9, 5);
    EXPECT_EQ(old, (1u << 8) | (1u << VqMaterial::Diffuse));
    EXPECT_EQ(m->_convertFromPreV10FieldBits(old), f);
    for (unsigned int bit = 0; bit < 32; ++bit)
        EXPECT_EQ(m->_convertFromPreV10FieldBits(m->_convertToPreV10FieldBits(VqBitField<1>(1u << bit), 9, 5))
                      .bits(),
                  1u << bit);
}

// The admission and merge rules on one type: what the lower draw style
// leaves of an upper one in every combination of final, force, inhibit,
// ignore and dynamic.
TEST_F(AttributeTypeTest, AccumulationMatrix) {
    struct Case {
        const char* name;
        std::function<void(VqDrawStyle&)> upper, lower;
        bool takesCulling;  // field 1
        bool takesLighting; // field 3
    };
    const std::vector<Case> cases = {
        {"plain", [](VqDrawStyle&) {}, [](VqDrawStyle&) {}, true, true},
        {"final above", [](VqDrawStyle& u) { u.setFinal(true); }, [](VqDrawStyle&) {}, false, false},
        {"final above, forced below", [](VqDrawStyle& u) { u.setFinal(true); },
         [](VqDrawStyle& l) { l.setForceAccum(true); }, true, true},
        {"final above, forced below with an inhibited field", [](VqDrawStyle& u) { u.setFinal(true); },
         [](VqDrawStyle& l) {
             l.setForceAccum(true);
             l.setInhibit(VqDrawStyle::Lighting, true);
         },
         true, false},
        {"one final field above", [](VqDrawStyle& u) { u.setFieldFinal(VqDrawStyle::BackFaceCulling, true); },
         [](VqDrawStyle&) {}, false, true},
        {"final above, dynamic below: admitted, but its fields stay final",
         [](VqDrawStyle& u) { u.setFinal(true); }, [](VqDrawStyle& l) { l.setDynamicFlag(true); }, false,
         false},
        {"ignored below", [](VqDrawStyle&) {}, [](VqDrawStyle& l) { l.setIgnoreFlag(true); }, false, false},
        {"ignored and dynamic below", [](VqDrawStyle&) {},
         [](VqDrawStyle& l) {
             l.setIgnoreFlag(true);
             l.setDynamicFlag(true);
         },
         true, true},
        {"inhibited below", [](VqDrawStyle&) {},
         [](VqDrawStyle& l) { l.setInhibit(VqDrawStyle::BackFaceCulling, true); }, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Vq::SharedPtr<VqDrawStyle> upper = new VqDrawStyle();
        upper->setBackFaceCulling(false);
        upper->setLighting(true);
        c.upper(*upper);
        Vq::SharedPtr<VqDrawStyle> lower = new VqDrawStyle();
        lower->setBackFaceCulling(true);
        lower->setLighting(false);
        c.lower(*lower);
        VqState s;
        ASSERT_TRUE(s.accumAttribute(upper.get(), nullptr));
        ASSERT_TRUE(s.accumAttribute(lower.get(), nullptr));
        const VqDrawStyle* acc = static_cast<const VqDrawStyle*>(s.attribute(VqDrawStyle::classTypeID()));
        EXPECT_EQ(acc->backFaceCulling(), c.takesCulling);
        EXPECT_EQ(acc->lighting(), !c.takesLighting);
        EXPECT_FALSE(acc->isForceAccum());
        EXPECT_TRUE(acc->isAccumulant());
        // Neither input changed.
        EXPECT_FALSE(upper->isAccumulant());
        EXPECT_TRUE(lower->backFaceCulling());
    }
}

TEST_F(AttributeTypeTest, FinalFieldsPassDownAndOnlyForcingChangesThem) {
    Vq::SharedPtr<VqDrawStyle> top = new VqDrawStyle(), mid = new VqDrawStyle(), low = new VqDrawStyle();
    mid->setFlatShading(true);
    mid->setFieldFinal(VqDrawStyle::FlatShading, true);
    low->setFlatShading(false);
    VqState s;
    s.accumAttribute(top.get(), nullptr);
    s.accumAttribute(mid.get(), nullptr);
    s.accumAttribute(low.get(), nullptr);
    auto acc = [&] { return static_cast<const VqDrawStyle*>(s.attribute(VqDrawStyle::classTypeID())); };
    EXPECT_TRUE(acc()->flatShading());
    EXPECT_TRUE(acc()->isFieldFinal(VqDrawStyle::FlatShading));
    low->setForceAccum(true);
    s.accumAttribute(low.get(), nullptr);
    EXPECT_FALSE(acc()->flatShading());
}

TEST_F(AttributeTypeTest, MaterialInhibitingDiffuseKeepsTheAncestorsColour) {
    Vq::SharedPtr<VqMaterial> upper = new VqMaterial(), lower = new VqMaterial();
    upper->setDiffuseColor(VqVec4f(1, 0, 0, 1));
    upper->setAmbientColor(VqVec4f(0, 0, 1, 1));
    lower->setDiffuseColor(VqVec4f(0, 1, 0, 1));
    lower->setAmbientColor(VqVec4f(1, 1, 0, 1));
    lower->setInhibit(VqMaterial::Diffuse, true);
    VqState s;
    s.accumAttribute(upper.get(), nullptr);
    s.accumAttribute(lower.get(), nullptr);
    const VqMaterial* m = static_cast<const VqMaterial*>(s.attribute(VqMaterial::classTypeID()));
    EXPECT_EQ(m->diffuseColor(), VqVec4f(1, 0, 0, 1));
    EXPECT_EQ(m->ambientColor(), VqVec4f(1, 1, 0, 1));
}

TEST_F(AttributeTypeTest, DynamicMaterialIsReplayed) {
    Vq::SharedPtr<VqMaterial> upper = new VqMaterial(), lower = new VqMaterial();
    upper->setDynamicFlag(true);
    upper->setDiffuseColor(VqVec4f(1, 0, 0, 1));
    lower->setInhibit(VqMaterial::Diffuse, true);
    lower->setBlending(true);
    VqState s;
    s.accumAttribute(upper.get(), nullptr);
    s.accumAttribute(lower.get(), nullptr);
    const VqMaterial* m = static_cast<const VqMaterial*>(s.attribute(VqMaterial::classTypeID()));
    ASSERT_TRUE(m->mixedAccumActive());
    upper->setDiffuseColor(VqVec4f(0, 0, 1, 1));
    EXPECT_TRUE(m->mixedAccumModified());
    EXPECT_EQ(s.ensureRenderFlag(), 7);
    EXPECT_FALSE(m->mixedAccumModified());
    EXPECT_EQ(m->diffuseColor(), VqVec4f(0, 0, 1, 1));
}

TEST_F(AttributeTypeTest, TransformOrderAndDynamicReplay) {
    // A child translating by (1, 0, 0) under a parent scaling by 2.
    Vq::SharedPtr<VqXform> parent = new VqXform(scaling(2.0)), child = new VqXform(translation(1, 0, 0));
    VqState s;
    s.accumAttribute(parent.get(), nullptr);
    s.accumAttribute(child.get(), nullptr);
    const VqXform* acc = static_cast<const VqXform*>(s.attribute(VqXform::classTypeID()));
    VqVec3d o = vqTransformPoint(acc->matrix(), VqVec3d(0, 0, 0));
    EXPECT_EQ(o, VqVec3d(2, 0, 0));
    EXPECT_TRUE(acc->isUniformScaled());
    EXPECT_FALSE(acc->isMirrored());

    // A dynamic translation above a static scale: a change is replayed.
    Vq::SharedPtr<VqXform> dyn = new VqXform(translation(1, 0, 0)), stat = new VqXform(scaling(2.0));
    dyn->setDynamicFlag(true);
    VqState d;
    d.accumAttribute(dyn.get(), nullptr);
    d.accumAttribute(stat.get(), nullptr);
    const VqXform* dacc = static_cast<const VqXform*>(d.attribute(VqXform::classTypeID()));
    EXPECT_TRUE(dacc->isMixed());
    EXPECT_FALSE(dacc->isDynamic());
    EXPECT_EQ(vqTransformPoint(dacc->matrix(), VqVec3d(1, 0, 0)), VqVec3d(3, 0, 0));
    ASSERT_TRUE(dyn->setMatrix(translation(5, 0, 0)));
    EXPECT_EQ(vqTransformPoint(dacc->matrix(), VqVec3d(1, 0, 0)), VqVec3d(7, 0, 0));
    // An ignored dynamic transform drops out of the replay.
    ASSERT_TRUE(dyn->setIgnoreFlag(true));
    EXPECT_EQ(vqTransformPoint(dacc->matrix(), VqVec3d(1, 0, 0)), VqVec3d(2, 0, 0));
}

TEST_F(AttributeTypeTest, LightSetsAccumulateLowestFirst) {
    Vq::SharedPtr<VqLight> l1 = new VqLight(), l2 = new VqLight(), l3 = new VqLight();
    Vq::SharedPtr<VqLightSet> top = new VqLightSet(), below = new VqLightSet();
    top->appendLight(l3.get());
    below->appendLight(l1.get());
    below->appendLight(l2.get());
    Vq::SharedPtr<VqXform> xf = new VqXform(translation(0, 1, 0));
    l1->setCoordSys(VQ_COORDSYS_WORLD);
    VqState s;
    s.accumAttribute(top.get(), nullptr);
    s.accumAttribute(xf.get(), nullptr);
    s.accumAttribute(below.get(), nullptr);
    const VqLightSet* acc = static_cast<const VqLightSet*>(s.attribute(VqLightSet::classTypeID()));
    ASSERT_EQ(acc->numLights(), 3);
    EXPECT_EQ(acc->light(0), l2.get());
    EXPECT_EQ(acc->light(1), l1.get());
    EXPECT_EQ(acc->light(2), l3.get());
    // Model-coordinate lights carry the transform above their set; others none.
    EXPECT_EQ(acc->lightXform(0), s.attribute(VqXform::classTypeID()));
    EXPECT_EQ(acc->lightXform(1), nullptr);
    EXPECT_TRUE(acc->lightXform(2) && acc->lightXform(2)->isIdentity());
    EXPECT_EQ(acc->numLights(VQ_COORDSYS_WORLD), 1);
    EXPECT_EQ(acc->numLights(VQ_COORDSYS_NONE), 3);
}

TEST_F(AttributeTypeTest, ShadowCasterBringsItsShadowMapAndBlending) {
    Vq::SharedPtr<VqLight> l = new VqLight();
    l->setShadowCaster(true);
    l->setShadowAlphaFactor(0.5f);
    l->setShadowMapResolution(512);
    Vq::SharedPtr<VqLightSet> set = new VqLightSet();
    set->appendLight(l.get());
    VqState s;
    EXPECT_FALSE(s.accumAttribute(set.get(), nullptr));
    EXPECT_EQ(lastError(), "pAccLight->shadowCasterIndex() >= 0");
    EXPECT_EQ(lastCode(), 5);
    l->setShadowCasterIndex(2);
    VqState t;
    ASSERT_TRUE(t.accumAttribute(set.get(), nullptr));
    const VqTexImage* tex = static_cast<const VqTexImage*>(t.attribute(VqTexImage::classTypeID()));
    EXPECT_EQ(tex->texType(), VQ_TEXTYPE_SHADOWMAP_2D);
    EXPECT_EQ(tex->width(), 512);
    EXPECT_EQ(tex->channel(), 2);
    EXPECT_TRUE(tex->depthCompare());
    const VqMaterial* m = static_cast<const VqMaterial*>(t.attribute(VqMaterial::classTypeID()));
    EXPECT_TRUE(m->blending());
    EXPECT_EQ(t.ensureRenderFlag(), 7);
}

TEST_F(AttributeTypeTest, CuttingPlaneIdentifiersArePooled) {
    const int before = VqCuttingPlane::numIDsInUse();
    ASSERT_EQ(before, 0);
    {
        Vq::SharedPtr<VqCuttingPlane> none = new VqCuttingPlane(0.0, 0.0, 0.0, 1.0);
        VqState s;
        ASSERT_TRUE(s.accumAttribute(none.get(), nullptr));
        EXPECT_EQ(none->planeID(), 0);
        EXPECT_EQ(static_cast<const VqCuttingPlane*>(s.attribute(VqCuttingPlane::classTypeID()))
                      ->accumulatedPlanes()
                      .size(),
                  0u);
    }
    std::vector<Vq::SharedPtr<VqCuttingPlane>> planes;
    std::vector<VqState> states(32);
    for (int i = 0; i < 31; ++i) {
        planes.push_back(new VqCuttingPlane(1.0, 0.0, 0.0, double(i)));
        ASSERT_TRUE(states[size_t(i)].accumAttribute(planes.back().get(), nullptr));
        EXPECT_EQ(planes.back()->planeID(), i + 1);
    }
    // The same plane met again in a state keeps its identifier and entry.
    ASSERT_TRUE(states[0].accumAttribute(planes[0].get(), nullptr));
    EXPECT_EQ(static_cast<const VqCuttingPlane*>(states[0].attribute(VqCuttingPlane::classTypeID()))
                  ->accumulatedPlanes()
                  .size(),
              1u);
    Vq::SharedPtr<VqCuttingPlane> extra = new VqCuttingPlane(0.0, 1.0, 0.0, 0.0);
    EXPECT_FALSE(states[31].accumAttribute(extra.get(), nullptr));
    EXPECT_EQ(lastError(), "srcPlane->_iPlaneID");
    EXPECT_EQ(lastCode(), 5);
    // Plane 5 dies with the last state that held it; its identifier is reused.
    planes[4] = nullptr;
    EXPECT_EQ(VqCuttingPlane::numIDsInUse(), 31);
    states[4].clear();
    EXPECT_EQ(VqCuttingPlane::numIDsInUse(), 30);
    VqState again;
    ASSERT_TRUE(again.accumAttribute(extra.get(), nullptr));
    EXPECT_EQ(extra->planeID(), 5);
    const VqCuttingPlane* acc =
        static_cast<const VqCuttingPlane*>(again.attribute(VqCuttingPlane::classTypeID()));
    EXPECT_FALSE(const_cast<VqCuttingPlane*>(acc)->setPlane(1.0, 0.0, 0.0, 0.0));
    EXPECT_EQ(lastError(), "!isAccumulant()");
    EXPECT_FALSE(VqCuttingPlane::freeID(0));
    EXPECT_EQ(lastError(), "id > 0");
}

TEST_F(AttributeTypeTest, SettersNotifyWithTheirChange) {
    Vq::SharedPtr<Recorder> rec = new Recorder();
    Vq::SharedPtr<VqDrawStyle> ds = new VqDrawStyle();
    Vq::SharedPtr<VqMaterial> m = new VqMaterial();
    ds->addNotification(rec.get());
    m->addNotification(rec.get());
    ds->setFlatShading(true);
    ds->setBackFaceCulling(true);
    ds->setBackFaceCulling(true);
    ds->setFinal(true);
    ds->setInhibit(2, true);
    m->setDiffuseColor(VqVec4f(1, 1, 1, 1));
    EXPECT_EQ(rec->changes, (std::vector<int>{4, 8, 255, 8, 4}));
    EXPECT_FALSE(m->setReflectivity(1.5f));
    EXPECT_EQ(lastError(), "fReflec >= 0.0f && fReflec <= 1.0f");
    EXPECT_FALSE(m->setBlendFactors(static_cast<VqBlendFactor>(11), VQ_ONE));
    EXPECT_EQ(lastError(), "(srcFactor >= VQ_ZERO) && (srcFactor <= VQ_SRC_ALPHA_SATURATE)");
    EXPECT_EQ(rec->changes.size(), 5u);
    ds->removeNotification(rec.get());
    m->removeNotification(rec.get());
}

TEST_F(AttributeTypeTest, BadElementsAreRefused) {
    Vq::SharedPtr<VqLight> l = new VqLight();
    Vq::SharedPtr<VqLightSet> set = new VqLightSet();
    set->appendLight(l.get());
    std::vector<uint8_t> b = writeAll(10, 0, {set.get()});
    // The light count is the last but one 32-bit word; claim many more lights.
    int32_t many = 1000000;
    std::memcpy(b.data() + b.size() - 8, &many, 4);
    {
        VqTestObjectStream r = VqTestObjectStream::forReading(b, 10, 0);
        Vq::SharedPtr<VqBase> out;
        EXPECT_FALSE(VqPartition::readLogicalElementV10(*r, out));
        EXPECT_EQ(lastError(), "nLights >= 0 && nLights * 4 <= bytes left in the element");
        EXPECT_EQ(lastCode(), 8);
    }

    // A texture-coordinate generator whose nested element is a draw style.
    Vq::SharedPtr<VqTexCoordGen> tcg = new VqTexCoordGen();
    Vq::SharedPtr<VqMappingPlane> plane = new VqMappingPlane();
    tcg->setMappingSurface(plane.get());
    std::vector<uint8_t> bad = writeAll(10, 0, {tcg.get()});
    // Header (4 + 21), base part (10), level version (1), channel (4).
    const size_t nested = 40;
    Vq::SharedPtr<VqDrawStyle> ds = new VqDrawStyle();
    VqTestObjectStream w = VqTestObjectStream::forWriting(10, 0);
    int id = -1;
    ASSERT_TRUE(w->ptr2num(tcg.get(), &id));
    ASSERT_TRUE(VqPartition::writeLogicalElementV10(*w, ds.get()));
    std::vector<uint8_t> other = w.bytes();
    bad.resize(nested);
    bad.insert(bad.end(), other.begin(), other.end());
    const int32_t len = static_cast<int32_t>(bad.size() - 4);
    std::memcpy(bad.data(), &len, 4);
    VqTestObjectStream r = VqTestObjectStream::forReading(bad, 10, 0);
    Vq::SharedPtr<VqBase> out;
    // Refused from its type, before the draw style reads anything.
    EXPECT_FALSE(VqPartition::readLogicalElementV10(*r, out));
    EXPECT_EQ(lastError(), "Nested element is not of the class expected in its place");
    EXPECT_EQ(lastCode(), 8);
}

// A light set read with its node, lights after it in the segment: the node's
// fix-up gives the set counted references to its lights.
TEST_F(AttributeTypeTest, LightSetReadWithItsNodeHoldsItsLights) {
    Vq::SharedPtr<VqGroup> g = new VqGroup();
    Vq::SharedPtr<VqLightSet> set = new VqLightSet();
    Vq::SharedPtr<VqPointLight> l = new VqPointLight();
    l->setBrightness(0.5f);
    set->appendLight(l.get());
    ASSERT_TRUE(g->appendAttribute(set.get()));
    std::vector<uint8_t> image = writeAll(10, 0, {g.get(), set.get(), l.get()});
    Vq::SharedPtr<VqNode> node;
    {
        std::vector<Vq::SharedPtr<VqBase>> back = readAll(image, 10, 0, 3);
        node = Vq::typeCast<VqNode>(back[0].get());
        ASSERT_TRUE(node);
        ASSERT_TRUE(node->fixupLists());
    }
    VqAttribute* attr = nullptr;
    ASSERT_TRUE(node->getAttribute(0, attr));
    const VqLightSet* readSet = Vq::typeCast<VqLightSet>(attr);
    ASSERT_TRUE(readSet);
    ASSERT_EQ(readSet->numLights(), 1);
    EXPECT_EQ(readSet->light(0)->brightness(), 0.5f);
    EXPECT_EQ(readSet->light(0)->refCount(), 1u);
}

// A final mask that bit 0 cannot express needs 9.6 or later.
TEST_F(AttributeTypeTest, PartialFinalMaskNeedsFormat96) {
    Vq::SharedPtr<VqDrawStyle> ds = new VqDrawStyle();
    ds->setFieldFinal(VqDrawStyle::FlatShading, true);
    EXPECT_TRUE(ds->isPostV95Content());
    for (auto [minor, kept] : {std::pair{5, false}, std::pair{6, true}}) {
        std::vector<Vq::SharedPtr<VqBase>> back = readAll(writeAll(9, minor, {ds.get()}), 9, minor, 1);
        const VqDrawStyle* d = Vq::typeCast<VqDrawStyle>(back[0].get());
        ASSERT_TRUE(d);
        EXPECT_EQ(d->isFieldFinal(VqDrawStyle::FlatShading), kept) << minor;
    }
}

// Threads asking a shared attribute for its hash at once all get the value
// that one thread alone computes: a type's hash is built in steps on top of
// its base's, and no reader may see a step.
TEST_F(AttributeTypeTest, ConcurrentFirstHashesAgree) {
    auto make = [] {
        Vq::SharedPtr<VqMaterial> m = new VqMaterial();
        m->setDiffuseColor(VqVec4f(0.1f, 0.2f, 0.3f, 0.4f));
        m->setShininess(0.7f);
        return m;
    };
    const uint32_t expected = make()->hashValue();
    for (int round = 0; round < 500; ++round) {
        Vq::SharedPtr<VqMaterial> m = make();
        uint32_t got[4] = {};
        runTogether([&](int t) { got[t] = m->hashValue(); });
        for (uint32_t g : got)
            ASSERT_EQ(g, expected) << "round " << round;
    }
}

// The leak report names a string atom's text and a transform's position.
TEST_F(AttributeTypeTest, LeakReportShowsStringsAndPositions) {
    ASSERT_TRUE(VqBase::enableVqBaseTracking(true));
    {
        Vq::SharedPtr<VqStringPropAtom> text = new VqStringPropAtom("bolt M8");
        Vq::SharedPtr<VqXform> xf = new VqXform(translation(1.0, 2.5, -3.0));
        std::ostringstream os;
        ASSERT_TRUE(VqBase::reportMemoryLeaks(os));
        EXPECT_NE(os.str().find(" is a VqStringPropAtom with refCount 1 String: bolt M8\n"),
                  std::string::npos)
            << os.str();
        EXPECT_NE(os.str().find(" is a VqXform with refCount 1 Position=[1 2.5 -3]\n"), std::string::npos)
            << os.str();
    }
    ASSERT_TRUE(VqBase::enableVqBaseTracking(false));
}

// States built at once on several threads from one shared cutting plane give
// it one identifier, not one per thread.
TEST_F(AttributeTypeTest, ConcurrentStatesShareOnePlaneIdentifier) {
    ASSERT_EQ(VqCuttingPlane::numIDsInUse(), 0);
    for (int round = 0; round < 200; ++round) {
        Vq::SharedPtr<VqCuttingPlane> plane = new VqCuttingPlane(1.0, 0.0, 0.0, 0.5);
        std::vector<VqState> states(4);
        bool ok[4] = {};
        runTogether([&](int t) { ok[t] = states[size_t(t)].accumAttribute(plane.get(), nullptr); });
        ASSERT_EQ(VqCuttingPlane::numIDsInUse(), 1) << "round " << round;
        for (int t = 0; t < 4; ++t) {
            ASSERT_TRUE(ok[t]);
            const auto* acc = static_cast<const VqCuttingPlane*>(
                states[size_t(t)].attribute(VqCuttingPlane::classTypeID()));
            EXPECT_EQ(acc->accumulatedPlanes().at(0)->planeID(), plane->planeID());
        }
        states.clear();
        plane = nullptr;
        ASSERT_EQ(VqCuttingPlane::numIDsInUse(), 0);
    }
}
