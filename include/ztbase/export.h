/* Export and visibility macros shared by every public header of libztbase. */
#ifndef ZTBASE_EXPORT_H
#define ZTBASE_EXPORT_H

#if defined(ZTBASE_BUILDING_LIBRARY)
#define ZTBASE_API __attribute__((visibility("default")))
#else
#define ZTBASE_API
#endif

#ifdef __cplusplus
#define ZTBASE_BEGIN_C extern "C" {
#define ZTBASE_END_C }
#else
#define ZTBASE_BEGIN_C
#define ZTBASE_END_C
#endif

#endif
