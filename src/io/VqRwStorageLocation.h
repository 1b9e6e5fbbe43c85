#pragma once

#include "VqExport.h"
#include "VqStorageLocation.h"

// A document in a product-data-management system, named by four strings.
// Its text form is "/<id1>,<id2>/<name>" with identifiers of exactly 14
// characters each.
class VQ_API VqRwStorageLocation : public VqStorageLocation {
    VQ_DECLARE_TYPE(VqRwStorageLocation)
public:
    VqRwStorageLocation() = default;
    VqRwStorageLocation(const VqString& id1, const VqString& id2, const VqString& name,
                        const VqString& relation = VqString());
    VqRwStorageLocation(const VqRwStorageLocation& o) = default;

    uint32_t hash() const override;
    bool isEqual(const VqStorageLocation& other) const override;
    bool getName(VqString& out) const override;
    bool clone(Vq::SharedPtr<VqStorageLocation>& out) const override;
    bool isRelative() const override { return false; }

    const VqString& id1() const { return _strId1; }
    const VqString& id2() const { return _strId2; }
    const VqString& name() const { return _strName; }
    const VqString& relation() const { return _strRelation; }

    // The fixed layout of the text form.
    static constexpr int kId1Start = 1;
    static constexpr int kCommaPos = 15;
    static constexpr int kNameSepPos = 30;
    static constexpr int kIdLength = 14;
    // True when the text has the layout above (longer than 31 characters).
    static bool isLocationText(const VqString& text);
    static bool fromLocationText(const VqString& text, Vq::SharedPtr<VqStorageLocation>& out);
    bool toLocationText(VqString& out) const;

private:
    VqString _strId1;
    VqString _strId2;
    VqString _strName;
    VqString _strRelation;
};
