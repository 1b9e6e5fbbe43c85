#include "VqSpatialTree.h"

#include "VqFactory.h"

// Registered for identity: a tree is made by its kind, never from the base.
VQ_IMPLEMENT_ABSTRACT_TYPE(Vq::SpatialTree, VqBase, CLSID_VQSpatialTree)
