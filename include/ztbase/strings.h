/* Safe strings: bounded copy, concatenation and formatting of narrow (8-bit)
 * and wide (UTF-16, char16_t) strings, conversions between UTF-8, the locale's
 * character set and UTF-16, password masking for logged command lines, and
 * file-system calls taking UTF-8 paths.
 *
 * Sizes are capacities of the destination including its terminator: bytes for
 * narrow strings, 16-bit units for wide ones. Allocated results are released
 * with free(). */
#ifndef ZTBASE_STRINGS_H
#define ZTBASE_STRINGS_H

#include <stdarg.h>
#include <stddef.h>
#include <stdio.h>
#include <sys/stat.h>
#include <uchar.h>
#include <ztbase/export.h>

#if defined(__GNUC__)
#define ZTBASE_PRINTF(f, a) __attribute__((format(printf, f, a)))
#else
#define ZTBASE_PRINTF(f, a)
#endif

ZTBASE_BEGIN_C

/* ---- Bounded copy and concatenation ----
 * These return the number of characters actually written (not the length
 * that would have been needed); 0 also means nothing was written. */

/* Copies at most size - 1 characters and terminates. 0 (nothing written) when
 * size is 0 or a pointer is null. */
ZTBASE_API size_t V_strlcpy(char *dst, const char *src, size_t size);
ZTBASE_API size_t V_wcslcpy(char16_t *dst, const char16_t *src, size_t size);

/* Appends src to the string in dst. 0 and nothing written when dst holds no
 * terminator within size or fewer than 2 places remain. */
ZTBASE_API size_t V_strlcat(char *dst, const char *src, size_t size);
ZTBASE_API size_t V_wcslcat(char16_t *dst, const char16_t *src, size_t size);

/* Copies at most min(n, size) characters, padding with NULs up to that count.
 * n >= size: terminates at size - 1 and returns size - 1; otherwise
 * terminates at n and returns n, even when src is shorter. */
ZTBASE_API size_t V_strlncpy(char *dst, const char *src, size_t n, size_t size);
ZTBASE_API size_t V_wcslncpy(char16_t *dst, const char16_t *src, size_t n, size_t size);

/* As V_strlcat, appending at most n characters. */
ZTBASE_API size_t V_strlncat(char *dst, const char *src, size_t n, size_t size);
ZTBASE_API size_t V_wcslncat(char16_t *dst, const char16_t *src, size_t n, size_t size);

/* Writes exactly min(size, n) characters: src up to its NUL, then NULs. Does
 * not terminate beyond that count. Returns min(size, n). */
ZTBASE_API size_t V_strXncpy(char *dst, const char *src, size_t size, size_t n);
ZTBASE_API size_t V_wstrXncpy(char16_t *dst, const char16_t *src, size_t size, size_t n);

/* Length of s, at most max; 0 for null. */
ZTBASE_API size_t V_strnlen(const char *s, size_t max);

/* 0 when a NUL lies within the first n characters of buf (*len receives its
 * position), else -1 (*len receives 0). len may be null. */
ZTBASE_API int V_strverify(const char *buf, size_t n, size_t *len);
ZTBASE_API int V_wstrverify(const char16_t *buf, size_t n, size_t *len);

/* ---- Formatting ----
 * The result is always terminated. Returns the number of characters written
 * without the terminator, or size - 1 when the output was cut; -1 when buf
 * is null or size is 0, and -1 with buf emptied when fmt is null or the
 * formatting itself fails. */
ZTBASE_API int V_snprintf(char *buf, size_t size, const char *fmt, ...) ZTBASE_PRINTF(3, 4);
ZTBASE_API int V_vsnprintf(char *buf, size_t size, const char *fmt, va_list args)
    ZTBASE_PRINTF(3, 0);

/* Appends formatted text to the string in buf: -1 when buf is null or holds
 * no NUL within size, else the result of V_vsnprintf on the space left. */
ZTBASE_API int V_cat_snprintf(char *buf, size_t size, const char *fmt, ...) ZTBASE_PRINTF(3, 4);

/* As V_snprintf; bytes of an incomplete UTF-8 character at the very end of
 * fmt are kept out of the formatting and appended afterwards while room
 * remains. */
ZTBASE_API int V_snprintfUtf8(char *buf, size_t size, const char *fmt, ...) ZTBASE_PRINTF(3, 4);
ZTBASE_API int V_vsnprintfUtf8(char *buf, size_t size, const char *fmt, va_list args)
    ZTBASE_PRINTF(3, 0);

/* Wide formatting, same rules as V_snprintf with size in 16-bit units.
 * Supported conversions:
 *   %s, %hs  a narrow UTF-8 string (char *), converted; invalid bytes give U+FFFD
 *   %ls      a wide string (char16_t *)
 *   %c, %lc  an int holding a code point (U+10000 and above give a surrogate pair)
 *   %d %i %u %o %x %X  with the length modifiers hh h l ll j z t
 *   %e %E %f %F %g %G %a %A  with L for long double
 *   %p, %%
 * Flags - + space # 0, width and precision (also as *) as in C. For strings
 * the precision counts 16-bit units written, and a null string prints
 * "(null)". %n and anything else unsupported stops the formatting there:
 * the rest of fmt is copied as it stands and no further argument is read. */
ZTBASE_API int V_snwprintf(char16_t *buf, size_t size, const char16_t *fmt, ...);
ZTBASE_API int V_vsnwprintf(char16_t *buf, size_t size, const char16_t *fmt, va_list args);
ZTBASE_API int V_cat_snwprintf(char16_t *buf, size_t size, const char16_t *fmt, ...);

/* The system's text for errno value code, or "Unknown error" when it has
 * none; returns buf. */
ZTBASE_API char *V_syserror(int code, char *buf, size_t size);

/* ---- Conversions ----
 * "ACP" is the character set of the current locale (LC_CTYPE, as set by the
 * process with setlocale). */

/* UTF-8 to UTF-16 and back, allocated; null when the text is not valid or
 * memory is short. */
ZTBASE_API char16_t *V_StrDupUTF8ToWide(const char *s);
ZTBASE_API char *V_StrDupWideToUTF8(const char16_t *w);

/* Locale charset to UTF-16, allocated; characters the charset cannot decode
 * are replaced. Null when s is null, the charset is unknown or memory is
 * short. */
ZTBASE_API char16_t *V_StrDupACPToWide(const char *s);

/* UTF-16 to the locale charset, allocated; characters it cannot represent
 * become '?'. On failure an allocated empty string (null only when even that
 * cannot be allocated). */
ZTBASE_API char *V_StrDupWideToACP(const char16_t *w);

/* UTF-16 to UTF-8 into out (size bytes): each unit below 0x80 gives one byte,
 * below 0x800 two, else three (surrogates are encoded one by one). Returns 0;
 * 1 with out empty when the text does not fit or in is null. */
ZTBASE_API int V_UnicodeToUTF(char *out, const char16_t *in, size_t size);

/* UTF-8 of one to three bytes per character (surrogates encoded one by one
 * are accepted) to UTF-16 into out (size units). Returns 0 when it fits; 1
 * with out empty when it does not fit or in is null. When in is not such
 * UTF-8 (a four-byte lead, a bad continuation byte or an overlong form), the
 * whole of in is converted from the locale charset instead and 1 is returned. */
ZTBASE_API int V_UTFToUnicode(char16_t *out, const char *in, size_t size);

/* Reallocates *p to size bytes and stores the new block in *p; on failure
 * frees the old block (when size is not 0) and stores null. Returns *p. */
ZTBASE_API void *V_dumb_realloc(void **p, size_t size);

/* ---- UTF-8 paths ----
 * Each checks that its path(s) are valid UTF-8 and then makes the system
 * call. A path that is not valid UTF-8 (or null) is logged and gives -1
 * (null for fopenUTF8Path) with errno EINVAL. */
ZTBASE_API int accessUTF8Path(const char *path, int mode);
ZTBASE_API int unlinkUTF8Path(const char *path);
ZTBASE_API int removeUTF8Path(const char *path);
ZTBASE_API FILE *fopenUTF8Path(const char *path, const char *mode);
/* A file created through openUTF8Path gets mode 0666 less the umask. */
ZTBASE_API int openUTF8Path(const char *path, int flags);
ZTBASE_API int openUTF8PathMode(const char *path, int flags, int mode);
/* Mode 0777 less the umask. */
ZTBASE_API int mkdirUTF8Path(const char *path);
ZTBASE_API int rmdirUTF8Path(const char *path);
ZTBASE_API int statUTF8Path(const char *path, struct stat *st);
ZTBASE_API int lstatUTF8Path(const char *path, struct stat *st);

/* Renames from to to, replacing an existing file; a regular file on another
 * file system is copied beside the target, synced, renamed into place and
 * the source removed. Returns 0 or the errno of the failure, and sets errno
 * to 2 (not found), 13 (access denied) or 22 (anything else). */
ZTBASE_API int renameUTF8Path(const char *from, const char *to);

/* ---- Password masking ----
 * Both split `in` at runs of the characters of delims and write the tokens to
 * out joined by the whole delims string; a full out cuts the rest silently.
 * Null when out or in is null, size is 0, size is smaller than the length of
 * in, or memory is short. */

/* Tokens whose zero-based index is among the count positions are written as
 * "******", except a token "*NULL*". Null also for an empty in; without any
 * token, in is copied unchanged. */
ZTBASE_API char *V_HidePasswordInString(char *out, size_t size, const char *in, const char *delims,
                                        const int *positions, int count);

/* A token equal to one of the count keywords is written unchanged and the
 * token after it as "******"; a keyword as last token is followed by the
 * delimiters. out is empty when in has no token. */
ZTBASE_API char *V_HidePasswordInCmdLine(char *out, size_t size, const char *in, const char *delims,
                                         const char *const *keywords, int count);

ZTBASE_END_C

#endif
