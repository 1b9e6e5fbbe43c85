#include "VqPolygonTopoMesh.h"

#include "VqFactory.h"

VQ_IMPLEMENT_TYPE(VqPolygonTopoMesh, VqTopoMesh, CLSID_ZQPolygonTopoMesh)
