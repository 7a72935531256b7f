#include "pbx_protocol.h"

#include <cstring>

namespace ztpbx::proto {
namespace {

void put16(std::string &out, uint16_t v) {
    out.push_back(char(v >> 8));
    out.push_back(char(v & 0xff));
}

void put32(std::string &out, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(char((v >> shift) & 0xff));
}

// A bounded reader over one message.
struct Reader {
    const uint8_t *p;
    size_t left;
    bool ok = true;

    uint8_t u8() {
        if (left < 1) {
            ok = false;
            return 0;
        }
        --left;
        return *p++;
    }
    uint16_t u16() {
        uint16_t hi = u8();
        return uint16_t(hi << 8 | u8());
    }
    uint32_t u32() {
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i)
            v = v << 8 | u8();
        return v;
    }
    bool bytes(void *out, size_t n) {
        if (left < n)
            return ok = false;
        std::memcpy(out, p, n);
        p += n;
        left -= n;
        return true;
    }
    std::string name() {
        size_t n = u8();
        if (!ok || left < n) {
            ok = false;
            return {};
        }
        std::string s(reinterpret_cast<const char *>(p), n);
        p += n;
        left -= n;
        if (!valid_extension(s))
            ok = false;
        return s;
    }
};

std::string control_header(MessageType type) {
    std::string out(kControlMagic, sizeof kControlMagic);
    out.push_back(char(kVersion));
    out.push_back(char(type));
    return out;
}

} // namespace

bool valid_extension(std::string_view name) {
    if (name.empty() || name.size() > kMaxExtension)
        return false;
    for (char c : name) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                  c == '.' || c == '_' || c == '-';
        if (!ok)
            return false;
    }
    return true;
}

HelloParse parse_hello(const uint8_t *data, size_t len, size_t *need, Hello *hello,
                       ReplyStatus *status) {
    *status = kBadRequest;
    size_t magic = len < sizeof kHelloMagic ? len : sizeof kHelloMagic;
    if (std::memcmp(data, kHelloMagic, magic) != 0)
        return HelloParse::kRefuse;
    *need = kHelloHeader;
    if (len >= 5 && data[4] == 0) {
        *status = kBadVersion;
        return HelloParse::kRefuse;
    }
    if (len < kHelloHeader)
        return HelloParse::kNeedMore;
    size_t n = data[5];
    if (n == 0 || n > kMaxExtension)
        return HelloParse::kRefuse;
    *need = kHelloHeader + n;
    size_t have = len < *need ? len : *need;
    // Refuse a bad byte as soon as it comes, not only once the name is whole.
    for (size_t i = kHelloHeader; i < have; ++i)
        if (!valid_extension(std::string_view(reinterpret_cast<const char *>(data + i), 1)))
            return HelloParse::kRefuse;
    if (len < *need)
        return HelloParse::kNeedMore;
    hello->version = data[4];
    hello->extension.assign(reinterpret_cast<const char *>(data + kHelloHeader), n);
    return HelloParse::kComplete;
}

std::string make_hello(std::string_view extension, uint8_t version) {
    std::string out(kHelloMagic, sizeof kHelloMagic);
    out.push_back(char(version));
    out.push_back(char(extension.size()));
    out.append(extension);
    return out;
}

std::string make_reply(ReplyStatus status, uint8_t exchange_version) {
    std::string out(kHelloMagic, sizeof kHelloMagic);
    out.push_back(char(status));
    out.push_back(char(exchange_version));
    return out;
}

bool parse_reply(const uint8_t *data, size_t len, ReplyStatus *status, uint8_t *version) {
    if (len != kReplySize || std::memcmp(data, kHelloMagic, sizeof kHelloMagic) != 0 ||
        data[4] > kBadVersion || data[5] == 0)
        return false;
    *status = ReplyStatus(data[4]);
    *version = data[5];
    return true;
}

bool parse_control(const uint8_t *data, size_t len, ControlMessage *msg) {
    if (len < kControlHeader || len > kMaxControl ||
        std::memcmp(data, kControlMagic, sizeof kControlMagic) != 0)
        return false;
    msg->version = data[4];
    if (msg->version != kVersion)
        return false;
    msg->type = MessageType(data[5]);
    Reader r{data + kControlHeader, len - kControlHeader};
    switch (msg->type) {
    case kRegister:
        msg->backlog = r.u16();
        msg->name = r.name();
        break;
    case kRegistered: {
        uint8_t st = r.u8();
        if (st > kRegFull)
            return false;
        msg->reg_status = RegisterStatus(st);
        msg->port = r.u16();
        size_t count = r.u8();
        if (count > kMaxAltAddresses)
            return false;
        msg->addresses.clear();
        for (size_t i = 0; i < count && r.ok; ++i) {
            sockaddr_storage ss{};
            uint8_t family = r.u8();
            uint16_t port = r.u16();
            if (family == 4) {
                auto *a = reinterpret_cast<sockaddr_in *>(&ss);
                a->sin_family = AF_INET;
                a->sin_port = htons(port);
                r.bytes(&a->sin_addr, 4);
            } else if (family == 6) {
                auto *a = reinterpret_cast<sockaddr_in6 *>(&ss);
                a->sin6_family = AF_INET6;
                a->sin6_port = htons(port);
                r.bytes(&a->sin6_addr, 16);
            } else {
                return false;
            }
            msg->addresses.push_back(ss);
        }
        break;
    }
    case kHandover:
        msg->client_version = r.u8();
        break;
    case kAccepted:
        msg->accepted_total = r.u32();
        break;
    case kList:
        break;
    case kNames: {
        size_t count = r.u16();
        msg->names.clear();
        for (size_t i = 0; i < count && r.ok; ++i)
            msg->names.push_back(r.name());
        break;
    }
    default:
        return false;
    }
    return r.ok && r.left == 0;
}

std::string make_register(std::string_view name, uint16_t backlog) {
    std::string out = control_header(kRegister);
    put16(out, backlog);
    out.push_back(char(name.size()));
    out.append(name);
    return out;
}

std::string make_registered(RegisterStatus status, uint16_t port,
                            const std::vector<sockaddr_storage> &addresses) {
    std::string out = control_header(kRegistered);
    out.push_back(char(status));
    put16(out, port);
    std::string list;
    size_t count = 0;
    for (const sockaddr_storage &ss : addresses) {
        if (count == kMaxAltAddresses)
            break;
        if (ss.ss_family == AF_INET) {
            auto *a = reinterpret_cast<const sockaddr_in *>(&ss);
            list.push_back(4);
            put16(list, ntohs(a->sin_port));
            list.append(reinterpret_cast<const char *>(&a->sin_addr), 4);
        } else if (ss.ss_family == AF_INET6) {
            auto *a = reinterpret_cast<const sockaddr_in6 *>(&ss);
            list.push_back(6);
            put16(list, ntohs(a->sin6_port));
            list.append(reinterpret_cast<const char *>(&a->sin6_addr), 16);
        } else {
            continue;
        }
        ++count;
    }
    out.push_back(char(count));
    return out + list;
}

std::string make_handover(uint8_t client_version) {
    std::string out = control_header(kHandover);
    out.push_back(char(client_version));
    return out;
}

std::string make_accepted(uint32_t total) {
    std::string out = control_header(kAccepted);
    put32(out, total);
    return out;
}

std::string make_list() {
    return control_header(kList);
}

std::string make_names(const std::vector<std::string> &names) {
    std::string out = control_header(kNames);
    std::string body;
    size_t count = 0;
    for (const std::string &n : names) {
        if (out.size() + 2 + body.size() + 1 + n.size() > kMaxControl)
            break;
        body.push_back(char(n.size()));
        body.append(n);
        ++count;
    }
    put16(out, uint16_t(count));
    return out + body;
}

std::string control_name(int port) {
    return "ztpbx-" + std::to_string(port);
}

} // namespace ztpbx::proto
