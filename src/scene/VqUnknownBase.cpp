#include "VqUnknownBase.h"

#include "VqFactory.h"

VQ_IMPLEMENT_TYPE(VqUnknownBase, VqBase, CLSID_ZQUnknownBase)
