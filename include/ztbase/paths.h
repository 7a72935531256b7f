/* The installation path table: every file, directory, executable and service
 * name of the product, looked up by label. */
#ifndef ZTBASE_PATHS_H
#define ZTBASE_PATHS_H

#include <stddef.h>
#include <ztbase/export.h>

ZTBASE_BEGIN_C

/* The expanded value of a label; "" for an unknown label or a failed expansion,
 * never null. Owned by the table and valid for the life of the process. */
ZTBASE_API const char *getFennicString(const char *label);
/* getFennicString converted with base detection (0x hexadecimal, 0 octal);
 * 0 when the value is empty. */
ZTBASE_API int getFennicInt(const char *label);
/* Expands a template; a new string released with freeFennicString ("" when the
 * expansion fails, null only when memory is short). */
ZTBASE_API char *expandFennicString(const char *tmpl);
/* Frees a string of expandFennicString; returns 1. */
ZTBASE_API int freeFennicString(char *s);
/* The local path of a UNIX command path of the command map; null when it is
 * not in the map. Owned by the table. */
ZTBASE_API const char *UnixToLocalCmd(const char *unixPath, int wide);
/* `text` without its double quotes, wrapped in one pair; null for a null or
 * empty text or an unpaired double quote. Released with free. */
ZTBASE_API char *createNTFennicString(const char *text);
/* Rewrites `text` in place with createNTFennicString when it holds a double
 * quote (cut to `size` bytes). Returns text. */
ZTBASE_API char *changeToNTFennicString(char *text, size_t size);

/* Takes the table (building it when needed) for the calling thread; nests. */
ZTBASE_API void *lockConfig(void);
/* Gives back one lockConfig; 1 exactly when the nesting count reached zero. */
ZTBASE_API int unlockConfig(void);

/* Enumerates the path overrides of the registry. openPathsFile returns null
 * when the key is missing. readPathsFile returns 0 when no value remains, else
 * 1 with *name and *value new strings (free), either null when that value
 * cannot be read. */
ZTBASE_API void *openPathsFile(void);
ZTBASE_API int readPathsFile(void *handle, char **name, char **value);
ZTBASE_API void closePathsFile(void *handle);

/* The name under which the library writes to the system event log. */
ZTBASE_API const char *getModuleID(void);
/* Replaces it with a copy of name: 1, or 0 for a null name. */
ZTBASE_API int setModuleID(const char *name);

ZTBASE_END_C

#endif
