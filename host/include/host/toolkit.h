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

/* ---- Preferences ---------------------------------------------------------- */

/* Name of the environment variable that names the preference file. */
#define JPMG_PREFERENCES_ENV "JHOST_PREFERENCES"

/* Loads a preference file (INI style, see host/README.md) into the store,
 * replacing what was there. Returns 1 on success, 0 when the file cannot be
 * read (the store is then left empty). */
HOST_API int jpmg_LoadPreferences(const char* path);

/* Loads the file named by JHOST_PREFERENCES, or else the default location:
 * $XDG_CONFIG_HOME/jhost/preferences.ini, on Windows then
 * %APPDATA%\jhost\preferences.ini, else $HOME/.config/jhost/preferences.ini.
 * A missing default file leaves the store empty and is not an error. Returns 1
 * unless the file named by JHOST_PREFERENCES could not be read. The store
 * loads this way by itself at its first use unless a host loaded it before. */
HOST_API int jpmg_LoadDefaultPreferences(void);

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
