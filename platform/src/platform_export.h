// Marks the functions that leave the shared platform libraries.
#ifndef AVIFILE_PLATFORM_EXPORT_H
#define AVIFILE_PLATFORM_EXPORT_H

#define AVIFILE_EXPORT __attribute__((visibility("default")))

#endif  // AVIFILE_PLATFORM_EXPORT_H
