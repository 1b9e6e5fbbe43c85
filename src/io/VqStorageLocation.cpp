#include "VqStorageLocation.h"

#include "VqFactory.h"

VQ_IMPLEMENT_ABSTRACT_TYPE(VqStorageLocation, VqBase, CLSID_ZQStorageLocation)
