/* Appliance release information: the "ztapp-release" key=value file that
 * describes the appliance Zentor runs on. A host without it is not an
 * appliance. */
#ifndef ZTBASE_ZTAPP_H
#define ZTBASE_ZTAPP_H

#include <stdint.h>
#include <ztbase/export.h>

ZTBASE_BEGIN_C

#define ZTAPP_INFO_TEXT_SIZE 257
#define ZTAPP_MODEL_VIRTUAL 5100

typedef struct ztapp_info_t {
    char release[ZTAPP_INFO_TEXT_SIZE];
    char build_date[ZTAPP_INFO_TEXT_SIZE];
    char platform_version[ZTAPP_INFO_TEXT_SIZE];
    char system_product_name[ZTAPP_INFO_TEXT_SIZE];
    int32_t model;
} ztapp_info_t;

/* The release file below base_dir ("/etc" when null or empty) as a new
 * record, or null when it is missing, unreadable or incomplete (logged). */
ZTBASE_API ztapp_info_t *ztapp_info_init_ex(const char *base_dir);
/* The test record when one is set, else the file below the test base
 * directory (when set) or "/etc". */
ZTBASE_API ztapp_info_t *ztapp_info_init(void);
/* Frees *info and sets it to null. */
ZTBASE_API void ztapp_info_fini(ztapp_info_t **info);
/* Non-zero when info is not null (the host is an appliance). */
ZTBASE_API int is_zta(const ztapp_info_t *info);
/* Non-zero for the virtual appliance model (5100). */
ZTBASE_API int is_ztva(const ztapp_info_t *info);
/* Four non-empty texts and a positive model set the process-wide test record;
 * anything else clears it. Returns 0. */
ZTBASE_API int ztapp_info_set_unit_test_info(const char *release, const char *build_date,
                                             const char *platform_version, const char *product_name,
                                             int model);
/* Sets (null clears) the base directory ztapp_info_init reads below. */
ZTBASE_API int ztapp_info_set_unit_test_base_path(const char *dir);

ZTBASE_END_C

#endif
