#include "platform/eventlog.h"

#include <mutex>
#include <set>
#include <string>
#include <syslog.h>

namespace ztbase::eventlog {
namespace {

std::mutex g_mutex;
Sink g_sink;

} // namespace

Sink set_sink(Sink sink) {
    std::lock_guard<std::mutex> lock(g_mutex);
    Sink previous = std::move(g_sink);
    g_sink = std::move(sink);
    return previous;
}

Type type_for_priority(int priority) {
    if (priority == LOG_WARNING)
        return Type::Warning;
    if (priority == LOG_NOTICE || priority == LOG_INFO || priority == LOG_DEBUG)
        return Type::Information;
    return Type::Error;
}

std::string ident_for(const char *source) {
    std::string ident = source != nullptr ? source : "";
    for (char &c : ident)
        if (c == ' ' || c == '\t')
            c = '_';
    return ident;
}

void open_source(const char *source, int option, int facility) {
    // syslog keeps the pointer: one identifier per source, kept for ever.
    static std::mutex idents_mutex;
    static std::set<std::string> idents;
    const char *ident;
    {
        std::lock_guard<std::mutex> lock(idents_mutex);
        ident = idents.insert(ident_for(source)).first->c_str();
    }
    openlog(ident, option | LOG_PID, facility != 0 ? facility : LOG_USER);
}

void close_source() {
    closelog();
}

void report(const Event &event) {
    Sink sink;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        sink = g_sink;
    }
    if (sink) {
        sink(event);
        return;
    }
    int priority = event.type == Type::Warning       ? LOG_WARNING
                   : event.type == Type::Information ? LOG_INFO
                                                     : LOG_ERR;
    for (const std::string &text : event.strings)
        syslog(priority, "%s", text.c_str());
}

} // namespace ztbase::eventlog
