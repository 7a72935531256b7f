// Changes the local host configuration as an administrator's update does.
#pragma once

#include <string>

namespace zt::test {

// Parses text strictly as an update and applies it: the parse's or the
// update's status.
int update_config(const std::string &text);

} // namespace zt::test
