// The registered-services file on the text record store (grammar in
// vnet/vnet_services.h).
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <strings.h>
#include <vector>

#include "vnet/vnet_services.h"
#include "ztbase/debuglog.h"
#include "ztbase/vtext.h"

namespace zt::vnet::services {
namespace {

const char kSource[] = "vnet_text.cpp";

void release(vnet_service_entry *e) {
    if (e == nullptr)
        return;
    free(e->name);
    free(e->ipc);
    free(e->icmd);
    free(e->dcmd);
    for (int i = 0; e->args != nullptr && i < e->arg_count; ++i)
        free(e->args[i]);
    free(e->args);
    free(e);
}

bool set_text(char **field, const std::string &value) {
    char *copy = strdup(value.c_str());
    if (copy == nullptr)
        return false;
    free(*field);
    *field = copy;
    return true;
}

bool add_arg(vnet_service_entry *e, const std::string &value) {
    auto *grown = static_cast<char **>(realloc(e->args, sizeof(char *) * (e->arg_count + 2)));
    if (grown == nullptr)
        return false;
    e->args = grown;
    e->args[e->arg_count] = strdup(value.c_str());
    if (e->args[e->arg_count] == nullptr)
        return false;
    e->args[++e->arg_count] = nullptr;
    return true;
}

bool parse_number(const std::string &text, unsigned long *value) {
    if (text.empty() || !isdigit(static_cast<unsigned char>(text[0])))
        return false;
    errno = 0;
    char *end = nullptr;
    unsigned long v = strtoul(text.c_str(), &end, 0);
    if (errno != 0 || *end != '\0')
        return false;
    *value = v;
    return true;
}

bool blank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

const char *skip_blanks(const char *p) {
    while (blank(*p))
        ++p;
    return p;
}

// One value after "=": quoted, blank-led text (runs to the next blank) or
// bare (runs to ";"). Leaves p after the field's ";". False when malformed.
bool read_value(const char *&p, std::string &value) {
    if (*p == '"' || *p == '\'') {
        const char *end = strchr(p + 1, *p);
        if (end == nullptr)
            return false;
        value.assign(p + 1, end);
        p = skip_blanks(end + 1);
    } else if (blank(*p)) {
        p = skip_blanks(p);
        const char *start = p;
        while (*p != '\0' && !blank(*p))
            ++p;
        value.assign(start, p);
        p = skip_blanks(p);
        // "KEY= text;" (hand-written) and "KEY= ;" carry the ";" in the text
        if (*p != ';' && !value.empty() && value.back() == ';') {
            value.pop_back();
            return true;
        }
    } else {
        const char *end = strchr(p, ';');
        if (end == nullptr)
            end = p + strlen(p);
        value.assign(p, end);
        p = end;
    }
    if (*p == ';')
        ++p;
    else if (*p != '\0')
        return false;
    return true;
}

// Fills e from one line; false (with the reason) when the line is malformed.
bool read_fields(const char *line, vnet_service_entry *e, const char **why) {
    const char *p = line;
    for (;;) {
        p = skip_blanks(p);
        if (*p == '\0' || *p == '#')
            return true;
        const char *eq = strchr(p, '=');
        if (eq == nullptr) {
            *why = "field without '='";
            return false;
        }
        std::string key(p, eq);
        while (!key.empty() && blank(key.back()))
            key.pop_back();
        p = eq + 1;
        std::string value;
        if (!read_value(p, value)) {
            *why = "malformed value";
            return false;
        }
        const char *k = key.c_str();
        bool ok = true;
        if (strcasecmp(k, "NAME") == 0)
            ok = set_text(&e->name, value);
        else if (strcasecmp(k, "IPC") == 0)
            ok = set_text(&e->ipc, value);
        else if (strcasecmp(k, "ICMD") == 0)
            ok = set_text(&e->icmd, value);
        else if (strcasecmp(k, "DCMD") == 0)
            ok = set_text(&e->dcmd, value);
        else if (strcasecmp(k, "ARG") == 0)
            ok = add_arg(e, value);
        else if (strcasecmp(k, "PID") == 0 || strcasecmp(k, "REGTIME") == 0 ||
                 strcasecmp(k, "EXPTIME") == 0) {
            unsigned long n = 0;
            if (!parse_number(value, &n)) {
                *why = "bad number";
                return false;
            }
            (strcasecmp(k, "PID") == 0       ? e->pid
             : strcasecmp(k, "REGTIME") == 0 ? e->regtime
                                             : e->exptime) = n;
        }
        if (!ok) {
            *why = "out of memory";
            return false;
        }
    }
}

// Appends KEY=DtextD; (nothing for a null text); false for a text no line can
// carry.
bool write_text(std::string &out, const char *key, const char *text) {
    if (text == nullptr)
        return true;
    if (strpbrk(text, "\r\n") != nullptr)
        return false;
    char d = ' ';
    if (vtext_delimiter(text, &d) != VTEXT_OK)
        return false;
    if (d == ' ' && text[0] == '\0')
        d = '"'; // an empty text needs a visible delimiter
    out += key;
    out += '=';
    out += d;
    out += text;
    out += d;
    out += ';';
    return true;
}

void write_number(std::string &out, const char *key, unsigned long n) {
    out += key;
    out += '=';
    out += std::to_string(n);
    out += ';';
}

bool format_line(const vnet_service_entry &e, std::string &out) {
    bool ok = write_text(out, "NAME", e.name);
    write_number(out, "PID", e.pid);
    if (e.regtime != 0)
        write_number(out, "REGTIME", e.regtime);
    if (e.exptime != 0)
        write_number(out, "EXPTIME", e.exptime);
    ok = ok && write_text(out, "IPC", e.ipc) && write_text(out, "ICMD", e.icmd) &&
         write_text(out, "DCMD", e.dcmd);
    for (int i = 0; ok && e.args != nullptr && i < e.arg_count && e.args[i] != nullptr; ++i)
        ok = write_text(out, "ARG", e.args[i]);
    return ok;
}

} // namespace

int parse_line(char *line, void **item, char *) {
    *item = nullptr;
    auto *e = static_cast<vnet_service_entry *>(calloc(1, sizeof(vnet_service_entry)));
    if (e == nullptr)
        return VTEXT_NO_MEMORY;
    const char *why = nullptr;
    bool ok = read_fields(line, e, &why);
    if (!ok || (e->name == nullptr && e->pid == 0 && e->ipc == nullptr && e->arg_count == 0 &&
                e->icmd == nullptr && e->dcmd == nullptr && e->regtime == 0 && e->exptime == 0)) {
        if (!ok)
            logmsgf(ZTLOG_WARNING, "vnet_read_service_file", "%s: skipping a line: %s", kSource,
                    why);
        release(e);
        return VTEXT_OK;
    }
    *item = e;
    return VTEXT_OK;
}

int format_entry(void *item, char **text, void *) {
    *text = nullptr;
    std::string line;
    if (!format_line(*static_cast<const vnet_service_entry *>(item), line))
        return VTEXT_BOTH_QUOTES;
    *text = strdup(line.c_str());
    return *text != nullptr ? VTEXT_OK : VTEXT_NO_MEMORY;
}

void free_entry(void **item) {
    release(static_cast<vnet_service_entry *>(*item));
    *item = nullptr;
}

} // namespace zt::vnet::services

namespace svc = zt::vnet::services;

#define VNET_FAIL(tag, status) (vnet_failure(__FILE_NAME__, __LINE__, tag, status), (status))

extern "C" ZTBASE_API void vnet_free_service_list(vnet_service_entry *list) {
    while (list != nullptr) {
        vnet_service_entry *next = list->next;
        void *item = list;
        svc::free_entry(&item);
        list = next;
    }
}

extern "C" ZTBASE_API int vnet_read_service_file(const char *path, vnet_service_entry **list) {
    static const char *const tag = "vnet_read_service_file";
    if (list == nullptr || path == nullptr)
        return VNET_FAIL(tag, VNET_BAD_PARAM);
    *list = nullptr;
    vtext_handle *h = nullptr;
    int rc =
        vtext_open(path, VTEXT_MODE_READ, svc::parse_line, svc::format_entry, svc::free_entry, &h);
    if (rc != 0)
        return VNET_FAIL(tag, vnet_text_to_net_status(rc));
    vnet_service_entry *tail = nullptr;
    for (;;) {
        void *item = nullptr;
        rc = vtext_get_next_item(h, &item);
        if (rc != 0 || item == nullptr)
            break;
        auto *e = static_cast<vnet_service_entry *>(item);
        e->prev = tail;
        (tail != nullptr ? tail->next : *list) = e;
        tail = e;
    }
    vtext_close(&h, 0);
    if (rc != 0) {
        vnet_free_service_list(*list);
        *list = nullptr;
        return VNET_FAIL(tag, vnet_text_to_net_status(rc));
    }
    return VNET_SUCCESS;
}

extern "C" ZTBASE_API int vnet_add_service_entry(vnet_service_entry **list,
                                                 vnet_service_entry *after, const char *name,
                                                 unsigned long pid, unsigned long regtime,
                                                 unsigned long exptime, const char *ipc,
                                                 const char *icmd, const char *dcmd, char **args) {
    static const char *const tag = "vnet_add_service_entry";
    if (list == nullptr)
        return VNET_FAIL(tag, VNET_BAD_PARAM);
    vnet_service_entry draft{};
    draft.name = const_cast<char *>(name);
    draft.pid = pid;
    draft.regtime = regtime;
    draft.exptime = exptime;
    draft.ipc = const_cast<char *>(ipc);
    draft.icmd = const_cast<char *>(icmd);
    draft.dcmd = const_cast<char *>(dcmd);
    draft.args = args;
    while (args != nullptr && args[draft.arg_count] != nullptr)
        ++draft.arg_count;
    // Written as a line and read back, so that an entry in memory is its file form.
    char *line = nullptr;
    int rc = svc::format_entry(&draft, &line, nullptr);
    if (rc != VTEXT_OK)
        return VNET_FAIL(tag, rc == VTEXT_NO_MEMORY ? VNET_MALLOC_FAILED : VNET_BAD_STRING);
    void *item = nullptr;
    rc = svc::parse_line(line, &item, line);
    free(line);
    if (rc != VTEXT_OK || item == nullptr)
        return VNET_FAIL(tag, rc == VTEXT_NO_MEMORY ? VNET_MALLOC_FAILED : VNET_BAD_STRING);
    auto *e = static_cast<vnet_service_entry *>(item);
    bool found = false;
    for (vnet_service_entry *p = *list; p != nullptr && after != nullptr; p = p->next)
        found = found || p == after;
    if (found) {
        e->prev = after;
        e->next = after->next;
        if (after->next != nullptr)
            after->next->prev = e;
        after->next = e;
    } else {
        e->next = *list;
        if (*list != nullptr)
            (*list)->prev = e;
        *list = e;
    }
    return VNET_SUCCESS;
}

extern "C" ZTBASE_API int vnet_update_service_file(const char *path,
                                                   const vnet_service_entry *list) {
    static const char *const tag = "vnet_update_service_file";
    if (path == nullptr)
        return VNET_FAIL(tag, VNET_BAD_PARAM);
    vtext_handle *h = nullptr;
    int rc = vtext_open(path, VTEXT_MODE_CREATE, svc::parse_line, svc::format_entry,
                        svc::free_entry, &h);
    if (rc != 0)
        return VNET_FAIL(tag, vnet_text_to_net_status(rc));
    for (const vnet_service_entry *e = list; e != nullptr && rc == 0; e = e->next)
        rc = vtext_append_item(h, const_cast<vnet_service_entry *>(e));
    if (rc != 0) {
        vtext_close(&h, 0);
        return VNET_FAIL(tag,
                         rc == VTEXT_BOTH_QUOTES ? VNET_BAD_STRING : vnet_text_to_net_status(rc));
    }
    rc = vtext_close(&h, 1);
    if (rc != 0)
        return VNET_FAIL(tag, vnet_text_to_net_status(rc));
    return VNET_SUCCESS;
}
