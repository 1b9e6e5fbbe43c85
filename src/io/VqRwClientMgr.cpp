#include "VqRwClientMgr.h"

#include "VqByteStream.h"
#include "VqErrorState.h"
#include "VqStreamMgr.h"

const char* const VqRwClientMgr::s_notAvailableText = "Product data management client not available";

bool VqRwClientMgr::createStreamMgr(const VqRwStorageLocation*, bool, Vq::SharedPtr<VqStreamMgr>& out) {
    out.reset();
    VQ_FAIL("VqRwClientMgr", "createStreamMgr", s_notAvailableText, VQ_ERR_UNREACHABLE);
}

bool VqRwClientMgr::createRawStream(const VqRwStorageLocation*, bool, bool,
                                    Vq::SharedPtr<VqByteStream>& out) {
    out.reset();
    VQ_FAIL("VqRwClientMgr", "createRawStream", s_notAvailableText, VQ_ERR_UNREACHABLE);
}
