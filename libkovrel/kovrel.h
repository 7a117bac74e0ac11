/*
 * libkovrel: client library for the storage systems' XML API.
 *
 * The caller builds a request as a tree of named elements (kr_elem_t), opens
 * a server handle, invokes the request and reads the results element that
 * comes back. Every block the library hands to the caller is released with
 * kr_free (or, for trees, kr_elem_free).
 *
 * This header compiles as C11 and as C++.
 */
#ifndef KOVREL_KOVREL_H
#define KOVREL_KOVREL_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* A C boolean: 0 is false, anything else true. */
typedef int32_t bool_t;

/* String table from case-insensitive keys to text values (opaque). */
typedef struct _hashstruct *stab_t;

/* One element of a request or reply tree. */
typedef struct kr_elem_t {
    const char *name;           /* owned, unless name_is_const */
    stab_t attr;                /* attributes; null until the first is set */
    const char *contents;       /* text contents; null when never set */
    struct kr_elem_t *children; /* first child, or null */
    struct kr_elem_t *lastchild; /* last child, or null */
    struct kr_elem_t *next;     /* next sibling, or null */
    bool_t name_is_const;       /* name points at caller storage */
} kr_elem_t;

/* Iterator over an element's children, returned by value. */
typedef struct kr_elem_iter_t {
    kr_elem_t *next;
} kr_elem_iter_t;

/* Releases a block the library handed to the caller; null is ignored. */
void kr_free(const void *ptr);

#ifdef __cplusplus
}
#endif

#endif /* KOVREL_KOVREL_H */
