#pragma once

#include "VqLib.h"

// The library is brought up by the first benchmark that runs rather than at
// static initialisation, which may come before the library's own statics
// exist; it is shut down at exit.
inline void ensureLib() {
    struct LibScope {
        LibScope() { VqLib::init(); }
        ~LibScope() { VqLib::fini(); }
    };
    static LibScope s_lib;
}
