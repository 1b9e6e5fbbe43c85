// Result-field visualisations kept by a shape: the settings each mode needs,
// their life as a node property through a save and an open, and the point
// set the vector modes draw at.
#include "VqFSStorageLocation.h"
#include "VqLibFixture.h"
#include "VqPartition.h"
#include "VqPointSet.h"
#include "VqPolygonSet.h"
#include "VqShapeDataIter.h"
#include "VqStringPropAtom.h"
#include "VqTempDir.h"
#include "VqTopoMesh.h"
#include "VqVertexRecordFields.h"
#include "VqVertexRecordPool.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <string>

namespace {

using Vq::JSON::JSONArray;
using Vq::JSON::JSONObject;
using Vq::JSON::JSONValue;

JSONObject settings(bool bias = true) {
    JSONObject o;
    o.addMember("Scale", 2.5);
    o.addMember("Sentinel Value", -1.0);
    o.addMember("Max Magnitude", 10.0);
    o.addMember("Step", 3);
    o.addMember("Multiplication Factor", 1.0);
    JSONArray* colors = new JSONArray();
    colors->append(JSONValue(0.25));
    colors->append(JSONValue(0.75));
    o.addMember(VqString("Color Map"), JSONValue(colors));
    o.addMember("Animation Factor", 0.5);
    o.addMember("Display Mode", "Smooth");
    if (bias) {
        o.addMember("Bias", 0.125);
    } else {
        JSONArray* map = new JSONArray();
        map->append(JSONValue(1.0));
        o.addMember(VqString("Value Map"), JSONValue(map));
    }
    o.addMember("Comment", "kept as given");
    return o;
}

// A unit square: one polygon over four vertices.
Vq::SharedPtr<VqPolygonSet> square() {
    Vq::SharedPtr<VqPolygonSet> s = new VqPolygonSet(VQ_GEOMBIND_VTXCOORD3);
    VqShapeDataArrayIter<float, 3> c(std::vector<float>{0, 0, 0, 1, 0, 0, 1, 1, 0, 0, 1, 0});
    EXPECT_TRUE(s->addPrim(&c, nullptr, nullptr, nullptr, 0)) << lastError();
    return s;
}

uint32_t numPoints(VqShape& points) {
    const VqTopoMesh* m = points.ensureConstImpl() ? points.topoMesh() : nullptr;
    return m && m->vtxRecPool() ? m->vtxRecPool()->fields()->numRecords() : 0;
}

using FieldVisTest = VqLibTest;

TEST_F(FieldVisTest, ModesAndGuidsPrintAsNamed) {
    EXPECT_STREQ(VqShape::fieldVisModeName(0), "CAE Contour");
    EXPECT_STREQ(VqShape::fieldVisModeName(1), "CAE Vector");
    EXPECT_STREQ(VqShape::fieldVisModeName(2), "CAE Displacement");
    EXPECT_STREQ(VqShape::fieldVisModeName(3), "CAE AuxArrow");
    EXPECT_EQ(VqShape::fieldVisModeName(4), nullptr);
    EXPECT_EQ(VqShape::fieldVisModeName(-1), nullptr);
    // Upper-case hex, the last eight bytes split 2 + 6, no braces.
    VqString text;
    ASSERT_TRUE(VqShape::fieldSetGUIDString(
        VqGUID(0x0012ABCDu, 0x0A0B, 0xF00D, 0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF), text));
    EXPECT_EQ(text, VqString("0012ABCD-0A0B-F00D-0123-456789ABCDEF"));
}

TEST_F(FieldVisTest, EverySettingMustBeThereWithItsKind) {
    Vq::SharedPtr<VqPolygonSet> s = square();
    // Each missing member is named; so is one of the wrong kind.
    for (const char* name : {"Scale", "Sentinel Value", "Max Magnitude", "Step", "Multiplication Factor",
                             "Color Map", "Animation Factor", "Display Mode"}) {
        SCOPED_TRACE(name);
        JSONObject o = settings();
        o.removeMember(VqString(name));
        EXPECT_FALSE(s->addFieldVisualization(VqShape::VQ_FIELDVIS_CONTOUR, o));
        EXPECT_EQ(lastError(), name);
        o.addMember(VqString(name), JSONValue(true));
        EXPECT_FALSE(s->addFieldVisualization(VqShape::VQ_FIELDVIS_CONTOUR, o));
        EXPECT_EQ(lastError(), name);
    }
    // A number where the colour map's array belongs is refused too.
    JSONObject o = settings();
    o.addMember("Color Map", 1.0);
    EXPECT_FALSE(s->addFieldVisualization(VqShape::VQ_FIELDVIS_CONTOUR, o));
    EXPECT_EQ(lastError(), "Color Map");
    // Neither a bias nor a value map; then each of the two alone.
    o = settings();
    o.removeMember(VqString("Bias"));
    EXPECT_FALSE(s->addFieldVisualization(VqShape::VQ_FIELDVIS_CONTOUR, o));
    EXPECT_EQ(lastError(), "Bias");
    EXPECT_TRUE(s->addFieldVisualization(VqShape::VQ_FIELDVIS_CONTOUR, settings(false))) << lastError();
    EXPECT_TRUE(s->addFieldVisualization(VqShape::VQ_FIELDVIS_DISPLACEMENT, settings(true))) << lastError();
    EXPECT_FALSE(s->addFieldVisualization(4, settings()));
    EXPECT_EQ(lastError(), "eMode");
    // A refused call leaves what was there.
    EXPECT_EQ(s->fieldVisualizationModes(), (std::vector<int>{0, 2}));
}

TEST_F(FieldVisTest, VectorModesDrawAtTheVerticesAndGoWithTheLastOfThem) {
    Vq::SharedPtr<VqPolygonSet> s = square();
    ASSERT_TRUE(s->addFieldVisualization(VqShape::VQ_FIELDVIS_CONTOUR, settings()));
    EXPECT_EQ(s->vectorVisPointSet(), nullptr);
    ASSERT_TRUE(s->addFieldVisualization(VqShape::VQ_FIELDVIS_VECTOR, settings()));
    ASSERT_TRUE(s->addFieldVisualization(VqShape::VQ_FIELDVIS_AUXARROW, settings()));
    Vq::SharedPtr<VqShape> points = s->vectorVisPointSet();
    ASSERT_NE(points, nullptr);
    EXPECT_NE(Vq::typeCast<VqPointSet>(points.get()), nullptr);
    EXPECT_EQ(numPoints(*points), 4u);
    EXPECT_EQ(points->bBoxRaw().max, (VqVec3f(1, 1, 0)));
    // Not a node of the graph: the shape holds it.
    EXPECT_EQ(points->numParents(), 0);

    ASSERT_TRUE(s->removeFieldVisualization(VqShape::VQ_FIELDVIS_VECTOR));
    EXPECT_EQ(s->vectorVisPointSet(), points);
    ASSERT_TRUE(s->removeFieldVisualization(VqShape::VQ_FIELDVIS_AUXARROW));
    EXPECT_EQ(s->vectorVisPointSet(), nullptr);
    // Removing a mode that has none is no error; the last one drops the property.
    EXPECT_TRUE(s->removeFieldVisualization(VqShape::VQ_FIELDVIS_AUXARROW));
    ASSERT_TRUE(s->removeFieldVisualization(VqShape::VQ_FIELDVIS_CONTOUR));
    Vq::SharedPtr<VqStringPropAtom> key = new VqStringPropAtom(Vq::vqPropFieldVis);
    EXPECT_EQ(s->propValue(key.get()), nullptr);
    JSONObject none;
    EXPECT_FALSE(s->fieldVisualization(VqShape::VQ_FIELDVIS_CONTOUR, none));
    EXPECT_EQ(lastError(), "eMode");
}

class FieldVisRoundTrip : public VqLibTest, public ::testing::WithParamInterface<std::pair<int, int>> {
protected:
    void TearDown() override {
        VqPartition::setVersion(9, 5);
        VqLibTest::TearDown();
    }
};

// The settings are a string property: every version keeps them; the points
// are made again from the geometry read back.
TEST_P(FieldVisRoundTrip, SettingsSurviveASaveAndAnOpen) {
    VqTempDir dir;
    Vq::SharedPtr<VqPartition> root = new VqPartition();
    Vq::SharedPtr<VqPolygonSet> s = square();
    ASSERT_TRUE(root->appendChild(s.get()));
    ASSERT_TRUE(s->addFieldVisualization(VqShape::VQ_FIELDVIS_CONTOUR, settings(false)));
    ASSERT_TRUE(s->addFieldVisualization(VqShape::VQ_FIELDVIS_VECTOR, settings()));
    ASSERT_TRUE(VqPartition::setVersion(GetParam().first, GetParam().second));
    ASSERT_TRUE(root->saveAs(dir.dir(), VqString("vis.vq"))) << lastError();

    Vq::SharedPtr<VqPartition> read;
    Vq::SharedPtr<VqFSStorageLocation> loc = new VqFSStorageLocation(dir.dir(), VqString("vis.vq"));
    ASSERT_TRUE(VqPartition::openPartition(loc.get(), nullptr, read)) << lastError();
    ASSERT_EQ(read->numChildren(), 1);
    auto* got = Vq::typeCast<VqShape>(read->child(0));
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(got->fieldVisualizationModes(), (std::vector<int>{0, 1}));
    for (int mode : {0, 1}) {
        JSONObject want = mode == 0 ? settings(false) : settings(), back;
        ASSERT_TRUE(got->fieldVisualization(mode, back)) << lastError();
        EXPECT_TRUE(back.equals(want)) << mode;
    }
    Vq::SharedPtr<VqShape> points = got->vectorVisPointSet();
    ASSERT_NE(points, nullptr) << lastError();
    EXPECT_EQ(numPoints(*points), 4u);
}

INSTANTIATE_TEST_SUITE_P(Versions, FieldVisRoundTrip,
                         ::testing::Values(std::make_pair(6, 4), std::make_pair(9, 5),
                                           std::make_pair(10, 1)));

} // namespace
