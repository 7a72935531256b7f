/* The library frame: the per-thread block every thread of the host process owns. */
#ifndef ZTBASE_FRAME_H
#define ZTBASE_FRAME_H

#include <ztbase/export.h>

ZTBASE_BEGIN_C

/* The calling thread's block; its fields belong to the library's families and
 * are reached only through the library. */
typedef struct ztbase_tss_data ztbase_tss_data;

/* Stores the calling thread's block in *block (creating it zero-filled on the
 * thread's first call) and returns 0; 36 with *block null when there is no
 * thread-local slot or no memory for the block. */
ZTBASE_API int ztbase_get_tss_data(ztbase_tss_data **block);

ZTBASE_END_C

#endif
