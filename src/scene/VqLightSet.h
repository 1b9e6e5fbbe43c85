#pragma once

#include "VqAttributeT.h"
#include "VqExport.h"
#include "VqLight.h"

#include <atomic>
#include <vector>

#include "VqXform.h"

class VqPath;
class VqTexImage;

// The lights that shine on a subgraph. Accumulated along a path, the lights
// of the lowest set come first; each light in model coordinates carries the
// transform accumulated above the set that brought it.
class VQ_API VqLightSet : public VqAttributeT<VqLightSet> {
    VQ_DECLARE_TYPE(VqLightSet)
public:
    VqLightSet() = default;
    VqLightSet(const VqLightSet& o);
    VqLightSet& operator=(const VqLightSet&) = delete;
    ~VqLightSet() override;

    unsigned int _numFields() const override { return 1; }
    bool _apply(VqRenderContext& rc, const VqState* state, bool, bool) const override;
    bool accumulateHook(const VqAttribute& in, const VqState* state, const VqPath* path) override;
    bool receiveNotification(const VqBase* who, Vq::BaseChange change) const override;
    bool addNotification(const VqNotifyBase* client) const override;
    bool deserialize(VqObjectStream& os) override;

    bool appendLight(VqLight* light);
    bool removeLight(int index);
    int numLights() const { return static_cast<int>(_vpLights.size()); }
    // Lights in the given coordinate system; VQ_COORDSYS_NONE counts all.
    int numLights(VqCoordSystem cs) const;
    VqLight* light(int index) const;
    // The transform placing accumulated light i (null when the light needs none).
    const VqXform* lightXform(int index) const;

    // After reading, the light slots hold plain addresses filled in by the
    // stream; this takes their references, registers with the lights and
    // drops the slots left empty.
    bool _fixupLists() override;
    void _referencedObjects(std::vector<const VqBase*>& out) const override;

    auto _fields() const { return std::tie(_vpLights, _vpXforms); }
    bool _writeFields(VqObjectStream& os, const Vq::RecordFormat& fmt) const;
    bool _readFields(VqObjectStream& os, const Vq::RecordFormat& fmt, int localVersion);

private:
    static bool _shadowMap(const VqLight& light, const VqLightSet& holder, const VqPath* path, int& index,
                           Vq::SharedPtr<const VqTexImage>& tex);

    std::vector<Vq::SharedPtr<VqLight>> _vpLights;
    std::vector<Vq::SharedPtr<const VqXform>> _vpXforms;
    bool _bNeedsFixup = false;
    // Set once something listens to this set; only then does the set listen
    // to its lights. An accumulated copy in a state has no clients, so
    // building states leaves the shared lights' client lists alone.
    mutable std::atomic<bool> _bListening{false};
};
