#pragma once

#include "VqAttribute.h"
#include "VqObjectStream.h"

// A probe attribute for tests: one value written in every format, three
// fields, and optionally a placement. Each test binary that uses it defines
// its type statics once with VQ_IMPLEMENT_TYPE(TestAttr, VqAttribute, CLSID_TestAttr).
class TestAttr : public VqAttribute {
    VQ_DECLARE_TYPE(TestAttr)
public:
    TestAttr() = default;
    explicit TestAttr(float v) : _fValue(v) {}

    // Off: written by a writer that knows the attribute's base class only.
    static inline bool s_bWriteValue = true;
    float _fValue = 0.0f;
    bool _bPlaces = false;
    VqMatrix4d _mPlacement;

    bool clone(VqAttribute*& out) const override {
        VqBase* b = nullptr;
        _clone(b);
        out = static_cast<VqAttribute*>(b);
        return true;
    }
    int compareHook(const VqAttribute& o) const override {
        float v = static_cast<const TestAttr&>(o)._fValue;
        return _fValue < v ? -1 : (_fValue > v ? 1 : 0);
    }
    bool isEqualHook(const VqAttribute& o) const override { return compareHook(o) == 0; }
    unsigned int _numFields() const override { return 3; }
    bool _apply(VqRenderContext&, const VqState*, bool, bool) const override { return true; }
    bool accumulateHook(const VqAttribute& in, const VqState*, const VqPath*) override {
        _fValue = static_cast<const TestAttr&>(in)._fValue;
        return true;
    }
    bool _placement(VqMatrix4d& m) const override {
        if (!_bPlaces) return false;
        m = _mPlacement;
        return true;
    }

    // The value follows the base part without a level of its own, through
    // the hooks that every record level overrides.
    bool _writeValue(VqObjectStream& os) const { return !s_bWriteValue || os.write(_fValue); }
    bool _serializeVQ64virtual(VqObjectStream& os) const override {
        return VqAttribute::_serializeVQ64virtual(os) && _writeValue(os);
    }
    bool _serializeVQ90virtual(VqObjectStream& os) const override {
        return VqAttribute::_serializeVQ90virtual(os) && _writeValue(os);
    }
    bool _serializeVQ100virtual(VqObjectStream& os) const override {
        return VqAttribute::_serializeVQ100virtual(os) && _writeValue(os);
    }
    bool _deserializeVQvirtual(VqObjectStream& os) override {
        return VqAttribute::_deserializeVQvirtual(os) && os.read(&_fValue);
    }
    bool _deserializeVQ90virtual(VqObjectStream& os) override {
        return VqAttribute::_deserializeVQ90virtual(os) && os.read(&_fValue);
    }
    bool _deserializeVQ100virtual(VqObjectStream& os) override {
        return VqAttribute::_deserializeVQ100virtual(os) && os.read(&_fValue);
    }
};

inline constexpr _VqIID CLSID_TestAttr = {0x7E5CE001, 0x5CE1, 0x4E57, {1, 2, 3, 4, 5, 6, 7, 8}};
