// A scratch root for benchmarks that run daemons: the registry and the path
// table below `root`, so that the benchmark and the daemons it starts (which
// inherit the environment) read and write nothing outside it.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>

#include "paths/pathconfig_internal.h"
#include "platform/registry/registry.h"

namespace zt::bench {

inline bool point_paths_at(const std::string &root) {
    setenv("ZT_REGISTRY", (root + "/etc/registry").c_str(), 1);
    setenv("ZT_REGISTRY_USER", (root + "/home/registry").c_str(), 1);
    using namespace ztbase::registry;
    Key key;
    if (Key::create(Root::LocalMachine, "SOFTWARE\\Halvane\\Zentor\\CurrentVersion\\Paths", key) !=
        Status::Ok)
        return false;
    for (const char *dir : {"usr", "tmp", "etc"}) {
        std::filesystem::create_directories(root + "/" + dir);
        key.set(Value::sz((std::string("_") + (dir[0] == 'u' ? "ql" : dir) + "_fs").c_str(),
                          root + "/" + dir));
    }
    std::filesystem::create_directories(root + "/usr/quill");
    ztbase::pathconfig::reset_for_tests();
    return true;
}

} // namespace zt::bench
