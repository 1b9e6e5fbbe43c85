#pragma once

#include "VqErrorState.h"
#include "VqStdError.h"
#include "VqStdException.h"

#include <string>

// Turns the error that a bool-returning step recorded back into an exception
// with the same description and code, for internal steps that report
// failures by throwing. fallback is used when nothing was recorded.
[[noreturn]] inline void vqThrowRecordedError(const char* function, const char* fallback,
                                              VqErrorCode fallbackCode = VQ_ERR_INTERNAL) {
    Vq::SharedPtr<VqStdError> e = VqErrorState::currentError();
    if (e) {
        std::string text = e->description().toUtf8();
        throw Vq::StdException(function, text.c_str(), e->code());
    }
    throw Vq::StdException(function, fallback, fallbackCode);
}
