#include "VqPointTopoMesh.h"

#include "VqFactory.h"

VQ_IMPLEMENT_TYPE(VqPointTopoMesh, VqTopoMesh, CLSID_ZQPointTopoMesh)
