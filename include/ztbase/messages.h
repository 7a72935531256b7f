/* Localised messages: texts looked up by message identifier in the message
 * catalogues of a locale, with the caller's English format as the answer
 * whenever there is no catalogue, locale or message; and the locale names
 * behind them.
 *
 * Message identifiers have 11 characters: a three-letter file prefix, three
 * letters of subject, four digits and a family letter ("CerCom2055N"). The
 * catalogue of an identifier is MSG_DIR/<locale>/<family>/<prefix>Msgs, the
 * family directory chosen by the last letter (H "hsm", V "volmgr",
 * X "xhxms", any other "zentor"). Unique message identifiers
 * "V-<file>-<n1>-<n2>..." are looked up as "TrbErr<N>N" in
 * MSG_DIR/<locale>/zentor/TrbMsgs.<file>, N being the hexadecimal forms of
 * n1, n2, ... written one after the other, read as one number.
 *
 * Locale names: a "common" name is the product's (the name of a catalogue
 * directory, "ja"); a "runtime" name is one setlocale accepts ("ja_JP.UTF-8").
 * The locale file (path label LOCALE_FILE) maps the two, one record a line,
 * names preceded by their length in bytes:
 *   TL <len> <common> <time pattern> ^ <date pattern> ^ [<len> <runtime> [<len> <database>]]
 *   TM <len> <name> <len> <target>
 * A TL line defines a common locale (its date patterns, the runtime locale it
 * stands for, the database client's language); a TM line maps a name to
 * another. Lines starting "#" are comments.
 *
 * Thread safety: the lookups share one cache under one mutex. The functions
 * that answer with a pointer to a text of their own keep one answer per
 * thread, valid until the same thread calls the same function again.
 * qlsetlocale changes the process's locale and is as unsafe as setlocale. */
#ifndef ZTBASE_MESSAGES_H
#define ZTBASE_MESSAGES_H

#include <stdarg.h>
#include <stddef.h>
#include <stdio.h>
#include <uchar.h>
#include <ztbase/export.h>

ZTBASE_BEGIN_C

/* Formats the text of message `id` in `locale` (default_format when there
 * is none) with the arguments into out (size bytes, always terminated, cut
 * to fit). A catalogue text that would read an argument default_format does
 * not pass, or one of another kind, or that writes through an argument (%n),
 * is not used: default_format is. When the text of `id` was used and id2 and
 * out2 are given, the text of id2 (or default_format) is formatted with the
 * same arguments into out2 (size2 bytes); otherwise out2, when given, is
 * emptied. Returns 0, or -1 when id, locale, out or default_format is null.
 * errno is the same after the call as before. */
ZTBASE_API int qlgetmsg(const char *id, const char *locale, size_t size, char *out, const char *id2,
                        size_t size2, char *out2, const char *default_format, ...);
ZTBASE_API int qlgetmsgv(const char *id, const char *locale, size_t size, char *out,
                         const char *id2, size_t size2, char *out2, const char *default_format,
                         va_list args);
/* As qlgetmsg; "%%s" in the chosen format is first replaced by the system's
 * text for errno value `syserr` (converted as message texts are). */
ZTBASE_API int qlgetmsg_errno(const char *id, const char *locale, size_t size, char *out,
                              const char *id2, size_t size2, char *out2, int syserr,
                              const char *default_format, ...);
ZTBASE_API int qlgetmsgv_errno(const char *id, const char *locale, size_t size, char *out,
                               const char *id2, size_t size2, char *out2, int syserr,
                               const char *default_format, va_list args);
/* UTF-16 output: the format (catalogue text or default_format) is UTF-16 and
 * formatted as V_snwprintf does (%s a UTF-8 string, %ls a UTF-16 one); sizes
 * count 16-bit units. A catalogue text that is not valid UTF-8 is not used. */
ZTBASE_API int qlgetmsgW(const char *id, const char *locale, size_t size, char16_t *out,
                         const char *id2, size_t size2, char16_t *out2,
                         const char16_t *default_format, ...);
ZTBASE_API int qlgetmsgvW(const char *id, const char *locale, size_t size, char16_t *out,
                          const char *id2, size_t size2, char16_t *out2,
                          const char16_t *default_format, va_list args);
ZTBASE_API int qlgetmsg_errnoW(const char *id, const char *locale, size_t size, char16_t *out,
                               const char *id2, size_t size2, char16_t *out2, int syserr,
                               const char16_t *default_format, ...);
ZTBASE_API int qlgetmsgv_errnoW(const char *id, const char *locale, size_t size, char16_t *out,
                                const char *id2, size_t size2, char16_t *out2, int syserr,
                                const char16_t *default_format, va_list args);

/* The catalogue text of an identifier of exactly 11 characters, or of a
 * unique message identifier, in `locale`; null when there is none. The text
 * belongs to the cache and stays valid until msgCacheUnload. */
ZTBASE_API const char *getLocalMsgFmt(const char *locale, const char *id);
ZTBASE_API const char *getLocalMsgFmtUMI(const char *locale, const char *id);
/* Frees the cache; the next lookups read the catalogues again. */
ZTBASE_API void msgCacheUnload(void);

/* Code sets 40 and 41 switch on the conversion of message texts and system
 * error texts from the process locale's character set to UTF-8 before
 * formatting; any other value switches it off. */
ZTBASE_API void setNeedAcpToUtf8Conversion(int code_set);
ZTBASE_API int needAcpToUtf8Conversion(void);
/* Writes a UTF-8 text to f, converted to the process locale's character set
 * while the switch is on, and a line end when `newline` is set. 0, or -1 for
 * a null argument, a failed conversion or a failed write. */
ZTBASE_API int writeCliLocalizedMessage(FILE *f, const char *text, int newline);

/* The DWORD value "Locale" (a Windows locale identifier) under
 * SOFTWARE\Halvane\Zentor\CurrentVersion, of the current user, else of the
 * local machine, as its three-letter language abbreviation ("ENU", "DEU",
 * "JPN", ...). 0, or -1 when neither is set (or out cannot hold it). */
ZTBASE_API int getregistrylocale(char *out, size_t size);

/* The common locale names to use for each category (any buffer may be null;
 * each holds size bytes): the registry locale, else the user's locale from
 * the environment (LC_ALL, then LC_<category>, then LANG), each mapped by
 * real2commonlocale ("C" when it has no mapping). 0, or -1 when neither the
 * registry nor the environment names a locale. */
ZTBASE_API int qlgetlocaleEx(size_t size, char *lc_all, char *lc_collate, char *lc_ctype,
                             char *lc_monetary, char *lc_numeric, char *lc_time, char *lc_messages);
/* Sets the process locale of each category whose buffer is given and not
 * empty, from the common name it holds (through common2reallocale), and
 * writes the resulting common name back. 0, or -1 when a category could not
 * be set (its buffer is then left as it was). */
ZTBASE_API int qlsetlocale(size_t size, char *lc_all, char *lc_collate, char *lc_ctype,
                           char *lc_monetary, char *lc_numeric, char *lc_time, char *lc_messages);

/* The runtime locale name of a common name: the name itself when the runtime
 * accepts it; else the target of the first TM line of the locale file that
 * maps it, else the runtime name of its TL line; else "C". Per thread. */
ZTBASE_API const char *common2reallocale(const char *name);
/* The common name of a runtime locale name into common (size bytes): the TL
 * line that names it as its runtime locale (codeset spellings such as
 * "utf8" and "UTF-8" are the same) or as its common name; "C" for C, POSIX
 * and C.<codeset>. message (message_size bytes; may be null) is emptied, or
 * receives "**WARNING** Locale definition file <FILE> not found.  Using
 * defaults" (result 0, every other name then maps to "C") or, with -1,
 * "**LOCALE ERROR** locale <NAME> not found in file <FILE>". */
ZTBASE_API int real2commonlocale(const char *name, char *common, size_t size, char *message,
                                 size_t message_size);
/* The database client's language of a runtime (or common) locale name from
 * the locale file; null when the file or the mapping is missing. Per thread. */
ZTBASE_API const char *real2oraclelocale(const char *name);
/* Puts NLS_LANG=<real2oraclelocale(name)> into the environment (name null:
 * the user's locale); 0, or -1 when there is no mapping. */
ZTBASE_API int setOracleLocaleFromReal(const char *name);
/* The same for the registry locale, else the user's locale. */
ZTBASE_API int setOracleLocaleFromRegistry(void);

ZTBASE_END_C

#endif
