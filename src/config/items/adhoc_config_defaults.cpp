// The built-in defaults record: every item's value when no text sets it. Lists
// are empty, strings null and numbers 0 except where named here; enumerations
// hold their stored values (YES 1; the inverted NO 1; PROHIBITED 2; DES_40 40;
// AF_INET 2), Units {value, unit}. Records start as deep copies of it.
// clang-format off
#include <cstring>
#include <mutex>

#include <ztbase/paths.h>

#include "config/items/adhoc_config_table.h"

// Designated initialisers leave every unnamed field zero, as intended.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace ztbase::config {
namespace {

// The record owns nothing: its strings and structures are static.
char *text(const char *s) { return const_cast<char *>(s); }

ZtConnectOptions kDefaultConnectOptions = {{0, 1, 0}};
ZtPortWindow kClientReservedPortWindow = {512, 1023};
ZtPortWindow kServerReservedPortWindow = {512, 1023};
ZtPortWindow kClientPortWindow = {0, 0};
ZtPortWindow kServerPortWindow = {1025, 5000};
ZtPortWindow kDashboardPortWindow = {0, 0};
ZtAuthService kAuthorizationService = {text("_NONE_"), 0};
ZtVnetOptions kVnetOptions = {{120, 3600, 200, 40, 3, 1, 30, 5, 1793, 32, 0, 0}};
ZtJobPriority kJobPriority = {{0, 0, 90000, 90000, 90000, 90000, 85000, 85000, 80000, 80000, 80000, 80000,
                               75000, 75000, 70000, 70000, 50000, 50000, 45000, 0, 0, 0, 0, 0}};

ZtConfig kDefaults = {
    .WEB_SERVER_CONNECTION_TIMEOUT = 30,
    .WEB_SERVER_TUNNEL_ENABLED = 1,
    .BPBACKUP_POLICY = text("any"),
    .BPBACKUP_SCHED = text("any"),
    .BPARCHIVE_POLICY = text("any"),
    .BPARCHIVE_SCHED = text("any"),
    .MAXFILELIST_ALLOWED_FOR_DISPLAY = 50,
    .SectorsPerBuffer = 32,
    .RESTORE_PRIORITY = 99999,
    .RE_READ_INTERVAL = 300,
    .LOCKED_FILE_ACTION = text("WAIT"),
    .SERVER_CONNECT_TIMEOUT = 30,
    .CLIENT_CONNECT_TIMEOUT = 300,
    .CLIENT_READ_TIMEOUT = 300,
    .BPSTART_TIMEOUT = 300,
    .BPEND_TIMEOUT = 300,
    .LIST_FILES_TIMEOUT = -1,
    .MAX_APOLLO_RESTORE_ARG_CHARS = 9000,
    .MEDIA_UNMOUNT_DELAY = 180,
    .MAX_VAULT_JOBS = 50,
    .MPX_RESTORE_DELAY = 30,
    .DISALLOW_SERVER_FILE_WRITES = 1,
    .DO_NOT_RESET_FILE_ACCESS_TIME = 1,
    .USE_CTIME_FOR_INCREMENTALS = 1,
    .ALLOW_NON_RESERVED_PORTS = 1,
    .CRYPT_STRENGTH = 40,
    .DISALLOW_CLIENT_LIST_RESTORE = 1,
    .DISALLOW_CLIENT_RESTORE = 1,
    .NFS_ACCESS_TIMEOUT = 5,
    .AUTO_CORRECT_POLICY = 1,
    .KEEP_LOGS_DAYS = 3,
    .RANDOM_PORTS = 1,
    .CLIENT_RESERVED_PORT_WINDOW = &kClientReservedPortWindow,
    .SERVER_RESERVED_PORT_WINDOW = &kServerReservedPortWindow,
    .CLIENT_PORT_WINDOW = &kClientPortWindow,
    .SERVER_PORT_WINDOW = &kServerPortWindow,
    .DEFAULT_CONNECT_OPTIONS = &kDefaultConnectOptions,
    .REQUEST_DELIVERY_TIMEOUT = 300,
    .Time_Overlap = 60,
    .Buffer_Size = 128,
    .Use_Archive_Bit = 1,
    .Perform_Default_Search = 1,
    .User_Directed_Timeout = 60,
    .Clear_Archive_Bit_Incr_Wait = 300,
    .Port_BPCD = 13782,
    .Port_BPRD = 13720,
    .OTM_Cache_File = text(""),
    .OTM_Cache_Size_Init = 10,
    .OTM_Cache_Size_Max = 50,
    .OTM_Quiescent_Wait = 5,
    .OTM_Quiescent_Timeout = 60,
    .OTM_Sync_Timeout = 60,
    .OTM_Use = 1,
    .VSP_CacheVols = text(""),
    .VSP_Exclude = text(""),
    .VSP_Cache_Size_Init = 30,
    .VSP_Cache_Size_Max = 30000,
    .VSP_Quiescent_Wait = 5,
    .VSP_Quiescent_Timeout = 300,
    .VSP_Current = 1,
    .VSP_Sync_Timeout = 60,
    .VSP_Use = 1,
    .Error_Messages_Max = 10,
    .Client_Version = 31,
    .Compress_Buffer_Size = 62,
    .Compress_Minimum_Size = 512,
    .SHAREPOINTV2_DBCC_CONT_ONERR = 1,
    .KEEP_VAULT_SESSIONS_DAYS = 30,
    .KEEP_JOBS_SUCCESSFUL_HOURS = 78,
    .KEEP_JOBS_HOURS = 78,
    .DB_PORT = 13784,
    .ENABLE_PERFORMANCE_DATA_COLLECTION = 1,
    .DASHBOARD_PORT_WINDOW = &kDashboardPortWindow,
    .INCOMPLETE_JOB_CLEAN_INTERVAL = 7,
    .EXCHANGE_VSS_BACKUP_ALL_LOGFILES = 1,
    .BPTM_MEDIA_HEADER_READ_SIZE = 64,
    .NDMP_DAR_ENABLED = 1,
    .RESOURCE_MONITOR_INTERVAL = 600,
    .INCOMPLETE_BKUP_JOB_CLEAN_INTERVAL = 3,
    .DSSU_RELOCATION_MAX = 1000,
    .MAX_INDEXING_JOBS = 10,
    .PURGE_INDEX = 1,
    .AUTHORIZATION_SERVICE = &kAuthorizationService,
    .USE_HXSS = 2,
    .VSP_Auto_Size = 1,
    .VSP_Cache_Percentage = 1,
    .VSP_Max_Percentage = 1,
    .EMMPORT = 1556,
    .HXDBMS_ZTDB_BACKUP_OWNER = 1,
    .ZTRB_REEVAL_PERIOD = 300,
    .ZTRB_FORCE_FULL_EVAL = 1800,
    .ZTRB_REEVAL_PENDING = 60,
    .ZTRB_RETRY_DELAY_AFTER_EMM_ERR = 60,
    .ZTRB_MPX_GROUP_UNLOAD_DELAY = 10,
    .ZTRB_CLEANUP_OBSOLETE_DBINFO = 60,
    .ZTRB_ENABLE_OPTIMIZATIONS = 1,
    .VNET_OPTIONS = &kVnetOptions,
    .JOB_PRIORITY = &kJobPriority,
    .MAX_CORBA_PAYLOAD_SIZE = 262144,
    .GRANULAR_DUP_RECURSION = 999,
    .KELDRAN_DBCC_CONT_ONERR = 1,
    .EXCHANGE_PERFORM_CONSISTENCY_CHECK = 1,
    .EXCHANGE_IGNORE_CC = 1,
    .PERFORM_CONSISTENCY_CHECK = 1,
    .CONTINUE_BACKUP_ON_FAILURE = 1,
    .FAST_CONFIGURED_CLIENT = 1,
    .KEEP_DBM_IMAGECHANGELOG_DAYS = 7,
    .HOST_CACHE_RESYNC_INTERVAL = 900,
    .HOST_CACHE_RESYNC_TIMEOUT = 120,
    .CD_WHOLE_IMAGE_COPY = 1,
    .IP_ADDRESS_FAMILY = 2,
    .ZTRNTD_PEER_SOCK_EXPIRATION = 300,
    .ZTRNTD_IDLE_TIMEOUT = 300,
    .ZTRNTD_MAX_CONNECTIONS = 256,
    .ZTRNTD_MIN_KEEP_ALIVE_TIME = 30,
    .ZTRNTD_MAX_KEEP_ALIVE_TIME = 60,
    .ZTJM_JOB_UPDATE_TIME = 2,
    .REQUEST_STU_RESOURCE_FOR_SNAPSHOT_JOBS = 1,
    .TFI_PRODUCER_BUFFER_SIZE = 1024,
    .ZTARS_DISCOVERY_TIMER = 300,
    .ZTSL_NCWS_PORT = 9284,
    .ZTSL_NCWS_THREADS = 5,
    .ZTSL_NCWS_ENABLE = 1,
    .ZTVMCOPYBACK_BUFFER_SIZE = 3072,
    .VMWARE_SAN_BUFFER_SIZE = 1024,
    .SLP_AUTO_CREATE_IMPORT_SLP = 1,
    .SLP_CLEANUP_SESSION_INTERVAL = {24, kHour},
    .SLP_DEFERRED_DUPLICATION_OFFSET_TIME = {4, kHour},
    .SLP_DISK_RESOURCE_MULTIPLIER = 2,
    .SLP_DUPLICATION_GROUP_CRITERIA = 1,
    .SLP_JOB_SUBMISSION_INTERVAL = {5, kMinute},
    .SLP_IMAGE_EXTENDED_RETRY_PERIOD = {2, kHour},
    .SLP_IMAGE_PROCESSING_INTERVAL = {5, kMinute},
    .SLP_MAX_IMAGES_PER_IMPORT_JOB = 250,
    .SLP_MAX_IMAGES_PER_SNAPSHOT_REPLICATION_JOB = 50,
    .SLP_MAX_SIZE_PER_BACKUP_REPLICATION_JOB = {100, kGB},
    .SLP_MAX_SIZE_PER_DUPLICATION_JOB = {100, kGB},
    .SLP_MAX_TIME_TIL_FORCE_SMALL_DUPLICATION_JOB = {30, kMinute},
    .SLP_MIN_IMAGES_PER_IMPORT_JOB = 1,
    .SLP_MIN_SIZE_PER_DUPLICATION_JOB = {8, kGB},
    .SLP_REPLICA_METADATA_CLEANUP_TIMER = {0, kHour},
    .SLP_TAPE_RESOURCE_MULTIPLIER = 2,
    .SLP_VERSION_CLEANUP_DELAY = {14, kDay},
    .SLP_WINDOW_CLOSE_BUFFER_TIME = {15, kMinute},
    .SLP_PENDING_IMPORT_THRESHOLD = {24, kHour},
    .CORBA_OPEN_FILE_LIMIT = 8192,
    .ACCL_VMW_STATEFILE_COUNT = 5,
    .ALLOW_IMMEDIATE_BACKUP_FROM_CLIENT = 1,
    .GUI_ACCOUNT_LOCKOUT_DURATION = 1,
    .HOSTDB_RESYNC_INTERVAL = 24,
    .HYPERV_WMI_CREATE_DISK_TIMEOUT = 24,
    .CP_PARALLEL_CONNECTIONS = 50,
};

} // namespace

const ZtConfig &defaults() {
    static std::once_flag once;
    std::call_once(once, [] {
        if (kDefaults.KMS_DIR == nullptr)
            kDefaults.KMS_DIR = strdup(getFennicString("ZTKMS_DB_DIR")); // kept for the process
    });
    return kDefaults;
}

} // namespace ztbase::config
