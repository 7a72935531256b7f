// Inside the path table: the live table of label nodes, its lock, the override
// store and what the tests need to start afresh.
#pragma once

#include <atomic>
#include <string>

#include "ztbase/avl.h"

namespace ztbase::pathconfig {

struct Node {
    const char *label;
    bool owns_label;
    const char *tmpl;
    bool owns_tmpl;
    // Expansion; null until first asked; may be tmpl itself. Written under the
    // table mutex, read without it once set.
    std::atomic<const char *> cache;
    const char *unix_path; // set only for nodes of the command map
    int refs;              // 1 for the table, +1 when also in the command map
    bool expanding;        // on the stack of expansions under way
    bool in_cycle;         // refers back to itself through other labels
};

// The live table: built on first use, kept for the life of the process.
struct Table {
    AVLtree *labels = nullptr;   // Node*, by label (see compare_labels)
    AVLtree *commands = nullptr; // Node*, by UNIX path, built on first UnixToLocalCmd
    int nesting = 0;
};

// Orders labels by the characters from the third on, then by the first, then
// by the second.
int compare_labels(const char *a, const char *b);

// The table under the path-table mutex, which the caller holds.
Table &table_locked();
Node *find_node(Table &table, const char *label);

// Reads the override store and installs each override into the table; true
// when any of them changed it.
bool install_overrides(Table &table);

// Normalises override data: outer white space removed and backslash escapes
// decoded.
std::string normalise_override(const std::string &data);

// Writes one event to the system event log under the module's name.
void report_event(const char *format, ...) __attribute__((format(printf, 1, 2)));

// How events reach the system event log: under the source the process has open,
// or else under the source of `ident` for this event alone. The system-log
// family sits above the table, so the library's attach wiring installs its
// reporter; until then events are dropped.
using EventReporter = void (*)(const char *ident, int priority, const char *text);
void install_event_reporter(EventReporter reporter);

// Drops the table so that the next lookup builds it again with the overrides of
// that moment. For tests only: results handed out before become invalid.
void reset_for_tests();
// Lets the next failure to read the override store be reported again.
void reset_open_report_for_tests();
// Sets a label's template as it stands, without the override rules, so that
// tests can build tables the rules would never make (a template cycle).
// The caller holds lockConfig.
bool install_raw_for_tests(const std::string &label, const std::string &tmpl);

} // namespace ztbase::pathconfig
