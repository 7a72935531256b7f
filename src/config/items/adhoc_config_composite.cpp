// Struct and List: records of typed fields described by a structure
// descriptor, and singly linked lists of such records. Also the table of the
// nine types' operations.
#include <cctype>
#include <cstdlib>
#include <cstring>

#include <ztbase/debuglog.h>

#include "config/items/adhoc_config_ops.h"
#include "config/items/adhoc_config_scalars.h"
#include "base/zt_status.h"

namespace ztbase::config {
namespace {

using zt::status::kAllocFailed;
using zt::status::kInvalidParameter;

bool space(char c) {
    return isspace(static_cast<unsigned char>(c)) != 0;
}

char *at(void *base, int32_t offset) {
    return static_cast<char *>(base) + offset;
}
const char *at(const void *base, int32_t offset) {
    return static_cast<const char *>(base) + offset;
}

void *&next_of(void *node, const ListDesc *ld) {
    return *reinterpret_cast<void **>(at(node, int32_t(ld->next_offset)));
}

const TypeOps &ops_of(const FieldDesc &fd) {
    return kTypeOps[uint8_t(fd.type()) < kTypeCount ? uint8_t(fd.type()) : 0];
}

// The fields a structure owns, then the block.
void free_block(void *block, const FieldDesc *fields) {
    if (block == nullptr)
        return;
    for (const FieldDesc *fd = fields; fd->offset >= 0; ++fd)
        if (FreeFn f = ops_of(*fd).free)
            f(at(block, fd->offset), fd->arg1, fd->arg2);
    free(block);
}

void free_nodes(void *head, const ListDesc *ld) {
    while (head != nullptr) {
        void *next = next_of(head, ld);
        free_block(head, ld->node);
        head = next;
    }
}

bool opens_group(const char *p, uint32_t cls) {
    while (space(*p))
        ++p;
    return (cls == kQuoted && *p == '"') || (cls == kParen && *p == '(') ||
           (cls == kBrace && *p == '{');
}

// Parses one structure from *cursor into a new block.
int parse_block(char **cursor, void **block_out, uint64_t size, const FieldDesc *fields, int line) {
    void *block = calloc(1, size);
    if (block == nullptr)
        return kAllocFailed;
    char *p = *cursor;
    for (const FieldDesc *fd = fields; fd->offset >= 0; ++fd) {
        const uint32_t cls = fd->flags & kDelimMask;
        const bool required = (fd->flags & R) != 0;
        char *token = p;
        char *end;
        int term = isolate_token(&token, cls, &end);
        if (term < 0 && !required && !opens_group(p, cls))
            continue; // an optional group that is not there
        if (term < 0 || (required && *token == '\0')) {
            if (term > 0)
                *end = char(term);
            logmsgf(ZTLOG_DEBUG, "readStruct", "Missing required data field on line %d.", line);
            free_block(block, fields);
            return kInvalidParameter;
        }
        const size_t len = strlen(token);
        char *c = token;
        int rc = ops_of(*fd).read(&c, at(block, fd->offset), fd->arg1, fd->arg2, line);
        if (rc != 0) {
            if (term > 0)
                *end = char(term);
            free_block(block, fields);
            return rc;
        }
        if (term > 0) {
            while (space(*c))
                ++c;
            if (c < token + len && *c != '\0')
                logmsgf(ZTLOG_DEBUG, "readStruct",
                        "Extra data (%s) at end of field on line %d ignored.", c, line);
            *end = char(term);
            p = end + 1;
        } else {
            p = c;
        }
    }
    *block_out = block;
    *cursor = p;
    return 0;
}

// A structure field's delimiter when formatted; the last one is dropped.
void open_field(std::string &out, uint32_t cls) {
    if (cls == kQuoted)
        out += '"';
    else if (cls == kParen)
        out += '(';
    else if (cls == kBrace)
        out += '{';
}
size_t close_field(std::string &out, uint32_t cls) {
    switch (cls) {
    case kEquals:
        out += '=';
        return 1;
    case kComma:
        out += ", ";
        return 2;
    case kQuoted:
        out += "\" ";
        return 1;
    case kParen:
        out += ") ";
        return 1;
    case kBrace:
        out += "} ";
        return 1;
    default:
        out += ' ';
        return 1;
    }
}

// Trailing fields that format as nothing (absent optional words) are left
// out together with their delimiters.
int format_block(const void *block, std::string &out, const FieldDesc *fields) {
    size_t keep = out.size();
    for (const FieldDesc *fd = fields; fd->offset >= 0; ++fd) {
        const uint32_t cls = fd->flags & kDelimMask;
        const size_t start = out.size();
        open_field(out, cls);
        int rc = ops_of(*fd).format(at(block, fd->offset), out, fd->arg1, fd->arg2);
        if (rc != 0)
            return rc;
        const bool shows = out.size() != start;
        const size_t last = close_field(out, cls);
        if (shows)
            keep = out.size() - last;
    }
    out.resize(keep);
    return 0;
}

int copy_block(void **dst, const void *src, uint64_t size, const FieldDesc *fields) {
    *dst = nullptr;
    if (src == nullptr)
        return 0;
    void *block = malloc(size);
    if (block == nullptr)
        return kAllocFailed;
    memcpy(block, src, size);
    for (const FieldDesc *fd = fields; fd->offset >= 0; ++fd) {
        CopyFn copy = ops_of(*fd).copy;
        if (copy == nullptr)
            continue;
        if (copy(at(block, fd->offset), at(src, fd->offset), fd->arg1, fd->arg2) != 0) {
            // Undo the fields copied so far; the rest still point into src.
            for (const FieldDesc *done = fields; done != fd; ++done)
                if (FreeFn f = ops_of(*done).free)
                    f(at(block, done->offset), done->arg1, done->arg2);
            free(block);
            return kAllocFailed;
        }
    }
    *dst = block;
    return 0;
}

void append(void **head, void *node, const ListDesc *ld) {
    void **slot = head;
    while (*slot != nullptr)
        slot = &next_of(*slot, ld);
    *slot = node;
}

} // namespace

// ---- Struct ----

int read_struct(char **cursor, void *field, uint64_t arg1, const void *arg2, int line) {
    const auto *fields = static_cast<const FieldDesc *>(arg2);
    void *block = nullptr;
    int rc = parse_block(cursor, &block, arg1, fields, line);
    if (rc != 0)
        return rc;
    void **slot = static_cast<void **>(field);
    free_block(*slot, fields);
    *slot = block;
    return 0;
}

int format_struct(const void *field, std::string &out, uint64_t, const void *arg2) {
    const void *block = *static_cast<void *const *>(field);
    return block == nullptr ? 0 : format_block(block, out, static_cast<const FieldDesc *>(arg2));
}

int copy_struct(void *dst, const void *src, uint64_t arg1, const void *arg2) {
    return copy_block(static_cast<void **>(dst), *static_cast<void *const *>(src), arg1,
                      static_cast<const FieldDesc *>(arg2));
}

void free_struct(void *field, uint64_t, const void *arg2) {
    void **slot = static_cast<void **>(field);
    free_block(*slot, static_cast<const FieldDesc *>(arg2));
    *slot = nullptr;
}

// ---- List ----

int read_list(char **cursor, void *field, uint64_t arg1, const void *arg2, int line) {
    const auto *ld = static_cast<const ListDesc *>(arg2);
    void **head = static_cast<void **>(field);
    const uint32_t cls = ld->flags & kDelimMask;
    if (cls == kWhole) { // one element per line, appended
        void *node = nullptr;
        int rc = parse_block(cursor, &node, arg1, ld->node, line);
        if (rc == 0)
            append(head, node, ld);
        return rc;
    }
    // The whole list on one line: it replaces what was there.
    free_nodes(*head, ld);
    *head = nullptr;
    char *p = *cursor;
    int rc = 0;
    for (;;) {
        while (space(*p))
            ++p;
        if (*p == '\0')
            break;
        if (cls == kOneLine) { // elements one after another, separated by white space
            char *before = p;
            void *node = nullptr;
            if ((rc = parse_block(&p, &node, arg1, ld->node, line)) != 0)
                break;
            append(head, node, ld);
            if (p == before) {
                logmsgf(ZTLOG_DEBUG, "readList",
                        "Extra data (%s) at end of field on line %d ignored.", p, line);
                p += strlen(p);
            }
            continue;
        }
        char *token = p;
        char *end;
        int term = isolate_token(&token, cls, &end);
        if (term < 0) {
            logmsgf(ZTLOG_DEBUG, "readList", "Unbalanced quotes or brackets (%s) on line %d.", p,
                    line);
            rc = kInvalidParameter;
            break;
        }
        const size_t len = strlen(token);
        if (len > 0) {
            char *c = token;
            void *node = nullptr;
            if ((rc = parse_block(&c, &node, arg1, ld->node, line)) != 0) {
                if (term > 0)
                    *end = char(term);
                break;
            }
            append(head, node, ld);
            while (space(*c))
                ++c;
            if (c < token + len && *c != '\0')
                logmsgf(ZTLOG_DEBUG, "readList",
                        "Extra data (%s) at end of field on line %d ignored.", c, line);
        }
        if (term <= 0) {
            p = token + len;
            break;
        }
        *end = char(term);
        p = end + 1;
    }
    if (rc != 0) {
        free_nodes(*head, ld);
        *head = nullptr;
        return rc;
    }
    *cursor = p;
    return 0;
}

int format_list(const void *field, std::string &out, uint64_t, const void *arg2) {
    const auto *ld = static_cast<const ListDesc *>(arg2);
    const uint32_t cls = ld->flags & kDelimMask;
    size_t last = 0;
    for (void *node = *static_cast<void *const *>(field); node != nullptr;
         node = next_of(node, ld)) {
        if (cls != kWhole)
            open_field(out, cls);
        int rc = format_block(node, out, ld->node);
        if (rc != 0)
            return rc;
        if (cls == kWhole)
            out += '\0'; // one piece per element (multi-line)
        else
            last = close_field(out, cls);
    }
    out.resize(out.size() - last);
    return 0;
}

int copy_list(void *dst, const void *src, uint64_t arg1, const void *arg2) {
    const auto *ld = static_cast<const ListDesc *>(arg2);
    void **out = static_cast<void **>(dst);
    *out = nullptr;
    void *head = nullptr;
    void **tail = &head;
    for (void *node = *static_cast<void *const *>(src); node != nullptr; node = next_of(node, ld)) {
        void *copy = nullptr;
        if (copy_block(&copy, node, arg1, ld->node) != 0) {
            free_nodes(head, ld);
            return kAllocFailed;
        }
        next_of(copy, ld) = nullptr;
        *tail = copy;
        tail = &next_of(copy, ld);
    }
    *out = head;
    return 0;
}

void free_list(void *field, uint64_t, const void *arg2) {
    void **head = static_cast<void **>(field);
    free_nodes(*head, static_cast<const ListDesc *>(arg2));
    *head = nullptr;
}

// Indexed by Type.
const TypeOps kTypeOps[kTypeCount] = {
    /* Int    */ {read_int, format_int, nullptr, nullptr},
    /* Enum   */ {read_enum, format_enum, nullptr, nullptr},
    /* Flags  */ {read_flags, format_flags, nullptr, nullptr},
    /* IPAddr */ {read_ipaddr, format_ipaddr, nullptr, nullptr},
    /* String */ {read_string, format_string, copy_string, free_string},
    /* Struct */ {read_struct, format_struct, copy_struct, free_struct},
    /* List   */ {read_list, format_list, copy_list, free_list},
    /* Int64  */ {read_int64, format_int64, nullptr, nullptr},
    /* Units  */ {read_units, format_units, nullptr, nullptr},
};

} // namespace ztbase::config
