#pragma once

#include "VqGroup.h"
#include "VqPartition.h"
#include "VqPropBase.h"
#include "VqTestObjectStream.h"

#include <cstdint>
#include <unordered_set>
#include <vector>

// Writes a scene graph the way a partition writes a graph segment — the
// graph's elements, an end marker, the property atoms, an end marker, the
// property table — and reads it back the way a partition does: every object
// read is kept alive until the swizzler has been cleared and every node's
// lists have been fixed up. Needs an initialised library.
class VqTestSegment {
public:
    // The objects of the graph in the writer's walk order, and those of them
    // that can hold properties.
    static void collect(const VqNode* root, std::vector<const VqBase*>& elements,
                        std::vector<const VqPropBase*>& holders) {
        VqNode::graphObjects(root, elements);
        for (const VqBase* e : elements)
            if (const auto* h = Vq::typeCast<VqPropBase>(e)) holders.push_back(h);
    }

    static bool writeElement(VqObjectStream& os, int major, const VqBase* obj) {
        if (major >= 10) return VqPartition::writeLogicalElementV10(os, obj);
        if (major == 9) return VqPartition::writeLogicalElementV9(os, obj);
        return VqPartition::writeLogicalElement(os, obj);
    }

    static bool readElement(VqObjectStream& os, int major, Vq::SharedPtr<VqBase>& out) {
        if (major >= 10) return VqPartition::readLogicalElementV10(os, out);
        VqBase* raw = nullptr;
        bool ok = major == 9 ? VqPartition::readLogicalElementV9(os, raw)
                             : VqPartition::readLogicalElement(os, raw);
        out = raw;
        return ok;
    }

    static bool write(VqObjectStream& os, int major, const VqNode* root) {
        std::vector<const VqBase*> elements;
        std::vector<const VqPropBase*> holders;
        collect(root, elements, holders);
        for (const VqBase* e : elements)
            if (!writeElement(os, major, e)) return false;
        if (!writeElement(os, major, nullptr)) return false;
        std::unordered_set<const VqBase*> atoms;
        for (const VqPropBase* h : holders) {
            std::vector<std::pair<const VqPropAtom*, const VqPropAtom*>> pairs;
            h->persistablePairs(pairs);
            for (const auto& [k, v] : pairs)
                for (const VqPropAtom* a : {k, v})
                    if (atoms.insert(a).second && !writeElement(os, major, a)) return false;
        }
        if (!writeElement(os, major, nullptr)) return false;
        return VqPropBase::writePropertyTable(os, holders);
    }

    // Every object read, the root first.
    struct Result {
        std::vector<Vq::SharedPtr<VqBase>> objects;
        VqNode* root() const {
            return objects.empty() ? nullptr : Vq::typeCast<VqNode>(objects.front().get());
        }
    };

    static bool read(VqObjectStream& os, int major, Result& out, bool readBBoxHier = true) {
        for (int section = 0; section < 2; ++section)
            for (;;) {
                Vq::SharedPtr<VqBase> obj;
                if (!readElement(os, major, obj)) return false;
                if (!obj && os.lastElementUnknown()) continue;
                if (!obj) break;
                out.objects.push_back(obj);
            }
        if (!VqPropBase::readPropertyTable(os, readBBoxHier)) return false;
        // References to objects the segment does not hold end as null here.
        if (!os.setSwizzler(nullptr)) return false;
        return fixup(out);
    }

    static bool fixup(Result& r) {
        bool ok = true;
        for (auto& o : r.objects)
            if (auto* n = Vq::typeCast<VqNode>(o.get())) ok = n->fixupLists() && ok;
        for (auto& o : r.objects)
            if (auto* n = Vq::typeCast<VqNode>(o.get()))
                n->setInternalFlag(VqNode::VQ_NODE_IFLAG_NEEDSLOADFIXUP, false);
        return ok;
    }

    static std::vector<uint8_t> save(const VqNode* root, int major, int minor) {
        VqTestObjectStream os = VqTestObjectStream::forWriting(major, minor);
        if (!write(*os, major, root)) return {};
        return os.bytes();
    }

    // The root of the graph read from image; the other objects live through it.
    static Vq::SharedPtr<VqNode> load(const std::vector<uint8_t>& image, int major, int minor,
                                      bool readBBoxHier = true) {
        VqTestObjectStream os = VqTestObjectStream::forReading(image, major, minor);
        Result r;
        if (!read(*os, major, r, readBBoxHier)) return nullptr;
        return r.root();
    }
};
