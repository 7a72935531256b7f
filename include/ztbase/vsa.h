/* Variable-size arrays: a growable array of 64-bit slots in three flavours,
 * strings (cstrvsa), untyped pointers (vpvsa) and 64-bit integers (intvsa).
 *
 * Slots past the count are always zero. The string and pointer flavours keep
 * one spare zero slot after the last element, so their array is always
 * null-terminated (a cstrvsa's array is a cstra). None of these arrays is
 * locked; callers serialise access. */
#ifndef ZTBASE_VSA_H
#define ZTBASE_VSA_H

#include <stdint.h>
#include <ztbase/export.h>

ZTBASE_BEGIN_C

/* A null-terminated array of malloc'd strings; released with cstraFREE. */
typedef char **cstra;

/* The record every flavour shares. */
typedef struct vsa {
    void *array;      /* capacity 64-bit slots, owned by the record until detached */
    int32_t step;     /* slots added when the array is full; 0 means it never grows */
    int32_t capacity; /* allocated slots */
    int32_t count;    /* elements in use */
} vsa;

typedef vsa cstrvsa;
typedef vsa vpvsa;
typedef vsa intvsa;

/* Every function accepts a null record: counts and indexes are then 0 or -1,
 * pointers null, and nothing happens. Indexes outside 0..count-1 (0..count for
 * insertion) give null or 0. The arrays are allocated with malloc, so an
 * attached array must come from malloc and a detached one goes back to free
 * (or cstraFREE). */

/* ---- strings ---- */

/* A new array whose first `initial` elements exist and are null. The first
 * allocation holds initial + 1 slots, or `step` slots when initial < 1; a
 * negative step means 16. Null when memory is short, or when initial < 1 and
 * step is 0. */
ZTBASE_API cstrvsa *cstrvsaNEW(int initial, int step);
/* Takes over a malloc'd null-terminated array; null for a null array. */
ZTBASE_API cstrvsa *cstrvsaATTACH(cstra array, int step);
/* Frees the record and hands the array to the caller. */
ZTBASE_API cstra cstrvsaDETACH(cstrvsa *v);
/* Frees the array and the record but not the strings. */
ZTBASE_API void cstrvsaFREE(cstrvsa *v);
/* Frees every string, the array and the record. */
ZTBASE_API void cstrvsaFREEALL(cstrvsa *v);
ZTBASE_API int cstrvsaCOUNT(const cstrvsa *v);
ZTBASE_API int cstrvsaSIZE(const cstrvsa *v);
ZTBASE_API cstra cstrvsaVSARRAY(cstrvsa *v);
ZTBASE_API char **cstrvsaPOINTER(cstrvsa *v, int i);
ZTBASE_API char *cstrvsaOBJECT(cstrvsa *v, int i);
/* Replaces element i (the old string is not freed); returns its slot. */
ZTBASE_API char **cstrvsaSET(cstrvsa *v, char *value, int i);
/* Inserts before element i (0 <= i <= count), growing when needed; returns the
 * new element's slot, or null when i is out of range or the array cannot grow. */
ZTBASE_API char **cstrvsaINSERT(cstrvsa *v, char *value, int i);
ZTBASE_API char **cstrvsaAPPEND(cstrvsa *v, char *value);
/* Removes up to n elements from i without freeing them; returns how many. */
ZTBASE_API int cstrvsaREMOVE(cstrvsa *v, int i, int n);
/* As cstrvsaREMOVE, freeing each removed string. */
ZTBASE_API int cstrvsaREMOVEALL(cstrvsa *v, int i, int n);
/* Index of the first element equal to s (a null s matches a null element);
 * -1 when none. */
ZTBASE_API int cstrvsaMATCH(const cstrvsa *v, const char *s);
/* Removes every element equal to an earlier one, keeping the order; frees the
 * removed strings when free_removed is non-zero. Returns the new count. */
ZTBASE_API int cstrvsaUNIQUE(cstrvsa *v, int free_removed);

/* ---- untyped pointers: as the strings, without the string functions ---- */

ZTBASE_API vpvsa *vpvsaNEW(int initial, int step);
ZTBASE_API vpvsa *vpvsaATTACH(void **array, int step);
ZTBASE_API void **vpvsaDETACH(vpvsa *v);
ZTBASE_API void vpvsaFREE(vpvsa *v);
ZTBASE_API int vpvsaCOUNT(const vpvsa *v);
ZTBASE_API int vpvsaSIZE(const vpvsa *v);
ZTBASE_API void **vpvsaVSARRAY(vpvsa *v);
ZTBASE_API void **vpvsaPOINTER(vpvsa *v, int i);
ZTBASE_API void *vpvsaOBJECT(vpvsa *v, int i);
ZTBASE_API void **vpvsaSET(vpvsa *v, void *value, int i);
ZTBASE_API void **vpvsaINSERT(vpvsa *v, void *value, int i);
ZTBASE_API void **vpvsaAPPEND(vpvsa *v, void *value);
ZTBASE_API int vpvsaREMOVE(vpvsa *v, int i, int n);

/* ---- 64-bit integers: no terminating slot; grows only when full ---- */

/* The first allocation holds exactly `initial` slots, or `step` when
 * initial < 1; otherwise as cstrvsaNEW (the new elements are 0). */
ZTBASE_API intvsa *intvsaNEW(int initial, int step);
/* Takes over a malloc'd array of `count` integers; null for a null array or a
 * negative count. */
ZTBASE_API intvsa *intvsaATTACH(int64_t *array, int count, int step);
ZTBASE_API int64_t *intvsaDETACH(intvsa *v);
ZTBASE_API void intvsaFREE(intvsa *v);
ZTBASE_API int intvsaCOUNT(const intvsa *v);
ZTBASE_API int intvsaSIZE(const intvsa *v);
ZTBASE_API int64_t *intvsaVSARRAY(intvsa *v);
ZTBASE_API int64_t *intvsaPOINTER(intvsa *v, int i);
/* Element i, or 0 when i is out of range. */
ZTBASE_API int64_t intvsaOBJECT(intvsa *v, int i);
ZTBASE_API int64_t *intvsaSET(intvsa *v, int64_t value, int i);
ZTBASE_API int64_t *intvsaINSERT(intvsa *v, int64_t value, int i);
ZTBASE_API int64_t *intvsaAPPEND(intvsa *v, int64_t value);
ZTBASE_API int intvsaREMOVE(intvsa *v, int i, int n);
/* Index of the first element equal to value, -1 when none. */
ZTBASE_API int intvsaFIND(const intvsa *v, int64_t value);
/* The largest element; -1 for a null or empty array. */
ZTBASE_API int64_t intvsaMAX(const intvsa *v);
/* A copy with the same elements, count, capacity and growth step. */
ZTBASE_API intvsa *intvsaDUP(const intvsa *v);

ZTBASE_END_C

#endif
