#pragma once

#include "VqExport.h"
#include "VqTypes.h"

class VqCodecDriver2;
class VqProbContext2;

// Takes the next free probability context of a driver's stack for the
// guard's lifetime and gives it back on every path. A packet holds one while
// it codes and while its nested packets code, so the stack depth is the
// packet's nesting depth. Taking fails (recording the error with the given
// code) when the stack is full.
class VQ_API VqAutoCodecDriver2ScratchCntx {
public:
    VqAutoCodecDriver2ScratchCntx(VqCodecDriver2& driver, VqErrorCode eFullCode);
    ~VqAutoCodecDriver2ScratchCntx();
    VqAutoCodecDriver2ScratchCntx(const VqAutoCodecDriver2ScratchCntx&) = delete;
    VqAutoCodecDriver2ScratchCntx& operator=(const VqAutoCodecDriver2ScratchCntx&) = delete;

    bool ok() const { return _pScratch != nullptr; }
    VqProbContext2& operator*() const { return *_pScratch; }
    VqProbContext2* get() const { return _pScratch; }

private:
    VqCodecDriver2& _driver;
    VqProbContext2* _pScratch;
};
