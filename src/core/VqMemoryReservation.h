#pragma once

#include "VqPlatform.h"

#include <cstdint>

// Counts bytes against the platform's memory budget for as long as it lives,
// so that the residency manager makes room for work that is about to need it
// (a file being opened, the segments of a save buffered until they flush).
class VqMemoryReservation {
public:
    explicit VqMemoryReservation(uint64_t bytes) : _nBytes(bytes) {
        if (g_pInstanceVqPlatform && _nBytes) g_pInstanceVqPlatform->addToMemory(_nBytes);
    }
    ~VqMemoryReservation() {
        if (g_pInstanceVqPlatform && _nBytes) g_pInstanceVqPlatform->removeFromMemory(_nBytes);
    }
    VqMemoryReservation(const VqMemoryReservation&) = delete;
    VqMemoryReservation& operator=(const VqMemoryReservation&) = delete;

private:
    uint64_t _nBytes;
};
