#include "VqUnknownNode.h"

#include "VqFactory.h"
#include "VqElementIO.h"

VQ_IMPLEMENT_TYPE(VqUnknownNode, VqNode, CLSID_ZQUnknownNode)

bool VqUnknownNode::_wholeIn(int generation) const {
    // A shape of an unknown type: nothing of a shape's layout is known here.
    if (_nBaseType == VQ_BASETYPE_SHAPE) return true;
    return generation != 10;
}
