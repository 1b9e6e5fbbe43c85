#pragma once

// What the shared library exports: the classes, functions and variables of
// the public headers carry VQ_API; everything else the library is made of
// stays hidden, so that hosts bind only to the documented interface and the
// library loads faster.
#define VQ_API __attribute__((visibility("default")))
