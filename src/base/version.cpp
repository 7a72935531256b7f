// The run-time library's version, from the same number as the headers'.
#include <ztbase/version.h>

extern "C" {

ZTBASE_API const char *ztbase_version(void) {
    return ZTBASE_VERSION_STRING;
}

ZTBASE_API int ztbase_version_number(void) {
    return ZTBASE_VERSION_NUMBER;
}

} // extern "C"
