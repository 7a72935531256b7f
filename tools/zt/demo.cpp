// zt demo: a short tour of the library, one section per family.
#include <cstdio>

#include <ztbase/status.h>

#include "commands.h"

namespace zt {
namespace {

void heading(const char *title) { printf("\n== %s ==\n", title); }

void demo_status() {
    heading("Status codes and their texts");
    const int codes[] = {0, 36, 41, 227, 1800, 5900, 9101, 9310};
    for (int code : codes)
        printf("  getECmsg(%d) = \"%s\"\n", code, getECmsg(code));
    printf("  ERR_ZTmsgstr(25, ...) = \"%s\"\n", ERR_ZTmsgstr(25, getECmsg(25)));
    ECMsgL thread_safe(58, "C");
    printf("  ECMsgL(58, \"C\") = \"%s\"\n", thread_safe.c_str());
}

} // namespace

int cmd_demo(int, char **) {
    puts("libztbase tour: every section below calls the library for real.");
    demo_status();
    return 0;
}

} // namespace zt
