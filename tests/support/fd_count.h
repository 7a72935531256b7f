// Counts this process's open descriptors, so that a test can show that a
// failure path closed everything it opened.
#pragma once

#include <dirent.h>

namespace zt::test {

inline int open_descriptor_count() {
    int n = 0;
    if (DIR *d = opendir("/proc/self/fd")) {
        while (const dirent *e = readdir(d))
            if (e->d_name[0] != '.')
                ++n;
        closedir(d);
        --n; // the directory's own descriptor
    }
    return n;
}

} // namespace zt::test
