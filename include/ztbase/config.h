/* The configuration item table: one row per configuration item (371 rows; a
 * row's position is the item's index and part of the interface), the
 * configuration record with one typed field per item, the structure and list
 * node types its fields point to, and the lookups over the table. Also the
 * ad-hoc touch-file settings and the test-trigger records they can consult.
 *
 * Ownership: every pointer inside a ZtConfig (strings, structures, list nodes)
 * belongs to the record and is released with the record's free function of
 * the parsing family. The table itself is constant and read-only: every lookup
 * may run on any thread, except getConfigLabelW (one static buffer) and the
 * first isULParam call, which callers serialise. */
#ifndef ZTBASE_CONFIG_H
#define ZTBASE_CONFIG_H

#include <stddef.h>
#include <stdint.h>
#include <ztbase/export.h>

#include <uchar.h>

ZTBASE_BEGIN_C

/* Data type numbers, as getConfigDataType returns them. */
#define ZTCONFIG_TYPE_INT 0
#define ZTCONFIG_TYPE_ENUM 1
#define ZTCONFIG_TYPE_FLAGS 2
#define ZTCONFIG_TYPE_IPADDR 3
#define ZTCONFIG_TYPE_STRING 4
#define ZTCONFIG_TYPE_STRUCT 5
#define ZTCONFIG_TYPE_LIST 6
#define ZTCONFIG_TYPE_INT64 7
#define ZTCONFIG_TYPE_UNITS 8
#define ZTCONFIG_TYPE_OBSOLETE 255

/* Delimiter classes of getConfigTokenA. */
#define ZTCONFIG_TOKEN_REST 0x00000     /* whole remaining text */
#define ZTCONFIG_TOKEN_WORD 0x10000     /* up to white space; returns ' ' */
#define ZTCONFIG_TOKEN_EQUALS 0x20000   /* up to '=' */
#define ZTCONFIG_TOKEN_LINE 0x30000     /* up to the line end; returns '\n' */
#define ZTCONFIG_TOKEN_COMMA 0x40000    /* up to ',' */
#define ZTCONFIG_TOKEN_QUOTED 0x50000   /* "..." */
#define ZTCONFIG_TOKEN_PAREN 0x60000    /* (...), nesting counted */
#define ZTCONFIG_TOKEN_BRACE 0x70000    /* {...}, nesting counted */
#define ZTCONFIG_TOKEN_ONE_LINE 0x80000 /* whole remaining text (one-line lists) */

#define ZTCONFIG_TABLE_SIZE 371

/* ---- structures and list nodes the record points to ---- */

/* A value with its unit: unit 0 raw, 1..7 second..year, 8 byte, 9..13 KB..PB. */
typedef struct ZtUnits {
    int64_t value;
    int32_t unit;
} ZtUnits;

/* SERVER, MEDIA_SERVER, TRUSTED_MASTER, Clients and the other host lists. */
typedef struct ZtHostNode {
    char *host;
    struct ZtHostNode *next;
} ZtHostNode;

/* COMPRESS_SUFFIX, Exclude, Include, BPCD_WHITELIST_PATH, DB_SCRIPT_PATH. */
typedef struct ZtTextNode {
    char *text;
    struct ZtTextNode *next;
} ZtTextNode;

/* Two words: WEB_SERVER_TUNNEL, KNOWN_MASTER, FORCE_RESTORE_MEDIA_SERVER,
 * NEARSTORE_FAILOVER_SERVER, SPS_REDIRECT_ALLOWED, KELDRAN_REDIRECT_ALLOWED. */
typedef struct ZtHostPairNode {
    char *first;
    char *second; /* null when an optional second word is absent */
    struct ZtHostPairNode *next;
} ZtHostPairNode;

/* GENERIC_KEY_VAL_LIST: "(key) (value)". */
typedef struct ZtKeyValNode {
    char *key;
    char *value;
    struct ZtKeyValNode *next;
} ZtKeyValNode;

/* FAILOVER_RESTORE_MEDIA_SERVERS: one group of hosts per line. */
typedef struct ZtHostGroupNode {
    ZtHostNode *hosts;
    struct ZtHostGroupNode *next;
} ZtHostGroupNode;

/* BUSY_FILE_ACTION. */
typedef struct ZtBusyActionNode {
    char *file;
    char *action;
    int32_t repeat;
    struct ZtBusyActionNode *next;
} ZtBusyActionNode;

/* LIMIT_BANDWIDTH. */
typedef struct ZtLimitBandwidthNode {
    char *from;
    char *to;
    int32_t bandwidth;
    struct ZtLimitBandwidthNode *next;
} ZtLimitBandwidthNode;

/* THROTTLE_BANDWIDTH (its nodes keep the 32-byte size of the other
 * bandwidth list). */
typedef struct ZtThrottleNode {
    char *network;
    int32_t bandwidth;
    int32_t reserved0;
    void *reserved1;
    struct ZtThrottleNode *next;
} ZtThrottleNode;

/* CONNECT_OPTIONS: a host and three numbers in item order; their meaning
 * belongs to the connection layer. */
typedef struct ZtConnectOptionsNode {
    char *host;
    int32_t value[3];
    struct ZtConnectOptionsNode *next;
} ZtConnectOptionsNode;

/* DEFAULT_CONNECT_OPTIONS. */
typedef struct ZtConnectOptions {
    int32_t value[3];
} ZtConnectOptions;

/* The *_PORT_WINDOW items. */
typedef struct ZtPortWindow {
    int32_t low;
    int32_t high;
} ZtPortWindow;

/* Domain types of AUTHENTICATION_DOMAIN. */
#define ZTCONFIG_DOMAIN_NIS 0
#define ZTCONFIG_DOMAIN_NISPLUS 1
#define ZTCONFIG_DOMAIN_PASSWD 2
#define ZTCONFIG_DOMAIN_HXPD 3
#define ZTCONFIG_DOMAIN_WINDOWS 4
#define ZTCONFIG_DOMAIN_LDAP 5

/* AUTHENTICATION_DOMAIN. */
typedef struct ZtAuthDomainNode {
    char *domain;
    char *comment; /* null when not given */
    int32_t type;  /* ZTCONFIG_DOMAIN_* */
    char *broker;
    int32_t port;
    struct ZtAuthDomainNode *next;
} ZtAuthDomainNode;

/* AUTHORIZATION_SERVICE. */
typedef struct ZtAuthService {
    char *host;
    int32_t port;
} ZtAuthService;

/* HXSS_NETWORK: mode 0 AUTOMATIC, 1 REQUIRED, 2 PROHIBITED. */
typedef struct ZtHxssNetworkNode {
    char *host;
    int32_t mode;
    struct ZtHxssNetworkNode *next;
} ZtHxssNetworkNode;

/* PREFERRED_NETWORK: directive 0 UNKNOWN, 1 MATCH, 2 PROHIBITED, 3 ONLY,
 * 4 REQUIRED. */
typedef struct ZtPreferredNetworkNode {
    char *network;
    int32_t directive;
    char *source; /* null when not given */
    struct ZtPreferredNetworkNode *next;
} ZtPreferredNetworkNode;

/* RESILIENT_NETWORK: on 0 OFF, 1 ON. */
typedef struct ZtResilientNetworkNode {
    char *network;
    int32_t on;
    struct ZtResilientNetworkNode *next;
} ZtResilientNetworkNode;

/* GRFS_ADVERTISED_NAME. */
typedef struct ZtGrfsNameNode {
    char *name;
    char *host;
    char *path;
    struct ZtGrfsNameNode *next;
} ZtGrfsNameNode;

/* DDNS_RANGE. */
typedef struct ZtDdnsRangeNode {
    int32_t enabled;
    char *low;
    char *high;
    struct ZtDdnsRangeNode *next;
} ZtDdnsRangeNode;

/* BPDBJOBS_COLDEFS. */
typedef struct ZtColumnDefNode {
    int32_t column;
    int32_t width;
    int32_t enabled;
    struct ZtColumnDefNode *next;
} ZtColumnDefNode;

/* VERSIONINFO. */
typedef struct ZtVersionInfo {
    char *os_name;
    char *os_release;
    char *platform;
    char *product;
    char *version;
    int32_t number;
} ZtVersionInfo;

/* CHECKSUM1, CHECKSUM2. */
typedef struct ZtChecksum {
    char *first;
    char *second;
    char *rest;
} ZtChecksum;

/* VNET_OPTIONS: twelve numbers whose meaning belongs to the network layer. */
typedef struct ZtVnetOptions {
    int32_t value[12];
} ZtVnetOptions;

/* JOB_PRIORITY: twenty-four priorities. */
typedef struct ZtJobPriority {
    int32_t value[24];
} ZtJobPriority;

/* ---- the configuration record ----
 * One field per item (the comment gives its index); obsolete items have none.
 * Labels with a '.' name their field with '_'. Zero-filled it is an empty
 * record: lists empty, strings null, numbers 0. */
typedef struct ZtConfig {
    int32_t valid;                               /* 1 once a text has been parsed into the record */
    ZtHostNode *SERVER;                          /* 0 */
    int32_t WEB_SERVER_CONNECTION_TIMEOUT;       /* 1 */
    int32_t WEB_SERVER_TUNNEL_USE;               /* 2 */
    int32_t WEB_SERVER_TUNNEL_ENABLED;           /* 3 */
    ZtHostPairNode *WEB_SERVER_TUNNEL;           /* 4 */
    ZtHostNode *TRUSTED_MASTER;                  /* 5 */
    ZtHostPairNode *KNOWN_MASTER;                /* 6 */
    ZtHostNode *MASTER_OF_MASTERS;               /* 7 */
    char *USEMAIL;                               /* 8 */
    char *BPBACKUP_POLICY;                       /* 9 */
    char *BPBACKUP_SCHED;                        /* 10 */
    char *BPARCHIVE_POLICY;                      /* 11 */
    char *BPARCHIVE_SCHED;                       /* 12 */
    char *CLIENT_NAME;                           /* 13 */
    char *REQUIRED_INTERFACE;                    /* 14 */
    ZtTextNode *COMPRESS_SUFFIX;                 /* 15 */
    int32_t BELIEVE_MOUNTS;                      /* 16 */
    int32_t VERBOSE;                             /* 17 */
    int32_t BPDBM_VERBOSE;                       /* 18 */
    int32_t BPRD_VERBOSE;                        /* 19 */
    int32_t BPSCHED_VERBOSE;                     /* 20 */
    int32_t BPBRM_VERBOSE;                       /* 21 */
    int32_t BPTM_VERBOSE;                        /* 22 */
    int32_t BPDM_VERBOSE;                        /* 23 */
    int32_t VAULT_VERBOSE;                       /* 24 */
    int32_t BPJOBD_VERBOSE;                      /* 25 */
    int32_t ZTPROXY_VERBOSE;                     /* 26 */
    int32_t MAXFILELIST_ALLOWED_FOR_DISPLAY;     /* 27 */
    int32_t SectorsPerBuffer;                    /* 28 */
    int32_t PEM_VERBOSE;                         /* 29 */
    int32_t JM_VERBOSE;                          /* 30 */
    int32_t RB_VERBOSE;                          /* 31 */
    int32_t MEGABYTES_OF_MEMORY;                 /* 32 */
    int32_t RESTORE_RETRIES;                     /* 33 */
    int32_t RESTORE_PRIORITY;                    /* 34 */
    int32_t MUST_USE_LOCAL_DRIVE;                /* 35 */
    int32_t RE_READ_INTERVAL;                    /* 36 */
    char *LOCKED_FILE_ACTION;                    /* 37 */
    int32_t SERVER_CONNECT_TIMEOUT;              /* 38 */
    int32_t CLIENT_CONNECT_TIMEOUT;              /* 39 */
    int32_t CLIENT_READ_TIMEOUT;                 /* 40 */
    int32_t APOLLO_RESTORE_TIMEOUT;              /* 41 */
    int32_t BPSTART_TIMEOUT;                     /* 42 */
    int32_t BPEND_TIMEOUT;                       /* 43 */
    int32_t LIST_FILES_TIMEOUT;                  /* 44 */
    int32_t MAX_APOLLO_RESTORE_ARG_CHARS;        /* 45 */
    int32_t ALLOW_MEDIA_OVERWRITE;               /* 46 */
    int32_t KEEP_DATABASE_COMM_FILE;             /* 47 */
    char *ORACLE_HOME;                           /* 48 */
    char *INFORMIX_HOME;                         /* 49 */
    char *SYBASE_HOME;                           /* 50 */
    char *EXCHANGE_HOME;                         /* 51 */
    char *SQL_SERVER_HOME;                       /* 52 */
    char *SAP_HOME;                              /* 53 */
    char *DB2_HOME;                              /* 54 */
    char *NDMP_HOME;                             /* 55 */
    char *MEDIA_ID_PREFIX;                       /* 56 */
    int32_t DISABLE_STANDALONE_DRIVE_EXTENSIONS; /* 57 */
    int32_t ALLOW_MULTIPLE_RETENTIONS_PER_MEDIA; /* 58 */
    int32_t DISALLOW_BACKUPS_SPANNING_MEDIA;     /* 59 */
    int32_t MEDIA_REQUEST_DELAY;                 /* 60 */
    int32_t MEDIA_UNMOUNT_DELAY;                 /* 61 */
    int32_t MAX_VAULT_JOBS;                      /* 62 */
    int32_t MPX_RESTORE_DELAY;                   /* 63 */
    int32_t DISABLE_JOB_LOGGING;                 /* 64 */
    int32_t DISALLOW_SERVER_FILE_WRITES;         /* 65 */
    int32_t DO_NOT_RESET_FILE_ACCESS_TIME;       /* 66 */
    int32_t USE_CTIME_FOR_INCREMENTALS;          /* 67 */
    int32_t BUSY_FILE_PROCESSING;                /* 68 */
    char *BUSY_FILE_DIRECTORY;                   /* 69 */
    char *BUSY_FILE_NOTIFY_USER;                 /* 70 */
    ZtBusyActionNode *BUSY_FILE_ACTION;          /* 71 */
    ZtLimitBandwidthNode *LIMIT_BANDWIDTH;       /* 72 */
    ZtThrottleNode *THROTTLE_BANDWIDTH;          /* 73 */
    int32_t INITIAL_BROWSE_SEARCH_LIMIT;         /* 74 */
    int32_t ALLOW_NON_RESERVED_PORTS;            /* 75 */
    char *CRYPT_KEYFILE;                         /* 76 */
    char *CRYPT_LIBPATH;                         /* 77 */
    int32_t CRYPT_OPTION;                        /* 78 */
    int32_t CRYPT_STRENGTH;                      /* 79 */
    int32_t CRYPT_CIPHER;                        /* 80 */
    int32_t CRYPT_KIND;                          /* 81 */
    int32_t CRYPT_ALTAES;                        /* 82 */
    int32_t DISALLOW_CLIENT_LIST_RESTORE;        /* 83 */
    int32_t DISALLOW_CLIENT_RESTORE;             /* 84 */
    int32_t ALLOW_BLOCK_INCREMENTALS;            /* 85 */
    ZtHostPairNode *FORCE_RESTORE_MEDIA_SERVER;  /* 86 */
    ZtHostGroupNode *FAILOVER_RESTORE_MEDIA_SERVERS;      /* 87 */
    ZtHostPairNode *NEARSTORE_FAILOVER_SERVER;            /* 88 */
    int32_t ALLOW_NDMP;                                   /* 89 */
    int32_t ALLOW_ENCRYPTION;                             /* 90 */
    int32_t ALLOW_FLASHBACKUP;                            /* 91 */
    int32_t NFS_ACCESS_TIMEOUT;                           /* 92 */
    int32_t USE_CTIME_FOR_DIRECTORY_INCRS;                /* 93 */
    int32_t AUTO_CORRECT_POLICY;                          /* 94 */
    int32_t SERVER_SENDS_MAIL;                            /* 95 */
    int32_t Debug_Database;                               /* 96 */
    int32_t ALLOW_DISASTER_RECOVERY;                      /* 97 */
    int32_t KEEP_LOGS_DAYS;                               /* 98 */
    int32_t KEEP_LOGS_SIZE_GB;                            /* 99 */
    int32_t ENABLE_CRITICAL_PROCESS_LOGGING;              /* 100 */
    int32_t ENABLE_ROBUST_LOGGING;                        /* 101 */
    char *PREFERRED_GROUP;                                /* 102 */
    char *AUTHORIZE_SERVER;                               /* 103 */
    int32_t RANDOM_PORTS;                                 /* 104 */
    char *LOTUS_NOTES_PATH;                               /* 105 */
    char *LOTUS_NOTES_INI;                                /* 106 */
    char *LOTUS_NOTES_LOGCACHEPATH;                       /* 107 */
    int32_t LOTUS_NOTES_LOGCACHESIZE;                     /* 108 */
    char *LOTUS_NOTES_USERID;                             /* 109 */
    char *LOTUS_NOTES_EXECDIR;                            /* 110 */
    ZtPortWindow *CLIENT_RESERVED_PORT_WINDOW;            /* 111 */
    ZtPortWindow *SERVER_RESERVED_PORT_WINDOW;            /* 112 */
    ZtPortWindow *CLIENT_PORT_WINDOW;                     /* 113 */
    ZtPortWindow *SERVER_PORT_WINDOW;                     /* 114 */
    int32_t ALLOW_TPC;                                    /* 115 */
    ZtConnectOptionsNode *CONNECT_OPTIONS;                /* 116 */
    ZtConnectOptions *DEFAULT_CONNECT_OPTIONS;            /* 117 */
    int32_t ACCEPT_PORT;                                  /* 118 */
    int32_t REQUEST_DELIVERY_TIMEOUT;                     /* 119 */
    ZtHostNode *MEDIA_SERVER;                             /* 120 */
    ZtHostNode *QUENDAL_SERVER;                           /* 121 */
    int32_t DISABLE_SCSI_RESERVE;                         /* 122 */
    int32_t Time_Overlap;                                 /* 123 */
    int32_t Buffer_Size;                                  /* 124 */
    int32_t Use_Archive_Bit;                              /* 125 */
    int32_t Perform_Default_Search;                       /* 126 */
    int32_t Accumulate_Files;                             /* 127 */
    int32_t User_Directed_Timeout;                        /* 128 */
    int32_t Announce_DHCP_Interval;                       /* 129 */
    int32_t Clear_Archive_Bit_Incr_Wait;                  /* 130 */
    ZtTextNode *Exclude;                                  /* 131 */
    ZtTextNode *Include;                                  /* 132 */
    char *Browser;                                        /* 133 */
    ZtHostNode *Clients;                                  /* 134 */
    int32_t Port_BPCD;                                    /* 135 */
    int32_t Port_BPRD;                                    /* 136 */
    int32_t Debug_Flush;                                  /* 137 */
    int32_t Debug_Heap;                                   /* 138 */
    int32_t Debug_Level;                                  /* 139 */
    int32_t Debug_TCP;                                    /* 140 */
    int32_t OTM_Cache_Control;                            /* 141 */
    char *OTM_Cache_File;                                 /* 142 */
    int32_t OTM_Cache_Size_Init;                          /* 143 */
    int32_t OTM_Cache_Size_Max;                           /* 144 */
    int32_t OTM_Error_Control;                            /* 145 */
    int32_t OTM_Logging;                                  /* 146 */
    int32_t OTM_Quiescent_Wait;                           /* 147 */
    int32_t OTM_Quiescent_Timeout;                        /* 148 */
    int32_t OTM_Current;                                  /* 149 */
    char *OTM_Exclude;                                    /* 150 */
    int32_t OTM_Sync_Timeout;                             /* 151 */
    int32_t OTM_Use;                                      /* 152 */
    char *VSP_CacheVols;                                  /* 153 */
    char *VSP_Exclude;                                    /* 154 */
    int32_t VSP_Cache_Size_Init;                          /* 155 */
    int32_t VSP_Cache_Size_Max;                           /* 156 */
    int32_t VSP_Error_Control;                            /* 157 */
    int32_t VSP_Logging;                                  /* 158 */
    int32_t VSP_Quiescent_Wait;                           /* 159 */
    int32_t VSP_Quiescent_Timeout;                        /* 160 */
    int32_t VSP_Current;                                  /* 161 */
    int32_t VSP_Sync_Timeout;                             /* 162 */
    int32_t VSP_Use;                                      /* 163 */
    int32_t Error_Messages_Max;                           /* 164 */
    int32_t Policy_Type;                                  /* 165 */
    int32_t Client_Version;                               /* 166 */
    int32_t Case_Sensitive_Exclude_List;                  /* 167 */
    int32_t Compress_Use;                                 /* 168 */
    int32_t Compress_Buffer_Size;                         /* 169 */
    int32_t Compress_Minimum_Size;                        /* 170 */
    int32_t NW_Migrated_Files;                            /* 171 */
    int32_t NW_Uncompress;                                /* 172 */
    char *EXCHANGE_MAILBOX;                               /* 173 */
    char *SHAREPOINTV2_USERID;                            /* 174 */
    char *SHAREPOINTV2_PASSWORD;                          /* 175 */
    char *SHAREPOINTV2_PASSWORD_KEY;                      /* 176 */
    int32_t SHAREPOINTV2_DBCC_CHK_PREBKUP;                /* 177 */
    int32_t SHAREPOINTV2_DBCC_CONT_ONERR;                 /* 178 */
    int32_t SHAREPOINTV2_DBCC_CHK_POSTBKUP;               /* 179 */
    int32_t Cluster_Database_Force_Restore;               /* 180 */
    int32_t ChangeJournalUse;                             /* 181 */
    int32_t GENERATE_ENGLISH_LOGS;                        /* 182 */
    int32_t KEEP_VAULT_SESSIONS_DAYS;                     /* 183 */
    int32_t KEEP_JOBS_SUCCESSFUL_HOURS;                   /* 184 */
    int32_t KEEP_JOBS_HOURS;                              /* 185 */
    ZtColumnDefNode *BPDBJOBS_COLDEFS;                    /* 186 */
    int32_t DB_PORT;                                      /* 187 */
    int32_t ENABLE_PERFORMANCE_DATA_COLLECTION;           /* 188 */
    ZtChecksum *CHECKSUM1;                                /* 189 */
    ZtChecksum *CHECKSUM2;                                /* 190 */
    ZtPortWindow *DASHBOARD_PORT_WINDOW;                  /* 191 */
    int32_t UNLINK_ON_OVERWRITE;                          /* 192 */
    int32_t SKIP_RESTORE_TO_SYMLINK_DIR;                  /* 193 */
    int32_t CHECK_RESTORE_CLIENT;                         /* 194 */
    int32_t INCOMPLETE_JOB_CLEAN_INTERVAL;                /* 195 */
    int32_t EXCHANGE_ENABLE_SIS;                          /* 196 */
    int32_t EXCHANGE_TRUNCATELOGS_IR;                     /* 197 */
    int32_t EXCHANGE_BACKUP_REPLICA;                      /* 198 */
    int32_t EXCHANGE_ESEUTIL_THROTTLE;                    /* 199 */
    int32_t EXCHANGE_VSS_BACKUP_ALL_LOGFILES;             /* 200 */
    int32_t BPTM_MEDIA_HEADER_READ_SIZE;                  /* 201 */
    int32_t IGNORE_XATTR;                                 /* 202 */
    int32_t USE_FILE_CHG_LOG;                             /* 203 */
    int32_t NDMP_DAR_ENABLED;                             /* 204 */
    int32_t OLD_VNETD_CALLBACK;                           /* 205 */
    int32_t RESOURCE_MONITOR_INTERVAL;                    /* 206 */
    ZtVersionInfo *VERSIONINFO;                           /* 207 */
    int32_t INCOMPLETE_BKUP_JOB_CLEAN_INTERVAL;           /* 208 */
    int32_t DSSU_RELOCATION_MAX;                          /* 209 */
    int32_t MAX_INDEXING_JOBS;                            /* 210 */
    int32_t PURGE_INDEX;                                  /* 211 */
    int32_t RESUME_ORIG_DUP_ON_OPT_DUP_FAIL;              /* 212 */
    int32_t RESUME_ORIG_DUP_ON_OPT_MIG_FAIL;              /* 213 */
    ZtAuthDomainNode *AUTHENTICATION_DOMAIN;              /* 214 */
    ZtAuthService *AUTHORIZATION_SERVICE;                 /* 215 */
    int32_t USE_HXSS;                                     /* 216 */
    int32_t USE_AUTHENTICATION;                           /* 217 */
    ZtHxssNetworkNode *HXSS_NETWORK;                      /* 218 */
    ZtPreferredNetworkNode *PREFERRED_NETWORK;            /* 219 */
    int32_t FIPS_MODE;                                    /* 220 */
    int32_t VSP_Auto_Size;                                /* 221 */
    int32_t VSP_Cache_Percentage;                         /* 222 */
    int32_t VSP_Max_Percentage;                           /* 223 */
    ZtGrfsNameNode *GRFS_ADVERTISED_NAME;                 /* 224 */
    ZtHostPairNode *SPS_REDIRECT_ALLOWED;                 /* 225 */
    char *SPC_SERVER;                                     /* 226 */
    char *SPC_WEB_SERVER;                                 /* 227 */
    char *DEFAULT_SNAPSHOT_CACHE;                         /* 228 */
    char *CLUSTER_NAME;                                   /* 229 */
    int32_t ANY_CLUSTER_INTERFACE;                        /* 230 */
    char *EMMSERVER;                                      /* 231 */
    int32_t EMMPORT;                                      /* 232 */
    char *EMMORBOPTIONS;                                  /* 233 */
    char *REQUIRED_NETWORK;                               /* 234 */
    char *SSOD_CONFIG_SERVER;                             /* 235 */
    int32_t SANCLIENT;                                    /* 236 */
    int32_t NONBLOCKINGPL;                                /* 237 */
    char *FIREWALL_IN;                                    /* 238 */
    char *FIREWALL_OUT;                                   /* 239 */
    char *HXDBMS_ZT_DATA;                                 /* 240 */
    int32_t HXDBMS_ZTDB_BACKUP_OWNER;                     /* 241 */
    char *HXDBMS_ZT_CONF;                                 /* 242 */
    int32_t TRUST_SERVER_CLIENT_NAME;                     /* 243 */
    int32_t BMR_COLLECT_INFO_TIMEOUT;                     /* 244 */
    int32_t ZTRB_REEVAL_PERIOD;                           /* 245 */
    int32_t ZTRB_FORCE_FULL_EVAL;                         /* 246 */
    int32_t ZTRB_REEVAL_PENDING;                          /* 247 */
    int32_t ZTRB_RETRY_DELAY_AFTER_EMM_ERR;               /* 248 */
    int32_t ZTRB_MPX_GROUP_UNLOAD_DELAY;                  /* 249 */
    int32_t ZTRB_CLEANUP_OBSOLETE_DBINFO;                 /* 250 */
    int32_t ZTRB_ENABLE_OPTIMIZATIONS;                    /* 251 */
    int32_t OPEN_ZTSL_ZTNOS;                              /* 252 */
    int32_t FSE_PORT;                                     /* 253 */
    int32_t REVERSE_NAME_LOOKUP;                          /* 254 */
    ZtVnetOptions *VNET_OPTIONS;                          /* 255 */
    ZtJobPriority *JOB_PRIORITY;                          /* 256 */
    ZtHostNode *NDMP_CLIENT;                              /* 257 */
    ZtHostNode *DISK_CLIENT;                              /* 258 */
    ZtHostNode *VM_PROXY_SERVER;                          /* 259 */
    int32_t MAX_CORBA_PAYLOAD_SIZE;                       /* 260 */
    char *KMS_DIR;                                        /* 261 */
    int32_t LOCAL_CACHE;                                  /* 262 */
    char *ZTFSD_STAGING_DIR;                              /* 263 */
    int32_t GRANULAR_DUP_RECURSION;                       /* 264 */
    int32_t AUTO_LOGOFF_TIMEOUT;                          /* 265 */
    char *KELDRAN_USERID;                                 /* 266 */
    char *KELDRAN_PASSWORD;                               /* 267 */
    char *KELDRAN_PASSWORD_KEY;                           /* 268 */
    int32_t KELDRAN_DBCC_CHK_PREBKUP;                     /* 269 */
    int32_t KELDRAN_DBCC_CONT_ONERR;                      /* 270 */
    int32_t KELDRAN_DBCC_CHK_POSTBKUP;                    /* 271 */
    char *EXCHANGE_USERID;                                /* 272 */
    char *EXCHANGE_PASSWORD;                              /* 273 */
    char *EXCHANGE_PASSWORD_KEY;                          /* 274 */
    int32_t EXCHANGE_PERFORM_CONSISTENCY_CHECK;           /* 275 */
    int32_t EXCHANGE_IGNORE_CC;                           /* 276 */
    ZtHostPairNode *KELDRAN_REDIRECT_ALLOWED;             /* 277 */
    int32_t PERFORM_CONSISTENCY_CHECK;                    /* 278 */
    int32_t CONTINUE_BACKUP_ON_FAILURE;                   /* 279 */
    ZtDdnsRangeNode *DDNS_RANGE;                          /* 280 */
    ZtHostNode *VANTREL_SERVER_NAME;                      /* 281 */
    int32_t FAST_CONFIGURED_CLIENT;                       /* 282 */
    int32_t ORACLE_METADATA;                              /* 283 */
    char *ZTUSEARCHSERVER_USERNAME;                       /* 284 */
    char *ZTUSEARCHSERVER_PASSWORD;                       /* 285 */
    char *ZTUSEARCHSERVER_PASSWORD_KEY;                   /* 286 */
    int32_t KEEP_DBM_IMAGECHANGELOG_DAYS;                 /* 287 */
    char *HOST_CACHE_PATH;                                /* 288 */
    int32_t HOST_CACHE_TTL;                               /* 289 */
    int32_t HOST_CACHE_RESYNC_INTERVAL;                   /* 290 */
    int32_t HOST_CACHE_RESYNC_TIMEOUT;                    /* 291 */
    int32_t ZENTOR_APPLIANCE_MODE;                        /* 292 */
    int32_t CLIENT_KEEP_LOG_DAYS;                         /* 293 */
    int32_t CD_WHOLE_IMAGE_COPY;                          /* 294 */
    int32_t IP_ADDRESS_FAMILY;                            /* 295 */
    int32_t AUTO_ADD_ALL_ALIASES_FOR_CLIENT;              /* 296 */
    ZtKeyValNode *GENERIC_KEY_VAL_LIST;                   /* 297 */
    int32_t CHECK_GETCLIENT_BY_HOSTNAME;                  /* 298 */
    int32_t ZTRNTD_PEER_SOCK_EXPIRATION;                  /* 299 */
    int32_t ZTRNTD_IDLE_TIMEOUT;                          /* 300 */
    int32_t ZTRNTD_MAX_CONNECTIONS;                       /* 301 */
    int32_t ZTRNTD_MIN_KEEP_ALIVE_TIME;                   /* 302 */
    int32_t ZTRNTD_MAX_KEEP_ALIVE_TIME;                   /* 303 */
    ZtResilientNetworkNode *RESILIENT_NETWORK;            /* 304 */
    int32_t ZTJM_JOB_UPDATE_TIME;                         /* 305 */
    int32_t REQUEST_STU_RESOURCE_FOR_SNAPSHOT_JOBS;       /* 306 */
    int32_t TFI_PRODUCER_BUFFER_SIZE;                     /* 307 */
    int32_t ZTARS_DISCOVERY_TIMER;                        /* 308 */
    int32_t DISABLE_ORACLE_UNIX_PASSWORD_CHECK;           /* 309 */
    int32_t ZTSL_NCWS_PORT;                               /* 310 */
    int32_t ZTSL_NCWS_THREADS;                            /* 311 */
    int32_t ZTSL_NCWS_ENABLE;                             /* 312 */
    int32_t VM_ACCL_EXTENT_LOGGING;                       /* 313 */
    int32_t ZTVMCOPYBACK_BUFFER_SIZE;                     /* 314 */
    int32_t VMWARE_SAN_BUFFER_SIZE;                       /* 315 */
    int32_t SLP_AUTO_CREATE_IMPORT_SLP;                   /* 316 */
    ZtUnits SLP_CLEANUP_SESSION_INTERVAL;                 /* 317 */
    ZtUnits SLP_DEFERRED_DUPLICATION_OFFSET_TIME;         /* 318 */
    int32_t SLP_DISK_RESOURCE_MULTIPLIER;                 /* 319 */
    int32_t SLP_DUPLICATION_GROUP_CRITERIA;               /* 320 */
    ZtUnits SLP_JOB_SUBMISSION_INTERVAL;                  /* 321 */
    ZtUnits SLP_IMAGE_EXTENDED_RETRY_PERIOD;              /* 322 */
    ZtUnits SLP_IMAGE_PROCESSING_INTERVAL;                /* 323 */
    int32_t SLP_MAX_IMAGES_PER_IMPORT_JOB;                /* 324 */
    int32_t SLP_MAX_IMAGES_PER_SNAPSHOT_REPLICATION_JOB;  /* 325 */
    ZtUnits SLP_MAX_SIZE_PER_BACKUP_REPLICATION_JOB;      /* 326 */
    ZtUnits SLP_MAX_SIZE_PER_DUPLICATION_JOB;             /* 327 */
    ZtUnits SLP_MAX_TIME_TIL_FORCE_SMALL_DUPLICATION_JOB; /* 328 */
    int32_t SLP_MIN_IMAGES_PER_IMPORT_JOB;                /* 329 */
    ZtUnits SLP_MIN_SIZE_PER_DUPLICATION_JOB;             /* 330 */
    ZtUnits SLP_REPLICA_METADATA_CLEANUP_TIMER;           /* 331 */
    int32_t SLP_TAPE_RESOURCE_MULTIPLIER;                 /* 332 */
    ZtUnits SLP_VERSION_CLEANUP_DELAY;                    /* 333 */
    ZtUnits SLP_WINDOW_CLOSE_BUFFER_TIME;                 /* 334 */
    ZtUnits SLP_PENDING_IMPORT_THRESHOLD;                 /* 335 */
    char *SLP_NOTIFICATIONS_ADDRESS;                      /* 336 */
    int32_t DISABLE_AUTO_NAT;                             /* 337 */
    int32_t CORBA_OPEN_FILE_LIMIT;                        /* 338 */
    int32_t ACCL_VMW_STATEFILE_COUNT;                     /* 339 */
    int32_t ALLOW_IMMEDIATE_BACKUP_FROM_CLIENT;           /* 340 */
    int32_t TELEMETRY_API_DISABLE;                        /* 341 */
    int32_t REPLACE_IMAGE_SIZE_WITH_DATA_TRANSFERRED;     /* 342 */
    char *SPS_ALT_SQL_INSTANCE_USERID;                    /* 343 */
    char *SPS_ALT_SQL_INSTANCE_PASSWORD;                  /* 344 */
    char *SPS_ALT_SQL_INSTANCE_PASSWORD_KEY;              /* 345 */
    char *SPS_ALT_SQL_INSTANCE_NAME;                      /* 346 */
    char *SPS_ALT_SQL_DATABASE_SERVER;                    /* 347 */
    ZtTextNode *BPCD_WHITELIST_PATH;                      /* 348 */
    ZtTextNode *DB_SCRIPT_PATH;                           /* 349 */
    int32_t GUI_IDLE_TIMEOUT;                             /* 350 */
    int32_t GUI_MAX_LOGIN_ATTEMPTS;                       /* 351 */
    int32_t GUI_ACCOUNT_LOCKOUT_DURATION;                 /* 352 */
    int32_t HOSTDB_RESYNC_INTERVAL;                       /* 353 */
    int32_t VM_ACCL_VERIFY_ALL_EXTENTS;                   /* 354 */
    int32_t GET_CERT_ALL_MASTERS;                         /* 355 */
    int32_t HYPERV_WMI_CREATE_DISK_TIMEOUT;               /* 356 */
    char *SECURE_PROXY_CIPHER_LIST;                       /* 357 */
    ZtHostNode *APP_PROXY_SERVER;                         /* 358 */
    int32_t CP_PARALLEL_CONNECTIONS;                      /* 370 */
} ZtConfig;

/* ---- lookups over the table ----
 * Every index-taking function checks 0..370 and the obsolete rows (359..369)
 * and answers null, 0 or -1 for them without touching the table. */

/* 371. */
ZTBASE_API int getConfigTableSize(void);
/* The first row (in table order) whose label or alternative label equals
 * label ignoring case; -1 when none does (or label is null), -2 when that row
 * is obsolete. The W form converts from UTF-16 (-1 when it cannot). */
ZTBASE_API int getConfigIndexA(const char *label);
ZTBASE_API int getConfigIndexW(const char16_t *label);
/* The label; null for a bad or obsolete index. The W form widens it into one
 * static buffer that the next call overwrites (not thread-safe). */
ZTBASE_API const char *getConfigLabelA(int index);
ZTBASE_API const char16_t *getConfigLabelW(int index);
/* The null-terminated list of older labels accepted on input, or null. */
ZTBASE_API const char *const *getConfigAltLabels(int index);
/* 1 for Flags items and one-line-per-element lists, else 0. */
ZTBASE_API int IsMultiLineConfigData(int index);
/* Non-zero when a definition must carry a value. */
ZTBASE_API int ConfigRequiresValue(int index);
/* ZTCONFIG_TYPE_*; -1 outside 0..370 (obsolete rows give 255). */
ZTBASE_API int getConfigDataType(int index);
/* The address of the item's field inside record; null for a bad or obsolete
 * index or a null record. */
ZTBASE_API void *getConfigDataPointer(ZtConfig *record, int index);

/* ---- formatting ----
 * Multi-line items (IsMultiLineConfigData) format as pieces each followed by
 * a NUL, so that the whole has the shape of a registry multi-string. */

/* Formats the item into buffer of *size bytes (buffer may be null with *size
 * 0 to measure). *size becomes the length of the complete text plus 1. Returns
 * 0 when the whole text was written; -1 when it did not fit, when the value
 * cannot be expressed, or for a bad index (then *size is 0). */
ZTBASE_API int formatConfigItemA(const ZtConfig *record, int index, char *buffer, int *size);
/* As formatConfigItemA into a heap buffer owned by the caller (*buffer may be
 * null): when the text does not fit the old buffer is freed and one of *size
 * bytes (1024 when 0) doubled until large enough is allocated; *size is the
 * allocated size. Returns the needed size including the NUL, or -1. */
ZTBASE_API int getFormattedConfigItemA(const ZtConfig *record, int index, char **buffer, int *size);
/* UTF-16 forms; sizes count 16-bit units. */
ZTBASE_API int formatConfigItemW(const ZtConfig *record, int index, char16_t *buffer, int *size);
ZTBASE_API int getFormattedConfigItemW(const ZtConfig *record, int index, char16_t **buffer,
                                       int *size);

/* ---- tokens and units ---- */

/* Isolates the next token of *cursor in place with a delimiter class
 * (ZTCONFIG_TOKEN_*), leaving *cursor at its first character. Returns the
 * terminator replaced by NUL (> 0), 0 at the end of the text, -1 for a syntax
 * error (a missing opening or closing quote, parenthesis or brace). When a
 * token ends at a terminator, the terminator belongs at
 * *cursor + strlen(*cursor); callers put it back after use. */
ZTBASE_API int getConfigTokenA(char **cursor, int delimiterClass);
/* The singular unit name for a value of 1 or -1, else the plural; a null
 * value or a unit outside 0..13 is unit 0 ("raw"). */
ZTBASE_API const char *getConfigUnitsName(const ZtUnits *value);
/* value times the unit's multiplier (seconds or bytes), held at INT64_MIN or
 * INT64_MAX where the product does not fit. */
ZTBASE_API int64_t computeConfigUnitsBaseValue(const ZtUnits *value);

/* 2 for VERBOSE, 1 for PEM_VERBOSE, JM_VERBOSE and RB_VERBOSE, else 0. */
ZTBASE_API int isULParam(int index);
/* The cluster-aware bit (0x800) of the row, 0 for a bad index. */
ZTBASE_API int isClusterAwareParam(int index);
/* 1 when any cluster-aware item's definition word in definitionRecord (a
 * record of the same layout whose fields hold line numbers) is non-zero. */
ZTBASE_API int anyClusterAwareEntryModified(const ZtConfig *definitionRecord);

/* ---- test triggers (development fault injection) ---- */

/* One trigger of a ".TeStS" file. */
typedef struct Borvel_TeST {
    struct Borvel_TeST *next;
    char target[32];
    /* test number in the low 12 bits, 0x1000 sticky, the sequence number of
     * the trigger in bits 16..23 */
    uint32_t test;
    uint32_t count; /* hits left before it fires */
    uint32_t copy_index;
    uint32_t writer;
    uint32_t param[32];
    /* the text a string trigger matches as a proper suffix ("STRING=") */
    char text[256];
} Borvel_TeST;

/* Reads the triggers of the file derived from path (when path contains
 * "TeStS") into *list, and those for tape, disk and robot into *mediaList when
 * target is "BPTM". Returns 0, or 36 when memory runs out. */
ZTBASE_API int CheckAndParseTeStS(const char *path, Borvel_TeST **list, Borvel_TeST **mediaList,
                                  const char *target, int targetLength);
/* The first trigger of list for test (low 12 bits) and writer that fires now
 * (its count reaches zero), or null. */
ZTBASE_API Borvel_TeST *CheckForTeStS(int test, int writer, Borvel_TeST **list, const char *file,
                                      int line);
/* As CheckForTeStS, for triggers whose text is a proper suffix of text; the
 * "Triggered test" line also goes to messageBuffer when one is given. */
ZTBASE_API Borvel_TeST *CheckForTeStSAndString(int test, const char *text, int writer,
                                               char *messageBuffer, int messageSize,
                                               Borvel_TeST **list, const char *file, int line);
/* Removes trigger from *list and frees it. */
ZTBASE_API void UnlinkTeStS(Borvel_TeST *trigger, Borvel_TeST **list);

/* ---- ad-hoc settings ----
 * A touch file named `name` in `directory` turns a setting on; its first line
 * may carry a number (intOut) or a text (lineOut of lineSize bytes). A test
 * trigger (test 9, writer 1) for directory/name overrides the file. Returns 0
 * (present, or a trigger given), 227 when the file is missing, 13 for a
 * trigger with a zero parameter and no output, 12 when it cannot be opened,
 * 113 for the alternate databases, 223 for bad arguments, 36 without memory.
 * triggers may be null. */
ZTBASE_API int read_AD_HOC_config_entry(const char *directory, const char *name, int *intOut,
                                        char *lineOut, int lineSize, Borvel_TeST **triggers,
                                        const char *callerFile, int callerLine);

ZTBASE_END_C

#endif
