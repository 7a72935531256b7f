// The operations of the plain types and String (adhoc_config_scalars.cpp).
#pragma once

#include <string>

#include "config/items/adhoc_config_table.h"

namespace ztbase::config {

// Reads an integer with base detection; empty text (or text starting with
// white space) gives arg1 and sets *was_empty. 20 when there are no digits or
// the number does not fit 32 bits; no message.
int parse_int(char **cursor, int32_t *value, uint64_t arg1, bool *was_empty);
__int128 units_base(const ZtUnits &u);
const UnitWord *find_unit_word(const char *word);

int read_int(char **cursor, void *field, uint64_t arg1, const void *arg2, int line);
int read_int64(char **cursor, void *field, uint64_t arg1, const void *arg2, int line);
int read_units(char **cursor, void *field, uint64_t arg1, const void *arg2, int line);
int read_enum(char **cursor, void *field, uint64_t arg1, const void *arg2, int line);
int read_flags(char **cursor, void *field, uint64_t arg1, const void *arg2, int line);
int read_ipaddr(char **cursor, void *field, uint64_t arg1, const void *arg2, int line);
int read_string(char **cursor, void *field, uint64_t arg1, const void *arg2, int line);

int format_int(const void *field, std::string &out, uint64_t arg1, const void *arg2);
int format_int64(const void *field, std::string &out, uint64_t arg1, const void *arg2);
int format_units(const void *field, std::string &out, uint64_t arg1, const void *arg2);
int format_enum(const void *field, std::string &out, uint64_t arg1, const void *arg2);
int format_flags(const void *field, std::string &out, uint64_t arg1, const void *arg2);
int format_ipaddr(const void *field, std::string &out, uint64_t arg1, const void *arg2);
int format_string(const void *field, std::string &out, uint64_t arg1, const void *arg2);

int copy_string(void *dst, const void *src, uint64_t arg1, const void *arg2);
void free_string(void *field, uint64_t arg1, const void *arg2);

} // namespace ztbase::config
