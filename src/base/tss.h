// The per-thread block: one zero-filled record per thread, reached through a
// single pthread key. Each family reads and writes only its own fields.
#pragma once

#include <cstdint>
#include <jansson.h>

#include "ztbase/frame.h"

struct ztbase_tss_data {
    char *originator_cred_name;             // vnet_set_oc / vnet_get_oc
    void *conf_info;                        // the thread's ztconf_get_info record
    void *conf_snapshot_list;               // the thread's configuration snapshot references
    char *master_server;                    // get_master_server / set_master_server cache
    int conf_info_refs[2];                  // references held on conf_info
    int64_t conf_info_next_check;           // earliest revalidation of a referenced conf_info
    char *status_msg;                       // getECmsgl's 2049-byte buffer
    char *connect_recs;                     // status messages of the last connection attempt
    json_t *vnet_record;                    // the vnet_tss_ record
    uint32_t pbx_port;                      // cached PBX service port
    int32_t thread_conf_reads;              // non-zero: the thread's configuration is frozen
    int32_t host_details_flag;              // cleared when a new peer address is recorded
    char *peeripstr;                        // address text of the current peer
    char *peerhostname;                     // host name of the current peer
    char *peerhostdetails_json;             // host details of the current peer
    int32_t vnet_thread_context;            // vnet_get_thread_context / vnet_set_thread_context
    int32_t peer_validation_status;         // get/setPeerValidationStatus
    char *dhcp_client_json;                 // dhcp_client_name / is_dhcp_client of the local host
    const char *peername_for_authorization; // borrowed, vnet_set_peername_for_authorization
};

namespace ztbase {

// Size of the status message buffer of getECmsgl.
constexpr size_t kStatusMsgSize = 2049;

// What the configuration snapshots keep in a block, and how it is released. The
// configuration family installs its releaser when the library is loaded (see
// library/attach); until then a block holds nothing of it.
struct TssConfReleaser {
    void (*release_conf_info)(ztbase_tss_data *block);
    long (*snapshot_references)(const ztbase_tss_data *block);
    void (*free_snapshot_list)(ztbase_tss_data *block);
};
// Installs `releaser` (static storage; null restores the empty one).
void tss_install_conf_releaser(const TssConfReleaser *releaser);

// Releases the contents of a block and the block itself, in the order the
// thread-end release requires.
void tss_release_block(ztbase_tss_data *block);

} // namespace ztbase
