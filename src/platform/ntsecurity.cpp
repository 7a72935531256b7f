#include "platform/ntsecurity.h"

namespace ztbase {

int InitNTSecurity() {
    return 0;
}

int FreeNTSecurity() {
    return 0;
}

void FreeNTCmdArgsVectors() {
    // No argument vectors are converted on this platform: argv is already bytes.
}

} // namespace ztbase
