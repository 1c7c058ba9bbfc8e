// Included first by every source of the server library. The C functions of
// velsrv.h and the host API are what libvelsrv.so exports; everything else
// in the library stays hidden (the build hides symbols by default).
#ifndef VELSRV_EXPORTS_H
#define VELSRV_EXPORTS_H

#if defined(__GNUC__)
#pragma GCC visibility push(default)
#endif
#include "velsrv_host.h"
#if defined(__GNUC__)
#pragma GCC visibility pop
#endif

// Marks the definition of an exported C function.
#define VELSRV_C_EXPORT extern "C" VEL_EXPORT

#endif
