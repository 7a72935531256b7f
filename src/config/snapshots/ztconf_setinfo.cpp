// Writing an information record back to the local host configuration. Zero
// and null fields mean "not set": they never clear a stored value, except for
// the few fields whose zero is a real choice.
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <ztbase/bpconf.h>
#include <ztbase/debuglog.h>
#include <ztbase/ztconf.h>

#include "config/store/bpconf_internal.h"
#include "config/snapshots/ztconf_info_fields.h"
#include "config/snapshots/ztconf_internal.h"
#include "base/zt_status.h"

namespace st = zt::status;

namespace {

struct Field {
    size_t offset;
    const char *label;
};

#define SET_PLAIN_INT(field, item) {offsetof(ztconf_info_t, field), #item},
#define SET_PLAIN_STRING(field, item)
#define SET_PLAIN_HOSTS(field, item)
#define SET_PLAIN(field, item, kind) SET_PLAIN_##kind(field, item)
#define SET_OWN(field, item, kind)
#define SET_NONE(field, item, kind)
#define ROW(field, item, kind, get, set, json) SET_##set(field, item, kind)
// Scalars written when set and different from the stored value.
const Field kInts[] = {ZTCONF_INFO_FIELDS(ROW)};
#undef SET_PLAIN_INT
#undef SET_PLAIN_STRING
#define SET_PLAIN_INT(field, item)
#define SET_PLAIN_STRING(field, item) {offsetof(ztconf_info_t, field), #item},
// Strings written when set and different from the stored value.
const Field kStrings[] = {ZTCONF_INFO_FIELDS(ROW)};
#undef SET_PLAIN_STRING
#undef SET_PLAIN_HOSTS
#define SET_PLAIN_STRING(field, item)
#define SET_PLAIN_HOSTS(field, item) {offsetof(ztconf_info_t, field), #item},
// Name lists written when given.
const Field kHosts[] = {ZTCONF_INFO_FIELDS(ROW)};
#undef ROW
#undef SET_NONE
#undef SET_OWN
#undef SET_PLAIN
#undef SET_PLAIN_HOSTS
#undef SET_PLAIN_STRING
#undef SET_PLAIN_INT

using ztbase::bpconf::new_record;
using ztbase::bpconf::Record;

// Fills the update record; 0 or 36.
class Writer {
  public:
    Writer(const ZtConfig &stored, ZtConfig &update, ZtConfig &definition)
        : stored_(stored), update_(update), definition_(definition) {}

    void mark(const char *label) {
        ztbase::bpconf::set_def_word(&definition_, getConfigIndexA(label), 1);
    }

    template <typename T> T &field(const char *label) {
        return *static_cast<T *>(getConfigDataPointer(&update_, getConfigIndexA(label)));
    }
    template <typename T> const T &stored(const char *label) {
        return *static_cast<const T *>(
            getConfigDataPointer(const_cast<ZtConfig *>(&stored_), getConfigIndexA(label)));
    }

    void int_value(const char *label, int32_t value) {
        field<int32_t>(label) = value;
        mark(label);
    }

    void string_value(const char *label, const char *value) {
        char *copy = strdup(value);
        if (copy == nullptr) {
            status = st::kNoMemory;
            return;
        }
        field<char *>(label) = copy;
        mark(label);
    }

    void hosts(const char *label, const ztconf_string_list_t *list) {
        if (list == nullptr)
            return;
        ZtHostNode **tail = &field<ZtHostNode *>(label);
        for (; list != nullptr && status == 0; list = list->next) {
            auto *node = static_cast<ZtHostNode *>(calloc(1, sizeof(ZtHostNode)));
            if (node == nullptr || (node->host = strdup(list->name ? list->name : "")) == nullptr) {
                free(node);
                status = st::kNoMemory;
                return;
            }
            *tail = node;
            tail = &node->next;
        }
        mark(label);
    }

    void window(const char *label, int32_t low, int32_t high) {
        const ZtPortWindow *old = stored<ZtPortWindow *>(label);
        if ((low == 0 && high == 0) || (old != nullptr && old->low == low && old->high == high))
            return;
        auto *w = static_cast<ZtPortWindow *>(malloc(sizeof(ZtPortWindow)));
        if (w == nullptr) {
            status = st::kNoMemory;
            return;
        }
        w->low = low;
        w->high = high;
        field<ZtPortWindow *>(label) = w;
        mark(label);
    }

    int status = 0;

  private:
    const ZtConfig &stored_;
    ZtConfig &update_;
    ZtConfig &definition_;
};

int fill(const ztconf_info_t &info, Writer &w) {
    const auto *base = reinterpret_cast<const char *>(&info);
    for (const Field &f : kHosts)
        w.hosts(f.label, *reinterpret_cast<ztconf_string_list_t *const *>(base + f.offset));
    if (info.authentication_domain != nullptr) {
        ZtAuthDomainNode **tail = &w.field<ZtAuthDomainNode *>("AUTHENTICATION_DOMAIN");
        for (auto *d = info.authentication_domain; d != nullptr && w.status == 0; d = d->next) {
            auto *node = static_cast<ZtAuthDomainNode *>(calloc(1, sizeof(ZtAuthDomainNode)));
            if (node == nullptr)
                return st::kNoMemory;
            *tail = node;
            tail = &node->next;
            node->type = d->type;
            node->port = d->port;
            if ((d->domain && !(node->domain = strdup(d->domain))) ||
                (d->comment && !(node->comment = strdup(d->comment))) ||
                (d->broker && !(node->broker = strdup(d->broker))))
                return st::kNoMemory;
        }
        w.mark("AUTHENTICATION_DOMAIN");
    }
    if (info.authorization_service != nullptr) {
        auto *s = static_cast<ZtAuthService *>(calloc(1, sizeof(ZtAuthService)));
        if (s == nullptr)
            return st::kNoMemory;
        w.field<ZtAuthService *>("AUTHORIZATION_SERVICE") = s;
        s->port = info.authorization_service->port;
        if (info.authorization_service->host != nullptr &&
            (s->host = strdup(info.authorization_service->host)) == nullptr)
            return st::kNoMemory;
        w.mark("AUTHORIZATION_SERVICE");
    }
    if (info.resilient_network != nullptr) {
        ZtResilientNetworkNode **tail = &w.field<ZtResilientNetworkNode *>("RESILIENT_NETWORK");
        for (auto *r = info.resilient_network; r != nullptr; r = r->next) {
            auto *node =
                static_cast<ZtResilientNetworkNode *>(calloc(1, sizeof(ZtResilientNetworkNode)));
            if (node == nullptr)
                return st::kNoMemory;
            *tail = node;
            tail = &node->next;
            node->on = r->on;
            if ((node->network = strdup(r->host != nullptr ? r->host : "")) == nullptr)
                return st::kNoMemory;
        }
        w.mark("RESILIENT_NETWORK");
    }

    w.int_value("USE_HXSS", info.use_hxss);
    if ((w.stored<int32_t>("USE_AUTHENTICATION") == 1 ? 1 : 0) != info.use_authentication)
        w.int_value("USE_AUTHENTICATION", info.use_authentication != 0 ? 1 : 0);
    if (w.stored<int32_t>("REQUEST_STU_RESOURCE_FOR_SNAPSHOT_JOBS") !=
        info.request_stu_resource_for_snapshot_jobs)
        w.int_value("REQUEST_STU_RESOURCE_FOR_SNAPSHOT_JOBS",
                    info.request_stu_resource_for_snapshot_jobs);

    for (const Field &f : kInts) {
        int32_t value = *reinterpret_cast<const int32_t *>(base + f.offset);
        if (value != 0 && value != w.stored<int32_t>(f.label))
            w.int_value(f.label, value);
    }
    for (const Field &f : kStrings) {
        const char *value = *reinterpret_cast<char *const *>(base + f.offset);
        const char *old = w.stored<char *>(f.label);
        if (value != nullptr && value[0] != '\0' && (old == nullptr || strcmp(old, value) != 0))
            w.string_value(f.label, value);
    }
    w.window("CLIENT_PORT_WINDOW", info.client_port_window_low, info.client_port_window_high);
    w.window("CLIENT_RESERVED_PORT_WINDOW", info.client_reserved_port_window_low,
             info.client_reserved_port_window_high);
    return w.status;
}

} // namespace

extern "C" ZTBASE_API int ztconf_set_info(ztconf_info_t *info) {
    if (info == nullptr)
        return st::kInvalidParameter;
    // The thread's own record stays with the thread whatever happens.
    ztbase_tss_data *b = ztbase::ztconf::block();
    const bool owned_by_thread = b != nullptr && b->conf_info == info;
    auto fail = [&](int status) {
        ZTCONF_TRACE(status);
        if (!owned_by_thread)
            ztconf_free_info(info);
        return status;
    };

    Record stored = new_record(), update = new_record(), definition = new_record();
    if (!stored || !update || !definition)
        return fail(st::kNoMemory);
    if (ztbase::bpconf::read_stored_for_update(bpconfLocalSource, stored.get()) != 0)
        return fail(st::kFileOpenFailed);
    Writer writer(*stored, *update, *definition);
    int status = fill(*info, writer);
    if (status != 0)
        return fail(status);
    definition->valid = 1;
    update->valid = 1;
    status = UpdateLocalHostConfig(bpconfLocalSource, update.get(), definition.get());
    // The definition record owns nothing: zero it before its deleter runs.
    memset(definition.get(), 0, sizeof(ZtConfig));
    if (status != 0) {
        logmsgf(ZTLOG_ERROR, "ztconf_set_info", "UpdateLocalHostConfig failed: %d", status);
        return fail(status);
    }
    return 0;
}
