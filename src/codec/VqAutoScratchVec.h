#pragma once

#include "VqErrorState.h"
#include "VqScratchMgr.h"

#include <type_traits>

// Borrows an empty vector from the scratch manager for the guard's lifetime.
// Nested packets each need vectors of their own while the enclosing packet
// still holds its own; borrowing them keeps decoding from growing fresh
// buffers for every array. V is VqVeci or VqVecu.
template <class V>
class VqAutoScratchVec {
    static_assert(std::is_same_v<V, VqVeci> || std::is_same_v<V, VqVecu>, "int or unsigned scratch vectors");

public:
    VqAutoScratchVec() {
        Vq::ScratchMgr* mgr = g_pInstanceVqScratchMgr;
        if (!mgr) {
            VqErrorState::throwStdError("VqAutoScratchVec", "acquire", "g_pInstanceVqScratchMgr", VQ_ERR_INTERNAL);
            return;
        }
        if constexpr (std::is_same_v<V, VqVeci>)
            mgr->acquireVeci(_pVec);
        else
            mgr->acquireVecu(_pVec);
    }
    ~VqAutoScratchVec() {
        if (!_pVec) return;
        if constexpr (std::is_same_v<V, VqVeci>)
            g_pInstanceVqScratchMgr->releaseVeci(_pVec);
        else
            g_pInstanceVqScratchMgr->releaseVecu(_pVec);
    }
    VqAutoScratchVec(const VqAutoScratchVec&) = delete;
    VqAutoScratchVec& operator=(const VqAutoScratchVec&) = delete;

    // False when no vector could be had (the error is recorded).
    bool ok() const { return _pVec != nullptr; }
    V& operator*() const { return *_pVec; }
    V* operator->() const { return _pVec; }

private:
    V* _pVec = nullptr;
};
