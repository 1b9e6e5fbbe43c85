#include "VqLineStripTopoMesh.h"

#include "VqFactory.h"

VQ_IMPLEMENT_TYPE(VqLineStripTopoMesh, VqTopoMesh, CLSID_ZQLineStripTopoMesh)
