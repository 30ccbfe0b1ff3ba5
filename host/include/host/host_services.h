/*
 * The host toolkit services that the movie writer calls: heap, string copies
 * and preferences (jraster, or jlib in hosts of the older generation) and
 * messages to the user (jvislib).
 */
#ifndef HOST_HOST_SERVICES_H
#define HOST_HOST_SERVICES_H

#include <stdint.h>

#if defined(_WIN32) && defined(HOST_TOOLKIT_BUILDING)
#define HOST_API __declspec(dllexport)
#elif defined(_WIN32)
#define HOST_API __declspec(dllimport)
#else
#define HOST_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The host's error-report record; opaque to callers. */
typedef struct ErrorReport ErrorReport;

/* Heap (jraster / jlib). */
HOST_API void* jmsc_HeapMalloc(uint32_t byteCount);
HOST_API void jmsc_HeapFree(void* block);

/* Strings (jraster / jlib). */
HOST_API char* jstr_Duplicate(const char* text);

/* Preferences (jraster / jlib). A missing preference, and a number
 * preference whose text is not a number, yield the default. The lookups set
 * *error to null (error may be null). The text that jpmg_GetStringPreference
 * returns belongs to the store: it stays valid until that preference is set
 * or removed, or the store is loaded again or cleared. */
HOST_API double jpmg_GetNumberPreference(const char* category, const char* key,
                                         double defaultValue, ErrorReport** error);
HOST_API const char* jpmg_GetStringPreference(const char* category, const char* key,
                                              const char* defaultValue, ErrorReport** error);

/* Messages (jvislib). */
HOST_API void jvis_ShowMessage(const char* text);

#ifdef __cplusplus
}
#endif

#endif /* HOST_HOST_SERVICES_H */
