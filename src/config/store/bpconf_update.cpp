// Updates of the local configuration store.
//
// The registry part of an update (reading the stored generic keys, merging
// them, writing every marked item) is one registry transaction: another
// process reads all of an update or none of it, and two processes updating
// different items or generic keys at once both keep their changes. A failed
// value is logged and the others are still tried, as the per-value rules say,
// but the transaction then commits nothing. The cluster-aware file is
// rewritten inside the same transaction, which serialises its rewrites too,
// and its failure also rolls the registry part back; the rewrite is renamed
// into place only after the registry part has been committed.
#include <cstring>
#include <memory>

#include <ztbase/bpconf.h>
#include <ztbase/debuglog.h>
#include <ztbase/paths.h>

#include "config/items/adhoc_config_ops.h"
#include "config/store/bpconf_internal.h"
#include "config/store/bpconf_store.h"
#include "base/zt_status.h"

namespace st = zt::status;

namespace reg = ztbase::registry;
namespace cfg = ztbase::config;
using namespace ztbase::bpconf;

namespace {

constexpr const char *kTag = "UpdateLocalHostConfig";

uint32_t registry_type(int index) {
    if (getConfigDataType(index) == ZTCONFIG_TYPE_INT)
        return reg::kDword;
    return IsMultiLineConfigData(index) ? reg::kMultiSz : reg::kSz;
}

// NotFound is what deleting an absent value answers: nothing to do.
bool removed(reg::Key &key, const std::string &name) {
    reg::Status s = key.remove_value(name);
    return s == reg::Status::Ok || s == reg::Status::NotFound;
}

std::vector<std::string> pieces(const std::string &text) {
    std::vector<std::string> out;
    for (size_t pos = 0; pos < text.size();) {
        size_t nul = text.find('\0', pos);
        if (nul == std::string::npos)
            nul = text.size();
        out.emplace_back(text, pos, nul - pos);
        pos = nul + 1;
    }
    return out;
}

int write_generic(reg::Key &key, const ZtConfig *record) {
    int status = 0;
    for (const ZtKeyValNode *n = record->GENERIC_KEY_VAL_LIST; n != nullptr; n = n->next) {
        if (n->key == nullptr || n->value == nullptr)
            continue;
        // An item's name is not a generic key: written, it would replace or
        // delete the item's own value.
        reg::Status s = getConfigIndexA(n->key) != -1 ? reg::Status::InvalidArgument
                        : is_tombstone(n->value)
                            ? (removed(key, n->key) ? reg::Status::Ok : reg::Status::Failed)
                            : key.set(reg::Value::sz(n->key, n->value));
        if (s != reg::Status::Ok) {
            logmsgf(ZTLOG_ERROR, kTag,
                    "Unable to write configuration item to the registry (%s%s%s), status = %d",
                    n->key, " = ", n->value, int(s));
            status = st::kFileWriteFailed;
        }
    }
    return status;
}

int write_item(ZtConfigSource *source, reg::Key &key, ZtConfig *record, ZtConfig *definition,
               int index, int32_t word) {
    const char *label = getConfigLabelA(index);
    const uint32_t type = registry_type(index);
    reg::Status s = reg::Status::Ok;
    std::string text;
    if (type == reg::kDword && word > 0) {
        const int32_t value = *static_cast<const int32_t *>(getConfigDataPointer(record, index));
        if (isULParam(index) == 2 && source->ulHook != nullptr)
            source->ulHook(index, record, definition);
        s = key.set(reg::Value::dword(label, uint32_t(value)));
        if (s != reg::Status::Ok) {
            logmsgf(ZTLOG_ERROR, kTag,
                    "Unable to write configuration item to the registry (%s = %d), status = %d",
                    label, value, int(s));
            return st::kFileWriteFailed;
        }
        return 0;
    }
    if (word < 0) {
        if (ConfigRequiresValue(index))
            s = removed(key, label) ? reg::Status::Ok : reg::Status::Failed;
        else
            s = key.set(reg::Value{label, type,
                                   type == reg::kMultiSz ? std::string(1, '\0') : std::string()});
    } else {
        if (cfg::format_item(index, record, text) != 0) {
            logmsgf(ZTLOG_ERROR, kTag,
                    "Unable to format configuration item (%s = ?), not enough memory", label);
            return st::kAllocFailed; // the system's "not enough memory"
        }
        if (text.empty())
            s = removed(key, label) ? reg::Status::Ok : reg::Status::Failed;
        else if (type == reg::kMultiSz)
            s = key.set(reg::Value::multi_sz(label, pieces(text)));
        else
            s = key.set(reg::Value::sz(label, text));
    }
    if (s != reg::Status::Ok) {
        const bool multi = type == reg::kMultiSz;
        std::string shown =
            multi ? pieces(text).empty() ? std::string() : pieces(text).front() : text;
        logmsgf(ZTLOG_ERROR, kTag,
                "Unable to write configuration item to the registry (%s%s%s%s), status = %d", label,
                shown.empty() ? "" : " = ", shown.c_str(), multi && !shown.empty() ? " ... " : "",
                int(s));
        return st::kFileWriteFailed;
    }
    return 0;
}

// Every non-obsolete item marked in definition, the last row included.
int write_items(ZtConfigSource *source, reg::Key &key, ZtConfig *record, ZtConfig *definition) {
    int status = 0;
    for (int i = 0; i < ZTCONFIG_TABLE_SIZE; ++i) {
        const int32_t word = def_word(definition, i);
        if (word == 0 || cfg::live_row(i) == nullptr)
            continue;
        if (isULParam(i) == 1) {
            if (source->ulHook != nullptr)
                source->ulHook(i, record, definition);
            continue;
        }
        if (isClusterAwareParam(i))
            continue;
        int s = i == generic_index() ? write_generic(key, record)
                                     : write_item(source, key, record, definition, i, word);
        if (s != 0)
            status = s;
        if (const char *const *alt = getConfigAltLabels(i))
            for (; *alt != nullptr; ++alt)
                removed(key, *alt);
    }
    return status;
}

} // namespace

extern "C" {

ZTBASE_API int UpdateLocalHostConfig(ZtConfigSource *source, ZtConfig *record,
                                     ZtConfig *definition) {
    if (record == nullptr || definition == nullptr)
        return st::kInvalidParameter;
    if (source == nullptr)
        source = bpconfLocalSource;
    // Looked up before the transaction: the path table takes its own lock and
    // may read the registry, which would wait for this transaction.
    const char *path = getFennicString("ZTCL_CONFIG_PATH");
    getFennicString("VAR_GLOBAL_PATH");
    cfg::defaults();
    int status = 0;
    bool writing = false; // failures from here on are write failures
    ClusterLock lock(true);
    if (lock.status() != 0)
        return lock.status();
    // The new cluster-aware file is written inside the transaction and put
    // in place only once the registry part is committed: a failure of either
    // part (a full disk under the file or under the registry) leaves both.
    ClusterRewrite rewrite;
    reg::Status committed = reg::transact(reg::Root::LocalMachine, [&] {
        auto stored = std::make_unique<ZtConfig>();
        int s = read_stored_for_update(source, stored.get());
        if (s != 0) {
            logmsgf(ZTLOG_ERROR, kTag, "Unable to read configuration: Status: %d\n", s);
            FreeConfig(stored.get());
            status = s;
            return reg::Status::Failed;
        }
        combineKeyValLists(record, stored.get());
        FreeConfig(stored.get());
        writing = true;
        reg::Key key;
        reg::Status rs = reg::Key::create(reg::Root::LocalMachine, ZTCONFIG_REGISTRY_KEY, key);
        if (rs != reg::Status::Ok) {
            logmsgf(ZTLOG_ERROR, kTag, "Unable to create or open %s; Status: %d\n",
                    registry_key_path().c_str(), int(rs));
            status = st::kFileWriteFailed;
            return reg::Status::Failed;
        }
        if ((s = write_items(source, key, record, definition)) != 0) {
            status = s;
            return reg::Status::Failed;
        }
        s = prepare_cluster_update(path, record, definition, rewrite);
        if (s == 0)
            logmsgf(ZTLOG_DEBUG, kTag, "UpdateClusterAwareConfigFile (%s) completed <%d>", path, s);
        else
            logmsgf(ZTLOG_ERROR, kTag, "UpdateClusterAwareConfigFile (%s) failed <%d>", path, s);
        status = s;
        return s == 0 ? reg::Status::Ok : reg::Status::Failed;
    });
    if (committed != reg::Status::Ok && status == 0) {
        // The store could not be opened for writing, or the commit failed.
        writing = true;
        status = st::kFileWriteFailed;
    }
    if (status == 0)
        status = rewrite.publish();
    else
        rewrite.discard();
    if (status != 0 && writing)
        logmsgf(ZTLOG_ERROR, kTag, "Unable to write server configuration to %s",
                registry_key_path().c_str());
    return status;
}

ZTBASE_API int UpdateLocalUsersConfig(ZtConfigSource *source, ZtConfig *record,
                                      ZtConfig *definition) {
    return UpdateLocalHostConfig(source, record, definition);
}

ZTBASE_API int UpdateHostConfigClientOrServer(ZtConfigSource *source, ZtConfig *record,
                                              ZtConfig *definition, const char *host,
                                              const char *second) {
    if (source == nullptr)
        source = bpconfLocalSource;
    if (source->updateHost == nullptr)
        return st::kUnimplemented;
    return source->updateHost(source, record, definition, host, second);
}

ZTBASE_API int UpdateUsersConfigClientOrServer(ZtConfigSource *source, ZtConfig *record,
                                               ZtConfig *definition, const char *a, const char *b,
                                               const char *c) {
    if (source == nullptr)
        source = bpconfLocalSource;
    if (source->updateUsers == nullptr)
        return st::kUnimplemented;
    return source->updateUsers(source, record, definition, a, b, c);
}

} // extern "C"
