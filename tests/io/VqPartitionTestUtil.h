#pragma once

#include "VqCuttingPlane.h"
#include "VqDrawStyle.h"
#include "VqFloat32PropAtom.h"
#include "VqFog.h"
#include "VqGroup.h"
#include "VqInstance.h"
#include "VqInt32PropAtom.h"
#include "VqLOD.h"
#include "VqLateLoadedPropAtom.h"
#include "VqLight.h"
#include "VqLightSet.h"
#include "VqLineStyle.h"
#include "VqMappingSurface.h"
#include "VqMaterial.h"
#include "VqPartition.h"
#include "VqPointStyle.h"
#include "VqRangeLOD.h"
#include "VqShader.h"
#include "VqShaderEffects.h"
#include "VqStringPropAtom.h"
#include "VqSwitch.h"
#include "VqTestAttr.h"
#include "VqTexCoordGen.h"
#include "VqTexImage.h"
#include "VqXform.h"

#include <string>

// The key of the test's late-loaded property.
inline Vq::SharedPtr<VqStringPropAtom> llKey() {
    return new VqStringPropAtom("VQ_LLPROP_TEST");
}

// A group with one node per attribute type, each attribute set away from its
// defaults; the light set's lights are written only because the set names them.
inline Vq::SharedPtr<VqGroup> buildAttributeSampler() {
    Vq::SharedPtr<VqDrawStyle> ds = new VqDrawStyle();
    ds->setTwoSidedLighting(true);
    ds->setLighting(false);
    Vq::SharedPtr<VqLineStyle> ls = new VqLineStyle();
    ls->setLineWidth(2.5f);
    Vq::SharedPtr<VqPointStyle> ps = new VqPointStyle();
    ps->setPointSize(7.0f);
    Vq::SharedPtr<VqMaterial> mtl = new VqMaterial();
    mtl->setDiffuseColor(VqVec4f(0.1f, 0.2f, 0.3f, 0.4f));
    mtl->setReflectivity(0.25f);
    VqMatrix4d m;
    m.m[3][0] = 1.0;
    m.m[3][1] = 2.0;
    m.m[0][0] = 0.5;
    Vq::SharedPtr<VqXform> xf = new VqXform(m);
    Vq::SharedPtr<VqFog> fog = new VqFog();
    fog->setMode(VQ_FOG_LINEAR);
    fog->setRange(2.0f, 9.0f);
    Vq::SharedPtr<VqCuttingPlane> cp = new VqCuttingPlane(0.0, 1.0, 0.0, -2.0);
    Vq::SharedPtr<VqMappingCylinder> cyl = new VqMappingCylinder();
    cyl->setCylinderParams(VqVec3d(1, 2, 3), VqVec3d(0, 0, 1), VqVec3d(1, 0, 0), 2.0, 4.0);
    Vq::SharedPtr<VqTexCoordGen> tcg = new VqTexCoordGen();
    tcg->setMappingSurface(cyl.get());
    Vq::SharedPtr<VqShaderEffects> fx = new VqShaderEffects();
    fx->setEnable(true);
    fx->setBumpiness(-3.0f);
    Vq::SharedPtr<VqTexImage> tex = new VqTexImage(VQ_TEXTYPE_2D);
    tex->setImage(2, 1, 3, {1, 2, 3, 4, 5, 6});
    Vq::SharedPtr<Vq::Shader> sh = new Vq::FragmentShader();
    sh->setSource(Vq::Shader::Fragment, VqString("void main() {}"));
    Vq::SharedPtr<VqInfiniteLight> sun = new VqInfiniteLight();
    sun->setDirection(VqVec3f(1.0f, 0.0f, 0.0f));
    Vq::SharedPtr<VqPointLight> spot = new VqPointLight();
    spot->setSpot(VqVec3f(0.0f, -1.0f, 0.0f), 30.0f, 2);
    Vq::SharedPtr<VqLightSet> lights = new VqLightSet();
    lights->appendLight(sun.get());
    lights->appendLight(spot.get());

    Vq::SharedPtr<VqGroup> g = new VqGroup();
    for (VqAttribute* a : std::initializer_list<VqAttribute*>{ds.get(), ls.get(), ps.get(), mtl.get(),
                                                              xf.get(), fog.get(), cp.get(), tcg.get(),
                                                              fx.get(), tex.get(), sh.get(), lights.get()}) {
        Vq::SharedPtr<VqNode> n = new VqNode();
        n->appendAttribute(a);
        g->appendChild(n.get());
    }
    return g;
}

// Light sets name their lights: two sets are equal when their lights are.
inline bool attributesEqualByValue(const VqAttribute& a, const VqAttribute& b) {
    const auto* sa = Vq::typeCast<VqLightSet>(&a);
    const auto* sb = Vq::typeCast<VqLightSet>(&b);
    if (!sa || !sb) return a.isEqualHook(b);
    if (sa->numLights() != sb->numLights()) return false;
    for (int i = 0; i < sa->numLights(); ++i)
        if (sa->light(i)->type() != sb->light(i)->type() || !sa->light(i)->isEqual(*sb->light(i)))
            return false;
    return true;
}

// A partition holding one node of each class, one attribute of each type, a subgraph shared through an
// instance and a second parent, attributes, string, integer and float
// properties, and a late-loaded property whose data is a number.
inline Vq::SharedPtr<VqPartition> buildSampleGraph(int parts = 3) {
    Vq::SharedPtr<VqPartition> root = new VqPartition();
    root->addProp(new VqStringPropAtom("name"), new VqStringPropAtom("assembly"));
    Vq::SharedPtr<VqGroup> shared = new VqGroup();
    shared->addProp(new VqStringPropAtom("name"), new VqStringPropAtom("bolt"));
    shared->appendAttribute(new TestAttr(0.5f));
    for (int i = 0; i < parts; ++i) {
        Vq::SharedPtr<VqNode> leaf = new VqNode();
        leaf->addProp(new VqStringPropAtom("index"), new VqInt32PropAtom(i));
        leaf->addProp(new VqStringPropAtom("mass"), new VqFloat32PropAtom(0.25f * static_cast<float>(i)));
        shared->appendChild(leaf.get());
    }
    Vq::SharedPtr<VqInstance> inst = new VqInstance();
    inst->replaceChild(shared.get());
    Vq::SharedPtr<VqLOD> lod = new VqLOD();
    for (int i = 0; i < 3; ++i)
        lod->appendChild(new VqNode());
    lod->setRelativeQuality(0, 0.5f);
    lod->setRelativeQuality(1, 0.25f);
    lod->setRelativeQuality(2, 0.125f);
    Vq::SharedPtr<VqRangeLOD> range = new VqRangeLOD();
    range->appendChild(shared.get());
    range->appendChild(new VqNode());
    range->setRangeLimits({10.0f, 20.0f});
    Vq::SharedPtr<VqSwitch> sw = new VqSwitch();
    for (int i = 0; i < 3; ++i)
        sw->appendChild(new VqNode());
    sw->setSelectedChild(2);
    Vq::SharedPtr<VqNode> data = new VqNode();
    Vq::SharedPtr<VqLateLoadedPropAtom> ll = new VqLateLoadedPropAtom(VqGUID(), 4);
    ll->setObject(new VqInt32PropAtom(4711));
    data->addProp(llKey().get(), ll.get(), false);
    data->appendAttribute(new TestAttr(7.0f));
    Vq::SharedPtr<VqGroup> attrs = buildAttributeSampler();
    for (VqNode* n : {static_cast<VqNode*>(inst.get()), static_cast<VqNode*>(lod.get()),
                      static_cast<VqNode*>(range.get()), static_cast<VqNode*>(sw.get()),
                      static_cast<VqNode*>(attrs.get()), data.get()})
        root->appendChild(n);
    return root;
}
