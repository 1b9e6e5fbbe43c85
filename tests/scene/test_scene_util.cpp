#include "VqSceneTestUtil.h"

VQ_IMPLEMENT_TYPE(TestAttr, VqAttribute, CLSID_TestAttr)
