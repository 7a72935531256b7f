#include "support/temp_root.h"

#include "paths/pathconfig_internal.h"
#include "platform/registry/registry.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace fs = std::filesystem;

namespace zt::test {
namespace {

std::string base_tmp() {
    static const std::string base = [] {
        const char *t = getenv("ZT_TEST_TMPDIR");
        return std::string(t != nullptr && *t != '\0' ? t : "/tmp");
    }();
    return base;
}

} // namespace

TempRoot::TempRoot() {
    std::string templ = base_tmp() + "/ztbase-test.XXXXXX";
    char *made = mkdtemp(templ.data());
    if (made == nullptr)
        throw std::runtime_error("mkdtemp failed for " + templ);
    path_ = made;
}

TempRoot::~TempRoot() {
    std::error_code ec;
    if (getenv("ZT_TEST_KEEP") == nullptr)
        fs::remove_all(path_, ec);
}

void point_environment_at(const std::string &root) {
    const std::string home = root + "/home";
    const std::string tmp = root + "/tmp";
    fs::create_directories(home);
    fs::create_directories(tmp);
    setenv("HOME", home.c_str(), 1);
    setenv("TMPDIR", tmp.c_str(), 1);
    setenv("TMP", tmp.c_str(), 1);
    setenv("ZT_REGISTRY", (root + "/etc/registry").c_str(), 1);
    setenv("ZT_REGISTRY_USER", (home + "/.quill/registry").c_str(), 1);
    for (const char *name : {"VNET_DEBUG_STRING_INFO", "VNET_DOMAIN", "HXSS_CREDENTIAL_PATH",
                             "HXSS_ORIG_CREDENTIAL_PATH", "IN_DBAGENT", "IS_ZENTOR_DAEMON",
                             "EAT_PROFILE_BASE_DIR", "EAT_HOME_DIR", "HLVNat_API_DEBUG_FILE",
                             "HLVNat_API_DEBUG_LEVEL", "NLS_LANG", "XDG_RUNTIME_DIR"})
        unsetenv(name);
}

void point_paths_at(const std::string &root) {
    using namespace ztbase::registry;
    Key key;
    Status s =
        Key::create(Root::LocalMachine, "SOFTWARE\\Halvane\\Zentor\\CurrentVersion\\Paths", key);
    ASSERT_EQ(s, Status::Ok) << status_text(s);
    const struct {
        const char *label, *dir;
    } roots[] = {{"_ql_fs", "usr"}, {"_tmp_fs", "tmp"}, {"_etc_fs", "etc"}};
    for (const auto &r : roots) {
        const std::string dir = root + "/" + r.dir;
        fs::create_directories(dir);
        ASSERT_EQ(key.set(Value::sz(r.label, dir)), Status::Ok);
    }
    const std::string quill = root + "/usr/quill";
    fs::create_directories(quill);
    ztbase::pathconfig::reset_for_tests();
}

void write_file(const std::string &path, const std::string &content) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    ASSERT_TRUE(out.good()) << path;
    out << content;
}

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

} // namespace zt::test
