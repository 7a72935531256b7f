// The event log: events of a named source with a type, category, id and
// insertion strings. By default they go to syslog(3) with the source as ident;
// tests install a sink of their own to read them back.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace ztbase::eventlog {

enum class Type { Error = 1, Warning = 2, Information = 4 };

struct Event {
    std::string source;
    Type type = Type::Error;
    int priority = 3; // the syslog priority the event was reported with
    int category = 0;
    unsigned id = 0;
    std::vector<std::string> strings;
};

using Sink = std::function<void(const Event &)>;

// Replaces the sink; an empty sink restores syslog. Returns the previous one.
Sink set_sink(Sink sink);

// The event type of a syslog priority: 4 warning; 5, 6, 7 information; else error.
Type type_for_priority(int priority);

// The syslog identifier of a source: its name with every blank made "_", as
// syslog readers end an identifier at the first blank.
std::string ident_for(const char *source);

// Opens and closes the system log for a source (ident kept in static storage).
void open_source(const char *source, int option, int facility);
void close_source();

void report(const Event &event);

} // namespace ztbase::eventlog
