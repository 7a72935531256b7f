// Hook (c): the thread-local slot and the per-thread block.
#include "base/tss.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <pthread.h>

#include "base/module_hooks.h"

namespace ztbase {
namespace {

void nothing_held(ztbase_tss_data *) {}
long no_references(const ztbase_tss_data *) {
    return 0;
}
constexpr TssConfReleaser kNoConf{nothing_held, no_references, nothing_held};
std::atomic<const TssConfReleaser *> g_conf{&kNoConf};

pthread_key_t g_slot;
std::atomic<bool> g_slot_allocated{false};

void thread_end(void *value) {
    // The key's value is already null here; release what the thread owned.
    if (value != nullptr)
        tss_release_block(static_cast<ztbase_tss_data *>(value));
}

} // namespace

void tss_install_conf_releaser(const TssConfReleaser *releaser) {
    g_conf.store(releaser != nullptr ? releaser : &kNoConf, std::memory_order_release);
}

void tss_release_block(ztbase_tss_data *block) {
    free(block->status_msg);
    free(block->connect_recs);
    if (block->vnet_record != nullptr)
        json_decref(block->vnet_record); // an immortal record keeps its count
    const TssConfReleaser &conf = *g_conf.load(std::memory_order_acquire);
    conf.release_conf_info(block);
    if (conf.snapshot_references(block) != 0)
        abort(); // a thread ended holding configuration snapshot references
    conf.free_snapshot_list(block);
    free(block->master_server);
    block->conf_info_refs[0] = 0;
    block->conf_info_refs[1] = 0;
    free(block->originator_cred_name);
    free(block->peeripstr);
    free(block->peerhostname);
    free(block->peerhostdetails_json);
    free(block->dhcp_client_json);
    memset(block, 0, sizeof *block);
    free(block);
}

void tss_module_event(LoadReason reason) {
    switch (reason) {
    case LoadReason::ProcessAttach:
        if (!g_slot_allocated.load(std::memory_order_acquire) &&
            pthread_key_create(&g_slot, thread_end) == 0)
            g_slot_allocated.store(true, std::memory_order_release);
        break;
    case LoadReason::ThreadDetach:
        if (g_slot_allocated.load(std::memory_order_acquire)) {
            auto *block = static_cast<ztbase_tss_data *>(pthread_getspecific(g_slot));
            if (block != nullptr) {
                pthread_setspecific(g_slot, nullptr);
                tss_release_block(block);
            }
        }
        break;
    case LoadReason::ProcessDetach:
        // Blocks of threads still alive stay where they are.
        if (g_slot_allocated.exchange(false, std::memory_order_acq_rel))
            pthread_key_delete(g_slot);
        break;
    case LoadReason::ThreadAttach:
        break;
    }
}

} // namespace ztbase

extern "C" ZTBASE_API int ztbase_get_tss_data(ztbase_tss_data **block) {
    using namespace ztbase;
    if (block == nullptr)
        return 36;
    *block = nullptr;
    if (!g_slot_allocated.load(std::memory_order_acquire))
        return 36;
    auto *mine = static_cast<ztbase_tss_data *>(pthread_getspecific(g_slot));
    if (mine == nullptr) {
        mine = static_cast<ztbase_tss_data *>(calloc(1, sizeof(ztbase_tss_data)));
        if (mine == nullptr)
            return 36;
        if (pthread_setspecific(g_slot, mine) != 0) {
            free(mine);
            return 36;
        }
    }
    *block = mine;
    return 0;
}
