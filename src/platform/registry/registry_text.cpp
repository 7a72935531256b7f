// The text form of registry keys: what `zt reg export` prints and `zt reg
// import` reads back.
#include <cstdio>
#include <cstring>
#include <string>

#include "base/log_sink.h"
#include "platform/registry/registry.h"

namespace ztbase::registry {
namespace {

constexpr const char kHeader[] = "ZT REGISTRY Version 1";
constexpr const char kRelative[] = ";; All keys relative to ";

void append_hex_byte(std::string &out, unsigned char c) {
    char hex[8];
    snprintf(hex, sizeof hex, "\\x%02x", c);
    out += hex;
}

void append_quoted(std::string &out, std::string_view text) {
    out.push_back('"');
    for (unsigned char c : text) {
        switch (c) {
        case '\\':
            out += "\\\\";
            break;
        case '"':
            out += "\\\"";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\0':
            out += "\\0";
            break;
        default:
            if (c < 0x20 || c == 0x7F)
                append_hex_byte(out, c);
            else
                out.push_back(static_cast<char>(c));
        }
    }
    out.push_back('"');
}

// A key path in a section header: names joined by a doubled backslash; a
// newline, "]" and other control characters inside a name are escaped.
void append_key_path(std::string &out, std::string_view path) {
    for (unsigned char c : path) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '\n')
            out += "\\n";
        else if (c == ']')
            out += "\\]";
        else if (c < 0x20 || c == 0x7F)
            append_hex_byte(out, c);
        else
            out.push_back(static_cast<char>(c));
    }
}

void append_value(std::string &out, const Value &v) {
    if (v.name.empty())
        out += "@";
    else
        append_quoted(out, v.name);
    out += "=";
    char buf[32];
    if (v.type == kSz) {
        append_quoted(out, v.data);
    } else if (v.type == kDword && v.data.size() == 4) {
        snprintf(buf, sizeof buf, "dword:%08x", v.number());
        out += buf;
    } else if (v.type == kExpandSz || v.type == kMultiSz) {
        snprintf(buf, sizeof buf, "str(%u):", v.type);
        out += buf;
        append_quoted(out, v.data);
    } else {
        snprintf(buf, sizeof buf, v.type == kBinary ? "hex:" : "hex(%x):", v.type);
        out += buf;
        for (size_t i = 0; i < v.data.size(); ++i) {
            snprintf(buf, sizeof buf, i == 0 ? "%02x" : ",%02x",
                     static_cast<unsigned char>(v.data[i]));
            out += buf;
        }
    }
    out += "\n";
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Reads two hex digits at line[pos]; false when they are not there.
bool hex_byte(std::string_view line, size_t pos, char &out) {
    if (pos + 1 >= line.size() || hex_digit(line[pos]) < 0 || hex_digit(line[pos + 1]) < 0)
        return false;
    out = static_cast<char>(hex_digit(line[pos]) * 16 + hex_digit(line[pos + 1]));
    return true;
}

// Reads a quoted text starting at line[pos]; pos ends after the closing quote.
bool unquote(std::string_view line, size_t &pos, std::string &out) {
    out.clear();
    if (pos >= line.size() || line[pos] != '"')
        return false;
    for (++pos; pos < line.size(); ++pos) {
        char c = line[pos];
        if (c == '"') {
            ++pos;
            return true;
        }
        if (c != '\\') {
            out.push_back(c);
            continue;
        }
        if (++pos >= line.size())
            return false;
        switch (line[pos]) {
        case '\\':
        case '"':
            out.push_back(line[pos]);
            break;
        case 'n':
            out.push_back('\n');
            break;
        case '0':
            out.push_back('\0');
            break;
        case 'x':
            if (!hex_byte(line, pos + 1, c))
                return false;
            out.push_back(c);
            pos += 2;
            break;
        default:
            return false;
        }
    }
    return false;
}

bool parse_header(std::string_view line, TextKey &key) {
    key = TextKey{};
    size_t pos = 1; // after "["
    for (; pos < line.size() && line[pos] != ']'; ++pos) {
        if (line[pos] != '\\') {
            key.path.push_back(line[pos]);
            continue;
        }
        if (++pos >= line.size())
            return false;
        char c = line[pos];
        if (c == '\\') {
            key.path.push_back('\\');
        } else if (c == 'n') {
            key.path.push_back('\n');
        } else if (c == ']') {
            key.path.push_back(']');
        } else if (c == 'x' && hex_byte(line, pos + 1, c)) {
            key.path.push_back(c);
            pos += 2;
        } else {
            return false;
        }
    }
    if (pos >= line.size())
        return false;
    std::string_view rest = line.substr(pos + 1);
    while (!rest.empty() && rest.front() == ' ')
        rest.remove_prefix(1);
    int64_t seconds = 0;
    for (char c : rest) {
        if (c < '0' || c > '9')
            return false;
        seconds = seconds * 10 + (c - '0');
        if (seconds > 9000000000) // beyond the nanoseconds an int64_t holds
            return false;
    }
    key.last_write_ns = seconds * 1000000000;
    return true;
}

bool parse_bytes(std::string_view text, std::string &out) {
    out.clear();
    for (size_t pos = 0; pos < text.size();) {
        char c;
        if (!hex_byte(text, pos, c))
            return false;
        out.push_back(c);
        pos += 2;
        if (pos < text.size() && text[pos++] != ',')
            return false;
        if (pos == text.size() && text.back() == ',')
            return false;
    }
    return true;
}

bool parse_number(std::string_view text, int base, uint32_t &out) {
    if (text.empty() || text.size() > 8)
        return false;
    out = 0;
    for (char c : text) {
        int d = hex_digit(c);
        if (d < 0 || d >= base)
            return false;
        out = out * static_cast<uint32_t>(base) + static_cast<uint32_t>(d);
    }
    return true;
}

bool parse_value(std::string_view line, Value &v) {
    v = Value{};
    size_t pos = 0;
    if (line.substr(0, 2) == "@=")
        pos = 1;
    else if (!unquote(line, pos, v.name))
        return false;
    if (pos >= line.size() || line[pos] != '=')
        return false;
    std::string_view data = line.substr(pos + 1);
    size_t close;
    if (!data.empty() && data.front() == '"') {
        v.type = kSz;
        size_t p = 0;
        return unquote(data, p, v.data) && p == data.size();
    }
    if (data.substr(0, 6) == "dword:") {
        uint32_t n = 0;
        if (data.size() != 14 || !parse_number(data.substr(6), 16, n))
            return false;
        v = Value::dword(std::move(v.name), n);
        return true;
    }
    if (data.substr(0, 4) == "str(" && (close = data.find("):")) != std::string_view::npos) {
        if (!parse_number(data.substr(4, close - 4), 10, v.type))
            return false;
        size_t p = close + 2;
        return unquote(data, p, v.data) && p == data.size();
    }
    if (data.substr(0, 4) == "hex:") {
        v.type = kBinary;
        return parse_bytes(data.substr(4), v.data);
    }
    if (data.substr(0, 4) == "hex(" && (close = data.find("):")) != std::string_view::npos) {
        return parse_number(data.substr(4, close - 4), 16, v.type) &&
               parse_bytes(data.substr(close + 2), v.data);
    }
    return false;
}

// Gathers a key and the keys below it; runs inside one read snapshot.
Status collect(Root root, const std::string &path, TextTree &tree) {
    Key key;
    Status s = Key::open(root, path, key);
    TextKey entry;
    entry.path = path;
    std::vector<std::string> children;
    if (s == Status::Ok)
        s = key.last_write(entry.last_write_ns);
    if (s == Status::Ok)
        s = key.values(entry.values);
    if (s == Status::Ok)
        s = key.subkeys(children);
    if (s != Status::Ok)
        return s;
    if (!path.empty() || !entry.values.empty()) // the root itself only when it holds values
        tree.keys.push_back(std::move(entry));
    for (const std::string &child : children) {
        s = collect(root, path.empty() ? child : path + "\\" + child, tree);
        if (s != Status::Ok)
            return s;
    }
    return Status::Ok;
}

} // namespace

std::string format_text(const TextTree &tree) {
    std::string out = kHeader;
    out += "\n";
    out += kRelative;
    out += tree.root == Root::LocalMachine ? "HKEY_LOCAL_MACHINE\n" : "HKEY_CURRENT_USER\n";
    for (const TextKey &key : tree.keys) {
        out += "\n[";
        append_key_path(out, key.path);
        out += "] " + std::to_string(key.last_write_ns / 1000000000) + "\n";
        for (const Value &v : key.values)
            append_value(out, v);
    }
    return out;
}

Status parse_text(std::string_view text, TextTree &out, size_t *bad_line) {
    out = TextTree{};
    size_t number = 0;
    bool have_root = false;
    while (!text.empty()) {
        size_t nl = text.find('\n');
        std::string_view line = text.substr(0, nl);
        text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
        ++number;
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        bool ok = true;
        if (number == 1) {
            ok = line == kHeader;
        } else if (line.substr(0, strlen(kRelative)) == kRelative) {
            std::string_view root = line.substr(strlen(kRelative));
            ok = !have_root && out.keys.empty() &&
                 (root == "HKEY_LOCAL_MACHINE" || root == "HKEY_CURRENT_USER");
            out.root = root == "HKEY_CURRENT_USER" ? Root::CurrentUser : Root::LocalMachine;
            have_root = true;
        } else if (line.empty() || line.front() == ';') {
            continue;
        } else if (line.front() == '[') {
            out.keys.emplace_back();
            ok = parse_header(line, out.keys.back());
        } else {
            Value v;
            ok = !out.keys.empty() && parse_value(line, v);
            if (ok)
                out.keys.back().values.push_back(std::move(v));
        }
        if (!ok) {
            if (bad_line != nullptr)
                *bad_line = number;
            return Status::InvalidArgument;
        }
    }
    if (number == 0 || !have_root) {
        if (bad_line != nullptr)
            *bad_line = number == 0 ? 1 : number;
        return Status::InvalidArgument;
    }
    return Status::Ok;
}

Status export_text(Root root, std::string_view path, std::string &out) {
    std::vector<std::string_view> parts;
    std::string shown;
    for (size_t pos = 0; pos <= path.size();) {
        size_t sep = path.find('\\', pos);
        if (sep == std::string_view::npos)
            sep = path.size();
        if (sep > pos)
            shown += (shown.empty() ? "" : "\\") + std::string(path.substr(pos, sep - pos));
        pos = sep + 1;
    }
    TextTree tree;
    tree.root = root;
    Status s = read_snapshot(root, [&] { return collect(root, shown, tree); });
    if (s == Status::Ok)
        out = format_text(tree);
    return s;
}

Status import_text(std::string_view text, size_t *bad_line) {
    TextTree tree;
    Status s = parse_text(text, tree, bad_line);
    if (s != Status::Ok) {
        logsink::logf(16, 0, "RegLoadKey", "malformed registry text at line %zu",
                      bad_line != nullptr ? *bad_line : 0);
        return s;
    }
    return transact(tree.root, [&] {
        for (const TextKey &entry : tree.keys) {
            Key key;
            Status r = Key::create(tree.root, entry.path, key);
            for (size_t i = 0; r == Status::Ok && i < entry.values.size(); ++i)
                r = key.set(entry.values[i]);
            if (r != Status::Ok)
                return r;
        }
        return Status::Ok;
    });
}

} // namespace ztbase::registry
