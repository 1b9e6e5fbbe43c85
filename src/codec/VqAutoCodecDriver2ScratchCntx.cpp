#include "VqAutoCodecDriver2ScratchCntx.h"

#include "VqCodecDriver2.h"

VqAutoCodecDriver2ScratchCntx::VqAutoCodecDriver2ScratchCntx(VqCodecDriver2& driver, VqErrorCode eFullCode)
    : _driver(driver), _pScratch(driver._takeScratchCntx(eFullCode)) {}

VqAutoCodecDriver2ScratchCntx::~VqAutoCodecDriver2ScratchCntx() {
    if (_pScratch) _driver._releaseScratchCntx(_pScratch);
}
