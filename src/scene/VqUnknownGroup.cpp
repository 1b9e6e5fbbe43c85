#include "VqUnknownGroup.h"

#include "VqFactory.h"

VQ_IMPLEMENT_TYPE(VqUnknownGroup, VqGroup, CLSID_ZQUnknownGroup)
