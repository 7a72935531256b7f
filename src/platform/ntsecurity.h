// The security layer the frame brings up first at load and takes down first at
// unload. On this platform owners and modes need no preparation, so it only
// keeps the converted command-line vectors, which it frees at unload.
#pragma once

namespace ztbase {

// Each returns 0 on success, -1 on failure.
int InitNTSecurity();
int FreeNTSecurity();
void FreeNTCmdArgsVectors();

} // namespace ztbase
