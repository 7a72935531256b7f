#include <stdio.h>
#include <string.h>

#include <ztbase/filelock.h>
#include <ztbase/messages.h>
#include <ztbase/status.h>
#include <ztbase/version.h>

int main(void) {
    puts(getECmsg(0));
    /* Refused before any file is looked at. */
    if (getLocalMsgFmt("C", "short") != NULL || acquireFileLock(NULL, FILELOCK_READ, 1, 10) != 20)
        return 1;
    /* The headers and the library loaded at run time carry one version. */
    printf("built against %s, running %s\n", ZTBASE_VERSION_STRING, ztbase_version());
    if (strcmp(ztbase_version(), ZTBASE_VERSION_STRING) != 0 ||
        ztbase_version_number() != ZTBASE_VERSION_NUMBER)
        return 1;
    return errmsgstr[36] == getECmsg(36) ? 0 : 1;
}
