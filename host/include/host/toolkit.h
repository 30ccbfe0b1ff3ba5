/*
 * Services of the stand-in host toolkit beyond those a plug-in calls: what a
 * host program (and a test) uses to watch the heap, fill the preference store
 * and receive messages.
 */
#ifndef HOST_TOOLKIT_H
#define HOST_TOOLKIT_H

#include <stdint.h>

#include "host/host_services.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Heap ---------------------------------------------------------------- */

/* Blocks and bytes currently allocated through jmsc_HeapMalloc / jstr_Duplicate. */
HOST_API uint64_t jmsc_HeapLiveBlocks(void);
HOST_API uint64_t jmsc_HeapLiveBytes(void);

/* Makes the allocation after the next `successes` ones fail (return null), once;
 * a negative count switches the injected failure off. */
HOST_API void jmsc_HeapFailAfter(int64_t successes);

/* Name of the environment variable that switches guard mode on at the first
 * allocation: a block alignment of 1, 2, 4, ... 4096 bytes. */
#define JMSC_HEAP_GUARD_ENV "JHOST_HEAP_GUARD"

/* Guard mode: every block allocated from now on gets pages of its own, with
 * an inaccessible page right after it, so that reading or writing past its
 * end faults. The block starts at a multiple of `alignment` (a power of two up
 * to 4096) and ends less than `alignment` bytes before that page (at it, for
 * 1). 0 switches the mode off for later blocks. Returns 1, or 0 (and changes
 * nothing) for another alignment or where the system has no page protection.
 * Blocks of either mode may be freed at any time; the counters and
 * jmsc_HeapFailAfter count them alike. */
HOST_API int jmsc_HeapGuard(int alignment);

/* ---- Preferences ---------------------------------------------------------- */

/* Name of the environment variable that names the preference file. */
#define JPMG_PREFERENCES_ENV "JHOST_PREFERENCES"

/* Loads a preference file (INI style, see host/README.md) into the store,
 * replacing what was there. Returns 1 on success, 0 when the file cannot be
 * read (the store is then left empty). Only a regular file of at most 1 MiB
 * is read: a FIFO, a device or a larger file is refused without waiting. */
HOST_API int jpmg_LoadPreferences(const char* path);

/* Loads the file named by JHOST_PREFERENCES, or else the default location:
 * $XDG_CONFIG_HOME/jhost/preferences.ini, on Windows then
 * %APPDATA%\jhost\preferences.ini, else $HOME/.config/jhost/preferences.ini.
 * A missing default file leaves the store empty and is not an error. Returns 1
 * unless the file named by JHOST_PREFERENCES, or a file present at the default
 * location, could not be read or was refused. The store loads this way by
 * itself at its first use unless a host loaded it before. */
HOST_API int jpmg_LoadDefaultPreferences(void);

/* Why the last of the two loads above, made by this thread, returned 0, in
 * words for the user (naming the file); empty after a load that returned 1.
 * Valid until the thread's next load. */
HOST_API const char* jpmg_PreferencesLoadError(void);

/* Stores a value (as its text) under category and key, replacing any other. */
HOST_API void jpmg_SetNumberPreference(const char* category, const char* key, double value);
HOST_API void jpmg_SetStringPreference(const char* category, const char* key, const char* value);

/* Removes one key, or every preference. */
HOST_API void jpmg_RemovePreference(const char* category, const char* key);
HOST_API void jpmg_ClearPreferences(void);

/* ---- Messages -------------------------------------------------------------- */

typedef void (*jvis_MessageHandler)(const char* text, void* context);

/* Sends every message to `handler` instead of standard error; null restores
 * standard error. */
HOST_API void jvis_SetMessageHandler(jvis_MessageHandler handler, void* context);

#ifdef __cplusplus
}
#endif

#endif /* HOST_TOOLKIT_H */
