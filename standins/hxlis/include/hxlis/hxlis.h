/* hxlis: message catalogues for localisable messages, loaded at run time by
 * name (dlopen) and reached through four entry points that the loader looks
 * up by these names:
 *
 *   "hlvnExtOpenCatalog"       hlvnExtOpenCatalog_fn
 *   "hlvnExtCloseCatalog"      hlvnExtCloseCatalog_fn
 *   "hlvnExtFormatMessage"     hlvnExtFormatMessage_fn
 *   "hlvnExtFreeFormatMessage" hlvnExtFreeFormatMessage_fn
 *
 * A catalogue RESOURCE in directory DIR is a set of ICU resource bundles
 * DIR/RESOURCE/LOCALE.res (root.res the fallback), built from text sources by
 * ICU's genrb. Each message is a top-level string whose key is the message id
 * in decimal and whose value is an ICU message pattern with numbered
 * arguments ({0}, {1} ...). Arguments are texts. A pattern that names an
 * argument the caller did not give prints it as "{N}": the formatter never
 * reads past the arguments given. Patterns with named arguments, or with
 * typed arguments (number, date, plural ...) that a text cannot fill, are
 * refused with HLIS_E_FORMAT. */
#ifndef HXLIS_HXLIS_H
#define HXLIS_HXLIS_H

#ifdef __cplusplus
extern "C" {
#endif

#define HLIS_OK 0
#define HLIS_E_PARAM 2       /* a null or invalid argument */
#define HLIS_E_NOMEM 3       /* out of memory */
#define HLIS_E_NOCATALOG 4   /* the catalogue cannot be opened */
#define HLIS_E_NOMESSAGE 5   /* the catalogue has no message of this id */
#define HLIS_E_PATTERN 6     /* the message's pattern does not parse */
#define HLIS_E_FORMAT 7      /* the arguments do not fit the pattern */

/* Opens catalogue `resource` of directory `resdir` in `locale` (null or "":
 * the process's default locale). */
typedef int (*hlvnExtOpenCatalog_fn)(const char *resource, const char *resdir,
                                     const char *locale, void **catalog);
typedef int (*hlvnExtCloseCatalog_fn)(void *catalog);
/* Formats message `msgid` with argc UTF-8 texts into a new UTF-8 text
 * (released with hlvnExtFreeFormatMessage). */
typedef int (*hlvnExtFormatMessage_fn)(void *catalog, unsigned long msgid, int argc,
                                       const char *const *argv, char **text);
typedef void (*hlvnExtFreeFormatMessage_fn)(char *text);

#ifdef __cplusplus
}
#endif

#endif
