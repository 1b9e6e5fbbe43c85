#include "VqTriIter.h"

#include "VqFactory.h"

VQ_IMPLEMENT_TYPE(VqTriIter, VqBase, CLSID_ZQTriIter)
