#include <stdio.h>

#include <ztbase/status.h>

int main(void) {
    puts(getECmsg(0));
    return errmsgstr[36] == getECmsg(36) ? 0 : 1;
}
