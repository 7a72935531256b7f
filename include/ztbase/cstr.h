/* Operations on one NUL-terminated string (cstr) and on null-terminated arrays of
 * allocated strings (cstra).
 *
 * Ownership: every string or array returned here is allocated with malloc and
 * belongs to the caller; release a string with free() and a cstra with cstraFREE().
 * Arguments are never freed or changed unless a function says so. Null arguments
 * give the documented result and never crash; every function returning an
 * allocation also returns null when memory is short. */
#ifndef ZTBASE_CSTR_H
#define ZTBASE_CSTR_H

#include <stddef.h>
#include <ztbase/export.h>

ZTBASE_BEGIN_C

/* A null-terminated array of pointers to malloc'd strings; its count excludes the
 * terminating null, and an empty cstra holds only the null pointer. */
typedef char **cstra;

/* ---- cstr: single strings ---- */

/* 1 when s is null or empty, else 0. */
ZTBASE_API int cstrEMPTY(const char *s);
/* The last character of s, 0 for a null or empty s. */
ZTBASE_API char cstrLAST(const char *s);
/* 1 when a and b are equal, a null pointer counting as the empty string. */
ZTBASE_API int cstrMATCH(const char *a, const char *b);
/* Occurrences of c in s; 0 for a null or empty s or a zero c. */
ZTBASE_API int cstrCOUNTchar(const char *s, char c);
/* Characters of s that occur in set; 0 when either is null. */
ZTBASE_API int cstrCOUNTchars(const char *s, const char *set);
/* Case conversion in place with the runtime's tolower/toupper; return s (null for
 * a null s, which is left alone). */
ZTBASE_API char *cstrLOWER(char *s);
ZTBASE_API char *cstrUPPER(char *s);

/* New trimmed copy of s. Modes: 0 leading characters of set, 1 trailing ones,
 * 2 every character of set, 3 leading then trailing, 4 leading zeros (keeping one
 * when no digit follows it; set is then only checked for null). Null s gives null;
 * an empty s or a null set gives a copy; for modes other than 4 an empty set gives
 * a copy; any other mode gives null. */
ZTBASE_API char *cstrTRIM(const char *s, int mode, const char *set);
/* New copy of s. Mode 1 removes repeated copies of suffix from the end but never
 * the whole string. Null s gives null; an empty s or a null or empty suffix gives a
 * copy; any other mode gives null. */
ZTBASE_API char *cstrTRIMcstr(const char *s, int mode, const char *suffix);

/* Extent of the double-quoted literal at s, both quotes included; up to the end of
 * the string when it is not closed; 0 when s does not start with a double quote.
 * A backslash does not protect a quote. */
ZTBASE_API size_t cstrLiteralSIZE(const char *s);

/* Tokens: a double-quoted literal (extent as cstrLiteralSIZE) or a maximal run of
 * characters not in delims; delimiters before a token are skipped. */

/* New copy of the next token at *cursor; *cursor then points just after the token
 * (not past the delimiters that follow). Null, with *cursor unchanged, when no token
 * is left or an argument is null. */
ZTBASE_API char *cstrTokenNEXT(const char **cursor, const char *delims);
/* Length of the n-th token (from 1) at *cursor, with *cursor moved to its start;
 * 0 with *cursor unchanged when there is no such token, n < 1 or an argument is
 * null. */
ZTBASE_API size_t cstrTokenFIND(const char **cursor, int n, const char *delims);
/* New copy of the n-th token (from 1) of s; n = 0 gives the last token. Null when
 * there is no such token, n < 0 or an argument is null. */
ZTBASE_API char *cstrTokenGET(const char *s, int n, const char *delims);
/* New copy of the n-th field (from 1) of s split at each occurrence of the string
 * sep; empty fields count. Null when the field is empty or missing, n < 1, s is
 * null or sep is null or empty. */
ZTBASE_API char *cstrTokenOBTAIN(const char *s, int n, const char *sep);
/* New cstra of all tokens of s (empty when s has none); null when s or delims is
 * null. */
ZTBASE_API cstra cstrTOcstra(const char *s, const char *delims);

/* Double quotes. "Quoted" means: at least 2 long, starting and ending with '"'. */

/* New copy of a quoted s without its two quotes; null when s is not quoted. */
ZTBASE_API char *cstrDQuotesSTRIP(const char *s);
/* The stripped copy when s is quoted, else a plain copy; null for a null s. */
ZTBASE_API char *cstrDQuotesUNCHECK(const char *s);
/* New "\"s\"" when s does not start with '"' and contains a blank; else null. */
ZTBASE_API char *cstrDQuotesENCLOSE(const char *s);
/* The enclosed form when cstrDQuotesENCLOSE gives one, else a plain copy; null for
 * a null s. */
ZTBASE_API char *cstrDQuotesCHECK(const char *s);

/* In place: when s starts and ends with c, removes both (a string of length 2 or
 * less becomes empty). Returns s. */
ZTBASE_API char *stripdelims(char *s, char c);
/* First c in s that is not between a pair of q characters (a c after an unclosed q
 * counts); null when there is none or c is 0. */
ZTBASE_API char *strchrwdelim(const char *s, char c, char q);
/* strtok with the one separator c, ignoring separators between q pairs: skips
 * leading separators and cuts the token at the next separator in s (which it
 * writes to). A null s continues after the previous token; null once no token is
 * left. The continuation position is one process-wide variable: not for concurrent
 * use. */
ZTBASE_API char *strtokwdelim(char *s, char c, char q);

/* ---- cstra: arrays of strings ---- */

/* Number of strings, 0 for null. */
ZTBASE_API int cstraCOUNT(cstra a);
/* Appends the strings of b to a, taking them over and freeing the array b; returns
 * the new array (a may move). A null a returns b; a null b returns a. When memory is
 * short returns null and leaves both a and b as they were. */
ZTBASE_API cstra cstraAPPEND(cstra a, cstra b);
/* Deep copy; null for null. */
ZTBASE_API cstra cstraDUP(cstra a);
/* Frees every string and nulls its slot; the array itself stays. */
ZTBASE_API void cstraItemsFREE(cstra a);
/* Frees every string and the array; a null a does nothing. */
ZTBASE_API void cstraFREE(cstra a);
/* New string of all strings joined by sep (a null sep counts as empty); null when a
 * is null or empty or the joined text is empty. */
ZTBASE_API char *cstraTOcstr(cstra a, const char *sep);
/* Index of the first (RMATCH: last) string equal to s, a null s matching the empty
 * string; -1 when none or a is null. */
ZTBASE_API int cstraMATCH(cstra a, const char *s);
ZTBASE_API int cstraRMATCH(cstra a, const char *s);
/* New cstra of copies of the strings of a that do not occur in b (a null b holds
 * nothing); null when there are none. */
ZTBASE_API cstra cstraDIFF(cstra a, cstra b);

ZTBASE_END_C

#endif
