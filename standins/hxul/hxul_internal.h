// Inside hxul: the record codec shared by the writer and the reader, the
// configuration resolved for one log, and the file layout. The format itself
// is described once, in include/hxul/hxul.h.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <hxul/hxul.h>

struct hlvnLogRecord {
    int64_t time_ms = 0;
    hlvnLogKind_t kind = HLVN_KIND_DEBUG;
    int level = 0;
    unsigned long product = 0;
    unsigned long originator = 0;
    unsigned long pid = 0;
    unsigned long tid = 0;
    unsigned long msgid = 0;
    std::string who;
    std::vector<std::string> fields; // the text, or the arguments
    size_t nfields = 0;              // fields in use (the vector keeps its strings)
};

namespace hxul {

constexpr int kTimeDigits = 13;
constexpr size_t kMaxText = 16 * 1024; // bytes of a debug text kept (then "...")
constexpr size_t kMaxArg = 2 * 1024;   // bytes of one argument kept
constexpr int kMaxArgs = 16;           // arguments kept
constexpr size_t kMaxWho = 256;
constexpr const char *kHeaderLine =
    "# hxul records: time_ms\tkind\tlevel\tproduct\toriginator\tpid\ttid\twho\tmsgid\tnargs\t"
    "text|args...\n";

// What one record holds before it is written.
struct Draft {
    int64_t time_ms;
    hlvnLogKind_t kind;
    int level;
    unsigned long product, originator, pid, tid, msgid;
    const char *who;
    const char *const *fields;
    int nfields;
    bool utf8;
};

// Appends the record as one line (with its line feed) to out.
void encode(const Draft &d, std::string &out);
// Parses one line (without line feed) into rec; false when it is not a record.
bool parse(std::string_view line, hlvnLogRecord &rec);
// parse, and when the line does not parse, the whole record that follows a
// piece left by a killed writer on the same line. false when none parses.
bool parse_or_resync(std::string_view line, hlvnLogRecord &rec);

// Settings of one product and originator.
struct Settings {
    int debug_level = 0;
    int diag_level = 1;
    long max_kb = 51200;
    long num_files = 0;
    int recycling = 0;
    bool has_resdir = false, has_resource = false, has_library = false;
    std::string resdir, resource, library;
};

// Parses a configuration text for a product and originator. bad (when given)
// receives the numbers and texts of skipped lines.
Settings parse_config(std::string_view text, unsigned long product, unsigned long originator,
                      std::vector<std::pair<int, std::string>> *bad);
// The settings from the configuration file, through a cache that re-reads
// the file when it changed. gen (when given) receives the cache generation.
// Returns 0 or HLVN_E_CONFIG.
int current_settings(unsigned long product, unsigned long originator, Settings &out,
                     uint64_t *gen);
// The cache generation, after looking at the file when the last look is at
// least a second old.
uint64_t config_generation();

// Process-wide paths.
std::string config_file();
std::string logs_dir();

// Files of a product and originator: NAME-SEQ.log in DIR.
struct LogFile {
    std::string name; // file name
    std::string prefix;
    long seq;
};
// The record files of a directory, ordered by prefix then sequence.
std::vector<LogFile> list_log_files(const std::string &dir, const char *only_prefix);
// Splits "NAME-SEQ.log"; false when the name is not a record file name.
bool split_log_name(std::string_view name, std::string &prefix, long &seq);

// Whether a query text parses (for the fuzz target).
bool query_parses(std::string_view text);

// Monotonic milliseconds (coarse clock).
int64_t mono_ms();

} // namespace hxul
