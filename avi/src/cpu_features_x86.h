// What the x86 processor that runs the plug-in supports, read from the
// processor itself at the first question (never when the module is loaded).
#ifndef AVI_CPU_FEATURES_X86_H
#define AVI_CPU_FEATURES_X86_H

// SSSE3 byte shuffles.
bool cpuRunsSsse3();

// AVX2, and an operating system that saves the 256-bit registers.
bool cpuRunsAvx2();

#endif  // AVI_CPU_FEATURES_X86_H
