#pragma once

#include "VqExport.h"
#include "VqShape.h"

// Wires whose representation an external library holds, reached through a
// bridge; this library keeps their record as stored (see VqWireSet.cpp).
// The node's record is the shape's.
class VQ_API VqWireSet : public VqShape {
    VQ_DECLARE_TYPE(VqWireSet)
public:
    enum Binding : int { NoBind = 0, PerVertex = 1, PerFacet = 2, PerPrim = 3 };

    VqWireSet() = default;
    VqWireSet(const VqWireSet& o) = default;

    VqShapeImpl* createImplInstance() const override;
    // The implementation's bindings once it is loaded, the node's until then.
    void bindings(Binding& normal, Binding& texture, Binding& color) const;
    bool setBindings(Binding normal, Binding texture, Binding color);

protected:
    bool _prepareNewImpl(VqShapeImpl& impl) const override;
};
