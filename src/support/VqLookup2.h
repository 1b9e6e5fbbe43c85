#pragma once

#include "VqExport.h"

#include <cstdint>

// Bob Jenkins' lookup2 hash, the check value of the strings and of the coded
// geometry arrays. Both variants start from a = b = 0x9E3779B9 and c = the
// initial value, so a hash can be chained by passing the previous one.
//
// The byte variant reads the key as little-endian 32-bit words whatever the
// host, so its value does not depend on the machine.
VQ_API uint32_t vqLookup2(const uint8_t* key, uint32_t nBytes, uint32_t initval);
// The word variant reads whole 32-bit words: on a little-endian host it
// equals the byte variant over the same memory (the length term counts bytes).
VQ_API uint32_t vqLookup2Words(const uint32_t* key, uint32_t nWords, uint32_t initval);
