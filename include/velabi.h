/* Calling convention, export and layout-check macros shared by every
 * module of the platform contract. */
#ifndef VELABI_H
#define VELABI_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#define VEL_CDECL __cdecl
#define VEL_STDCALL __stdcall
#define VEL_EXPORT __declspec(dllexport)
#else
#define VEL_CDECL
#define VEL_STDCALL
#define VEL_EXPORT __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
#define VEL_EXTERN_C extern "C"
#define VEL_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#else
#define VEL_EXTERN_C
#define VEL_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif

/* The contract's record sizes are those of a 32-bit build; they are
 * checked only where pointers are 4 bytes. */
#if UINTPTR_MAX == 0xFFFFFFFFu
#define VEL_CHECK_SIZE32(type, size) \
  VEL_STATIC_ASSERT(sizeof(type) == (size), #type " must be " #size " bytes in a 32-bit build")
#else
#define VEL_CHECK_SIZE32(type, size) VEL_STATIC_ASSERT(1, "")
#endif

#endif
