#pragma once

#include "VqFloat32PropAtom.h"
#include "VqGroup.h"
#include "VqInstance.h"
#include "VqInt32PropAtom.h"
#include "VqLOD.h"
#include "VqLateLoadedPropAtom.h"
#include "VqPartition.h"
#include "VqRangeLOD.h"
#include "VqStringPropAtom.h"
#include "VqSwitch.h"
#include "VqTestAttr.h"

#include <string>

// The key of the test's late-loaded property.
inline Vq::SharedPtr<VqStringPropAtom> llKey() {
    return new VqStringPropAtom("VQ_LLPROP_TEST");
}

// A partition holding one node of each class, a subgraph shared through an
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
    for (VqNode* n : {static_cast<VqNode*>(inst.get()), static_cast<VqNode*>(lod.get()),
                      static_cast<VqNode*>(range.get()), static_cast<VqNode*>(sw.get()), data.get()})
        root->appendChild(n);
    return root;
}
