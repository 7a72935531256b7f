// Path validation against a reference model of the rules. Paths and entries
// are made of 'a', 'b', '.' and '/' below a root that does not exist, so
// nothing of them is on disk and the model resolves "." and ".." by text:
// an entry allows itself and its direct children, or anything below it when
// recursive; never a longer name it is a prefix of.
#include <cstdint>
#include <string>
#include <vector>

#include "ztbase/debuglog.h"
#include "ztbase/whitelist.h"

namespace {

int quiet(int, int, const char *, const char *) {
    return 0;
}

std::string normal(const std::string &path) {
    std::vector<std::string> parts;
    size_t pos = 0;
    while (pos <= path.size()) {
        size_t slash = path.find('/', pos);
        if (slash == std::string::npos)
            slash = path.size();
        std::string c = path.substr(pos, slash - pos);
        if (c == "..") {
            if (!parts.empty())
                parts.pop_back();
        } else if (!c.empty() && c != ".") {
            parts.push_back(c);
        }
        pos = slash + 1;
    }
    std::string out;
    for (const std::string &c : parts)
        out += "/" + c;
    return out.empty() ? "/" : out;
}

bool model(const std::string &entry, bool recursive, const std::string &path) {
    const std::string e = normal(entry), p = normal(path);
    if (p == e)
        return true;
    if (e == "/") {
        return recursive || p.find('/', 1) == std::string::npos;
    }
    if (p.compare(0, e.size(), e) != 0 || p[e.size()] != '/')
        return false;
    return recursive || p.find('/', e.size() + 1) == std::string::npos;
}

std::string text(const uint8_t *data, size_t n) {
    static const char alphabet[] = {'a', 'b', '.', '/'};
    std::string s = "/zt-fuzz-none/";
    for (size_t i = 0; i < n; ++i)
        s += alphabet[data[i] % 4];
    return s;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static c_shim_logging_fn fn = quiet;
    c_shim_mod_logging = &fn;
    if (size < 2 || size > 600)
        return 0;
    const bool recursive = data[0] & 1, expand_add = data[0] & 2, expand_check = data[0] & 4;
    const size_t split = 1 + data[1] % (size - 1);
    const std::string entry = text(data + 1, split - 1), path = text(data + split, size - split);
    ZTWhiteList *list = zt_whitelist_create();
    zt_whitelist_add_entry(list, entry.c_str(), recursive, expand_add);
    const int got = zt_whitelist_validate_path(list, path.c_str(), expand_check);
    free_zt_whitelist(list);
    if (got != (model(entry, recursive, path) ? 1 : 0))
        __builtin_trap();
    return 0;
}
