#include <stdio.h>

#include <ztbase/filelock.h>
#include <ztbase/messages.h>
#include <ztbase/status.h>

int main(void) {
    puts(getECmsg(0));
    /* Refused before any file is looked at. */
    if (getLocalMsgFmt("C", "short") != NULL || acquireFileLock(NULL, FILELOCK_READ, 1, 10) != 20)
        return 1;
    return errmsgstr[36] == getECmsg(36) ? 0 : 1;
}
