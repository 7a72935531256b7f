// The registry store on SQLite: one database per root, WAL mode so readers
// never wait for writers (and never take the write lock), one IMMEDIATE
// transaction per change, and the key's last-write time updated in the same
// transaction as the value.
#include "platform/registry/registry.h"

#include <ctime>
#include <sqlite3.h>
#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include "platform/registry/registry_store.h"

namespace ztbase::registry {

const char *status_text(Status status) {
    switch (status) {
    case Status::Ok:
        return "success";
    case Status::NotFound:
        return "not found";
    case Status::InvalidArgument:
        return "invalid argument";
    case Status::Unavailable:
        return "registry store unavailable";
    case Status::Corrupt:
        return "registry store is corrupt";
    case Status::Busy:
        return "registry store busy";
    case Status::ReadOnly:
        return "registry store is read-only for this user";
    case Status::TooDeep:
        return "key path too deep";
    case Status::Failed:
        return "registry store error";
    }
    return "unknown registry status";
}

// Paths and names ----------------------------------------------------------

// Splits a key path into its names; TooDeep beyond kMaxDepth levels.
Status split_path(std::string_view path, std::vector<std::string_view> &parts) {
    while (!path.empty() && path.front() == '\\')
        path.remove_prefix(1);
    while (!path.empty() && path.back() == '\\')
        path.remove_suffix(1);
    parts.clear();
    while (!path.empty()) {
        size_t sep = path.find('\\');
        std::string_view part = path.substr(0, sep);
        if (part.empty() || part.size() > kMaxNameLength ||
            part.find('\0') != std::string_view::npos)
            return Status::InvalidArgument;
        if (parts.size() == kMaxDepth)
            return Status::TooDeep;
        parts.push_back(part);
        if (sep == std::string_view::npos)
            break;
        path.remove_prefix(sep + 1);
    }
    return Status::Ok;
}

bool valid_value_name(std::string_view name) {
    return name.size() <= 16383 && name.find('\0') == std::string_view::npos;
}

int64_t now_ns() {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

Status status_of(int rc) {
    if (rc == SQLITE_READONLY_DBMOVED)
        return Status::Busy; // the file was replaced: reopened and tried again
    switch (rc & 0xFF) {
    case SQLITE_OK:
    case SQLITE_DONE:
    case SQLITE_ROW:
        return Status::Ok;
    case SQLITE_NOTADB:
    case SQLITE_CORRUPT:
        return Status::Corrupt;
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
    case SQLITE_PROTOCOL:
        return Status::Busy;
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_AUTH:
        return Status::ReadOnly;
    case SQLITE_CANTOPEN:
        return Status::Unavailable;
    default:
        return Status::Failed;
    }
}

// Simple Unicode case folding, code point by code point, as the names are
// compared; bytes that are not UTF-8 stay as they are (ASCII letters folded).
std::string fold_name(std::string_view name) {
    std::string out;
    out.reserve(name.size());
    const auto *s = reinterpret_cast<const uint8_t *>(name.data());
    const auto n = static_cast<int32_t>(name.size());
    for (int32_t i = 0; i < n;) {
        const int32_t start = i;
        UChar32 c;
        U8_NEXT(s, i, n, c);
        if (c < 0) {
            for (int32_t j = start; j < i; ++j)
                out.push_back(static_cast<char>(s[j]));
            continue;
        }
        c = u_foldCase(c, U_FOLD_CASE_DEFAULT);
        uint8_t buf[U8_MAX_LENGTH];
        int32_t k = 0;
        U8_APPEND_UNSAFE(buf, k, c); // a folded code point is valid
        out.append(reinterpret_cast<const char *>(buf), static_cast<size_t>(k));
    }
    return out;
}

void sql_fold(sqlite3_context *ctx, int, sqlite3_value **argv) {
    const auto *text = reinterpret_cast<const char *>(sqlite3_value_text(argv[0]));
    const std::string folded = fold_name(std::string_view(
        text != nullptr ? text : "", static_cast<size_t>(sqlite3_value_bytes(argv[0]))));
    sqlite3_result_text(ctx, folded.data(), static_cast<int>(folded.size()), SQLITE_TRANSIENT);
}

} // namespace ztbase::registry
