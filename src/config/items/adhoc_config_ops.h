// The four operations of the nine data types, and the item-level calls built
// on them that the parser, the image writers and the snapshot layer use.
//
// read(cursor, field, arg1, arg2, line) -> 0, 10 (out of memory) or 20 (badly
//   formed), after logging at level 2 with the reader's name as tag. On success
//   *cursor is left after the consumed text. The text is modified only while a
//   token is isolated; every terminator is put back before returning.
// format(field, out, arg1, arg2) -> 0, or 20 when the value cannot be
//   expressed; appends to out (multi-line pieces each end with a NUL).
// copy(dst, src, arg1, arg2) -> 0 or 10; overwrites dst without freeing it.
// free(field, arg1, arg2) releases what the field owns and nulls it.
#pragma once

#include <string>

#include "config/items/adhoc_config_table.h"

namespace ztbase::config {

using ReadFn = int (*)(char **cursor, void *field, uint64_t arg1, const void *arg2, int line);
using FormatFn = int (*)(const void *field, std::string &out, uint64_t arg1, const void *arg2);
using CopyFn = int (*)(void *dst, const void *src, uint64_t arg1, const void *arg2);
using FreeFn = void (*)(void *field, uint64_t arg1, const void *arg2);

struct TypeOps {
    ReadFn read;
    FormatFn format;
    CopyFn copy; // null: the field is copied bit for bit
    FreeFn free; // null: the field owns nothing
};
extern const TypeOps kTypeOps[kTypeCount];

// The row of a valid, non-obsolete index, else null.
const Row *live_row(int index);

// Item-level operations on a record (index must be live).
int read_item(int index, char **cursor, ZtConfig *record, int line);
int format_item(int index, const ZtConfig *record, std::string &out);
int copy_item(int index, ZtConfig *dst, const ZtConfig *src);
void free_item(int index, ZtConfig *record);

// The tokenizer with the terminator position made explicit: *end is where the
// NUL was put (the caller puts the returned terminator back there).
int isolate_token(char **cursor, uint32_t delimiter_class, char **end);

} // namespace ztbase::config
