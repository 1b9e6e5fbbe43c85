#include "VqTriStripTopoMesh.h"

#include "VqFactory.h"

VQ_IMPLEMENT_TYPE(VqTriStripTopoMesh, VqTopoMesh, CLSID_ZQTriStripTopoMesh)
