// Values: their typed constructors and readers.
#include "platform/registry/registry.h"

namespace ztbase::registry {

Value Value::sz(std::string name, std::string_view text) {
    return Value{std::move(name), kSz, std::string(text)};
}

Value Value::dword(std::string name, uint32_t number) {
    std::string data(4, '\0');
    for (int i = 0; i < 4; ++i)
        data[i] = static_cast<char>((number >> (8 * i)) & 0xFF);
    return Value{std::move(name), kDword, std::move(data)};
}

Value Value::multi_sz(std::string name, const std::vector<std::string> &strings) {
    std::string data;
    for (const std::string &s : strings) {
        data += s;
        data.push_back('\0');
    }
    data.push_back('\0');
    return Value{std::move(name), kMultiSz, std::move(data)};
}

std::string Value::text() const {
    size_t nul = data.find('\0');
    return nul == std::string::npos ? data : data.substr(0, nul);
}

uint32_t Value::number() const {
    if (data.size() < 4)
        return 0;
    uint32_t n = 0;
    for (int i = 3; i >= 0; --i)
        n = (n << 8) | static_cast<unsigned char>(data[i]);
    return n;
}

std::vector<std::string> Value::strings() const {
    std::vector<std::string> out;
    size_t pos = 0;
    while (pos < data.size()) {
        size_t nul = data.find('\0', pos);
        if (nul == std::string::npos)
            nul = data.size();
        if (nul == pos)
            break; // the empty string ends the list
        out.emplace_back(data, pos, nul - pos);
        pos = nul + 1;
    }
    return out;
}

} // namespace ztbase::registry
