/* Zentor status codes and their texts. */
#ifndef ZTBASE_STATUS_H
#define ZTBASE_STATUS_H

#include <stdint.h>
#include <ztbase/export.h>

#ifdef __cplusplus
#include <ostream>
#include <string>
#include <uchar.h>
#else
#include <uchar.h>
#endif

ZTBASE_BEGIN_C

/* The status catalogues: row i holds the English text of status (first + i);
 * a null row means the code has no text of its own. */
ZTBASE_API extern const char *const errmsgstr[256];            /* 0-255 */
ZTBASE_API extern const char *const vault_errmsgstr[96];       /* 256-351 */
ZTBASE_API extern const char *const adtr_errmsgstr[8];         /* 360-367 */
ZTBASE_API extern const char *const emm_sg_errmsgstr[10];      /* 400-409 */
ZTBASE_API extern const char *const synth_errmsgstr[72];       /* 600-671 */
ZTBASE_API extern const char *const jm_errmsgstr[59];          /* 800-858 */
ZTBASE_API extern const char *const rb_errmsgstr[20];          /* 900-919 */
ZTBASE_API extern const char *const pem_errmsgstr[4];          /* 1000-1003 */
ZTBASE_API extern const char *const kms_errmsgstr[88];         /* 1200-1287 */
ZTBASE_API extern const char *const holdsvc_errmsgstr[27];     /* 1400-1426 */
ZTBASE_API extern const char *const slp_errmsgstr[108];        /* 1500-1607 */
ZTBASE_API extern const char *const resolver_errmsgstr[2];     /* 1700-1701 */
ZTBASE_API extern const char *const ev_errmsgstr[1];           /* 1800-1800 */
ZTBASE_API extern const char *const dars_errmsgstr[46];        /* 1900-1945 */
ZTBASE_API extern const char *const emm_mds_errmsgstr[114];    /* 2000-2113 */
ZTBASE_API extern const char *const dbm_errmsgstr[25];         /* 2501-2525 */
ZTBASE_API extern const char *const restore_errmsgstr[70];     /* 2800-2869 */
ZTBASE_API extern const char *const snc_errmsgstr[95];         /* 4200-4294 */
ZTBASE_API extern const char *const indexsvc_errmsgstr[47];    /* 5000-5046 */
ZTBASE_API extern const char *const asc_errmsgstr[3];          /* 5200-5202 */
ZTBASE_API extern const char *const fscp_errmsgstr[3];         /* 5300-5302 */
ZTBASE_API extern const char *const dbagent_errmsgstr[53];     /* 5400-5452 */
ZTBASE_API extern const char *const ncws_errmsgstr[9];         /* 5500-5508 */
ZTBASE_API extern const char *const interdomain_errmsgstr[80]; /* 5600-5679 */
ZTBASE_API extern const char *const interdomain_wrnmsgstr[20]; /* 5680-5699 */
ZTBASE_API extern const char *const supv_errmsgstr[137];       /* 5700-5836 */
ZTBASE_API extern const char *const ztcertcmd_errmsgstr[94];   /* 5900-5993 */
ZTBASE_API extern const char *const bpcd_errmsgstr[2];         /* 6000-6001 */
ZTBASE_API extern const char *const spsztgre_errmsgstr[45];    /* 6500-6544 */
ZTBASE_API extern const char *const aapi_errmsgstr[56];        /* 6600-6655 */
ZTBASE_API extern const char *const ft_errmsgstr[18];          /* 7000-7017 */
ZTBASE_API extern const char *const ztclntdb_errmsgstr[9];     /* 7500-7508 */
ZTBASE_API extern const char *const libztpxy_errmsgstr[61];    /* 7600-7660 */
ZTBASE_API extern const char *const rbac_errmsgstr[10];        /* 8000-8009 */
ZTBASE_API extern const char *const curl_errmsgstr[11];        /* 8500-8510 */
ZTBASE_API extern const char *const certmgmt_errmsgstr[27];    /* 8600-8626 */
ZTBASE_API extern const char *const hosts_errmsgstr[25];       /* 8700-8724 */
ZTBASE_API extern const char *const config_errmsgstr[1];       /* 8800-8800 */
ZTBASE_API extern const char *const hostmgmt_errmsgstr[3];     /* 8900-8902 */
ZTBASE_API extern const char *const http_generic_errmsgstr[5]; /* 8951-8955 */
ZTBASE_API extern const char *const auditrecord_errmsgstr[2];  /* 9000-9001 */
ZTBASE_API extern const char *const common_errmsgstr[3];       /* 9101-9103 */
ZTBASE_API extern const char *const crl_errmsgstr[10];         /* 9300-9309 */

/* Every catalogue with its first and last code, in ascending order. */
#define ZTBASE_STATUS_CATALOGUES(X)                                                                \
    X(errmsgstr, 0, 255)                                                                           \
    X(vault_errmsgstr, 256, 351)                                                                   \
    X(adtr_errmsgstr, 360, 367)                                                                    \
    X(emm_sg_errmsgstr, 400, 409)                                                                  \
    X(synth_errmsgstr, 600, 671)                                                                   \
    X(jm_errmsgstr, 800, 858)                                                                      \
    X(rb_errmsgstr, 900, 919)                                                                      \
    X(pem_errmsgstr, 1000, 1003)                                                                   \
    X(kms_errmsgstr, 1200, 1287)                                                                   \
    X(holdsvc_errmsgstr, 1400, 1426)                                                               \
    X(slp_errmsgstr, 1500, 1607)                                                                   \
    X(resolver_errmsgstr, 1700, 1701)                                                              \
    X(ev_errmsgstr, 1800, 1800)                                                                    \
    X(dars_errmsgstr, 1900, 1945)                                                                  \
    X(emm_mds_errmsgstr, 2000, 2113)                                                               \
    X(dbm_errmsgstr, 2501, 2525)                                                                   \
    X(restore_errmsgstr, 2800, 2869)                                                               \
    X(snc_errmsgstr, 4200, 4294)                                                                   \
    X(indexsvc_errmsgstr, 5000, 5046)                                                              \
    X(asc_errmsgstr, 5200, 5202)                                                                   \
    X(fscp_errmsgstr, 5300, 5302)                                                                  \
    X(dbagent_errmsgstr, 5400, 5452)                                                               \
    X(ncws_errmsgstr, 5500, 5508)                                                                  \
    X(interdomain_errmsgstr, 5600, 5679)                                                           \
    X(interdomain_wrnmsgstr, 5680, 5699)                                                           \
    X(supv_errmsgstr, 5700, 5836)                                                                  \
    X(ztcertcmd_errmsgstr, 5900, 5993)                                                             \
    X(bpcd_errmsgstr, 6000, 6001)                                                                  \
    X(spsztgre_errmsgstr, 6500, 6544)                                                              \
    X(aapi_errmsgstr, 6600, 6655)                                                                  \
    X(ft_errmsgstr, 7000, 7017)                                                                    \
    X(ztclntdb_errmsgstr, 7500, 7508)                                                              \
    X(libztpxy_errmsgstr, 7600, 7660)                                                              \
    X(rbac_errmsgstr, 8000, 8009)                                                                  \
    X(curl_errmsgstr, 8500, 8510)                                                                  \
    X(certmgmt_errmsgstr, 8600, 8626)                                                              \
    X(hosts_errmsgstr, 8700, 8724)                                                                 \
    X(config_errmsgstr, 8800, 8800)                                                                \
    X(hostmgmt_errmsgstr, 8900, 8902)                                                              \
    X(http_generic_errmsgstr, 8951, 8955)                                                          \
    X(auditrecord_errmsgstr, 9000, 9001)                                                           \
    X(common_errmsgstr, 9101, 9103)                                                                \
    X(crl_errmsgstr, 9300, 9309)

/* English text of a status; constant data, never freed. */
ZTBASE_API const char *getECmsg(int code);
/* Text of a status in a locale; a per-thread buffer overwritten by the
 * same thread's next call. */
ZTBASE_API const char *getECmsgl(int code, const char *locale);
/* "%s (ZT:%i)" into one process-wide 1024-byte buffer. */
ZTBASE_API char *ERR_ZTmsgstr(int code, const char *text);
/* "%s (SYS:%i)" with strerror(errnum) into a second process-wide buffer. */
ZTBASE_API char *ERR_SYSmsgstr(int errnum);

/* The runtime's invalid-parameter handler: expression, function and file are
 * UTF-16 texts, any of which may be null. */
typedef void (*ZT_invalid_parameter_handler)(const char16_t *expression, const char16_t *function,
                                             const char16_t *file, unsigned int line,
                                             uintptr_t reserved);
ZTBASE_API ZT_invalid_parameter_handler
register_InvalidParameterHandler(ZT_invalid_parameter_handler handler);
ZTBASE_API void ZT_InvalidParameterHandler(const char16_t *expression, const char16_t *function,
                                           const char16_t *file, unsigned int line,
                                           uintptr_t reserved);

ZTBASE_END_C

#ifdef __cplusplus
/* A localised status text that owns its copy; safe to pass between threads. */
class ZTBASE_API ECMsgL {
  public:
    ECMsgL();
    ECMsgL(int code, const char *locale);
    ECMsgL(const ECMsgL &other);
    ECMsgL &operator=(const ECMsgL &other);
    ~ECMsgL();

    /* Looks the text up again; on failure the old text stays. */
    void set(int code, const char *locale);
    const char *c_str() const;

  private:
    char *text_;
};

ZTBASE_API std::ostream &operator<<(std::ostream &os, const ECMsgL &message);
ZTBASE_API ECMsgL getECmsgl_ts(int code, const char *locale);
#endif

#endif
