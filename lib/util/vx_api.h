/* Marks a function of the exported C interface of libvxclient.so.
 * Everything else in the library has hidden visibility, and the linker
 * version script exports exactly the names listed in the *.exports files. */
#ifndef VX_UTIL_VX_API_H
#define VX_UTIL_VX_API_H

#define VX_API __attribute__((visibility("default")))

#ifdef __cplusplus
#define VX_BEGIN_DECLS extern "C" {
#define VX_END_DECLS }
#else
#define VX_BEGIN_DECLS
#define VX_END_DECLS
#endif

#endif
