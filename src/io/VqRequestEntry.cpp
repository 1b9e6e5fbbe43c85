#include "VqRequestEntry.h"

#include "VqErrorState.h"

#include <new>

VqRequestInfo VqRequestEntry::info() const {
    return VqRequestInfo(_pObject.get(), _fPriority);
}

bool VqRequestEntry::isHandled() const {
    const Stage s = stage();
    return s >= REQ_STAGE_POSTFLT;
}

void VqRequestEntry::_storeError(VqErrorCode code, VqStdError* err) {
    _pError = err ? Vq::SharedPtr<VqStdError>(err) : VqErrorState::currentError();
    // A failure that left nothing in the error state still counts as one.
    if (!_pError) _pError = new VqStdError("VqRequestEntry", "handleEntry", "<none>", "handleEntry()", code);
    _eErrorCode = code;
}

void VqRequestEntry::_handle() {
    try {
        if (!handleEntry()) {
            Vq::SharedPtr<VqStdError> err = VqErrorState::currentError();
            _storeError(err ? err->code() : VQ_ERR_INTERNAL, err.get());
        }
    } catch (const std::bad_alloc&) {
        VqErrorState::recordCurrentException("VqRequestEntry", "handleEntry");
        _storeError(VQ_ERR_ALLOC);
    } catch (...) {
        VqErrorState::recordCurrentException("VqRequestEntry", "handleEntry");
        _storeError(VQ_ERR_INTERNAL);
    }
}
