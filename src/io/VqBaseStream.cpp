#include "VqBaseStream.h"

#include "VqFactory.h"

VQ_IMPLEMENT_ABSTRACT_TYPE(VqBaseStream, VqBase, CLSID_ZQBaseStream)
