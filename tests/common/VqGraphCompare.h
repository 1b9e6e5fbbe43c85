#pragma once

#include "VqAttribute.h"
#include "VqBasePtrPropAtom.h"
#include "VqInstance.h"
#include "VqLOD.h"
#include "VqLateLoadedPropAtom.h"
#include "VqNode.h"
#include "VqRangeLOD.h"
#include "VqSwitch.h"

#include <algorithm>
#include <sstream>
#include <string>
#include <unordered_map>
#include <vector>

// Compares two scene graphs: node classes, stored flags, attributes,
// properties, the fields of each node class and the sharing of subgraphs
// (a node reached twice in one graph must be one node reached twice in the
// other). Returns "" when they match, else a description of the first
// difference, so that tests read EXPECT_EQ(VqGraphCompare().compare(a, b), "").
class VqGraphCompare {
public:
    // Only what a file keeps: persistable attributes and properties.
    bool persistentOnly = true;
    // LOD qualities and forced child (format 10 keeps neither).
    bool lodSelection = true;
    // Compares attributes of one type beyond the base fields; the default
    // asks the attribute's own equality.
    bool (*attributesEqual)(const VqAttribute&, const VqAttribute&) =
        [](const VqAttribute& a, const VqAttribute& b) { return a.isEqualHook(b); };

    std::string compare(const VqNode* a, const VqNode* b) {
        _map.clear();
        _back.clear();
        return _node(a, b, "root");
    }

private:
    std::unordered_map<const VqBase*, const VqBase*> _map;
    std::unordered_map<const VqBase*, const VqBase*> _back;

    template <class T>
    static std::string diff(const std::string& where, const char* what, const T& x, const T& y) {
        std::ostringstream s;
        s << where << ": " << what << " differs (" << x << " vs " << y << ")";
        return s.str();
    }

    // Records a as corresponding to b; false when either already has another partner.
    bool _pair(const VqBase* a, const VqBase* b) {
        auto i = _map.find(a);
        auto j = _back.find(b);
        if (i != _map.end() || j != _back.end()) return i != _map.end() && i->second == b;
        _map[a] = b;
        _back[b] = a;
        return true;
    }

    std::string _node(const VqNode* a, const VqNode* b, const std::string& where) {
        if (!a || !b) return a == b ? "" : where + ": one node is null";
        bool seen = _map.count(a) != 0;
        if (!_pair(a, b)) return where + ": sharing differs";
        if (seen) return "";
        if (a->type() != b->type()) return diff(where, "class", a->type()->name, b->type()->name);
        if (a->isIgnored() != b->isIgnored())
            return diff(where, "ignore flag", a->isIgnored(), b->isIgnored());
        if (std::string d = _attributes(a, b, where); !d.empty()) return d;
        if (std::string d = _props(a, b, where); !d.empty()) return d;
        if (std::string d = _fields(a, b, where); !d.empty()) return d;
        unsigned int na = a->numChildren(false), nb = b->numChildren(false);
        if (na != nb) return diff(where, "child count", na, nb);
        for (unsigned int i = 0; i < na; ++i) {
            std::string d = _node(a->child(static_cast<int>(i), false), b->child(static_cast<int>(i), false),
                                  where + "/" + std::to_string(i));
            if (!d.empty()) return d;
        }
        return "";
    }

    std::vector<const VqAttribute*> _attrList(const VqNode* n) const {
        VqAttribute* const* list = nullptr;
        int count = 0;
        n->attributes(list, count);
        std::vector<const VqAttribute*> out;
        for (int i = 0; i < count; ++i)
            if (!persistentOnly || list[i]->isPersistable()) out.push_back(list[i]);
        return out;
    }

    std::string _attributes(const VqNode* a, const VqNode* b, const std::string& where) {
        auto la = _attrList(a), lb = _attrList(b);
        if (la.size() != lb.size()) return diff(where, "attribute count", la.size(), lb.size());
        for (size_t i = 0; i < la.size(); ++i) {
            std::string w = where + " attribute " + std::to_string(i);
            const VqAttribute &x = *la[i], &y = *lb[i];
            if (x.type() != y.type()) return diff(w, "class", x.type()->name, y.type()->name);
            if (!_pair(&x, &y)) return w + ": sharing differs";
            const uint8_t stored = static_cast<uint8_t>(~VqAttribute::VQ_ATTR_DYNAMIC);
            if ((x.stateFlags() & stored) != (y.stateFlags() & stored))
                return diff(w, "flags", int(x.stateFlags()), int(y.stateFlags()));
            if (x.inhibitMask() != y.inhibitMask())
                return diff(w, "inhibit mask", x.inhibitMask().bits(), y.inhibitMask().bits());
            if (x.finalMask() != y.finalMask())
                return diff(w, "final mask", x.finalMask().bits(), y.finalMask().bits());
            if (!attributesEqual(x, y)) return w + ": values differ";
            if (std::string d = _props(&x, &y, w); !d.empty()) return d;
        }
        return "";
    }

    std::string _props(const VqPropBase* a, const VqPropBase* b, const std::string& where) {
        std::vector<std::pair<const VqPropAtom*, const VqPropAtom*>> pa, pb;
        if (persistentOnly) {
            a->persistablePairs(pa);
            b->persistablePairs(pb);
        } else {
            for (const VqPropBase* h : {a, b}) {
                auto& out = h == a ? pa : pb;
                for (int i = 0; i < h->numProps(false); ++i) {
                    VqPropAtom *k = nullptr, *v = nullptr;
                    h->prop(i, k, v, false);
                    out.emplace_back(k, v);
                }
            }
        }
        if (pa.size() != pb.size()) return diff(where, "property count", pa.size(), pb.size());
        for (const auto& [k, v] : pa) {
            VqPropAtom* other = nullptr;
            b->propValue(k, other, false);
            std::ostringstream key;
            k->write(key);
            if (!other) return where + ": property " + key.str() + " missing";
            if (std::string d = _value(*v, *other, where + " property " + key.str()); !d.empty()) return d;
        }
        return "";
    }

    std::string _value(const VqPropAtom& x, const VqPropAtom& y, const std::string& where) {
        if (x.type() != y.type()) return diff(where, "value class", x.type()->name, y.type()->name);
        if (x.freeBits() != y.freeBits()) return diff(where, "free bits", x.freeBits(), y.freeBits());
        if (auto* px = Vq::typeCast<VqBasePtrPropAtom>(&x)) {
            // References compare through the correspondence of the two graphs.
            const VqBase* rx = px->value();
            const VqBase* ry = static_cast<const VqBasePtrPropAtom&>(y).value();
            if (!rx || !ry) return rx == ry ? "" : where + ": one reference is null";
            auto it = _map.find(rx);
            return it != _map.end() && it->second == ry ? "" : where + ": references differ";
        }
        if (auto* lx = Vq::typeCast<VqLateLoadedPropAtom>(&x)) {
            const auto& ly = static_cast<const VqLateLoadedPropAtom&>(y);
            if (lx->segType() != ly.segType())
                return diff(where, "segment type", lx->segType(), ly.segType());
            return lx->guid() == ly.guid() ? "" : where + ": segment GUIDs differ";
        }
        if (x == y) return "";
        std::ostringstream s;
        s << where << ": values differ (";
        x.write(s);
        s << " vs ";
        y.write(s);
        s << ")";
        return s.str();
    }

    std::string _fields(const VqNode* a, const VqNode* b, const std::string& where) {
        if (auto* la = Vq::typeCast<VqLOD>(a); la && lodSelection) {
            auto* lb = static_cast<const VqLOD*>(b);
            if (la->forcedChild() != lb->forcedChild())
                return diff(where, "forced child", la->forcedChild(), lb->forcedChild());
            const float *qa = nullptr, *qb = nullptr;
            int na = 0, nb = 0;
            la->relativeQualities(qa, na);
            lb->relativeQualities(qb, nb);
            if (na != nb || !std::equal(qa, qa + na, qb)) return where + ": relative qualities differ";
        }
        if (auto* ra = Vq::typeCast<VqRangeLOD>(a)) {
            auto* rb = static_cast<const VqRangeLOD*>(b);
            if (ra->rangeLimits() != rb->rangeLimits()) return where + ": range limits differ";
            if (ra->center() != rb->center()) return where + ": range centre differs";
        }
        if (auto* sa = Vq::typeCast<VqSwitch>(a)) {
            auto* sb = static_cast<const VqSwitch*>(b);
            if (sa->selectedChild() != sb->selectedChild())
                return diff(where, "selected child", sa->selectedChild(), sb->selectedChild());
        }
        return "";
    }
};
