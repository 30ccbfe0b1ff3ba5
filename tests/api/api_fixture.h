// A test of the AVIFile calls: a temporary folder, the layer's hooks reset,
// and a check that every file and stream object made is gone at the end.
#ifndef TESTS_API_API_FIXTURE_H
#define TESTS_API_API_FIXTURE_H

#include <gtest/gtest.h>

#include <string>

#include "api_test_support.h"
#include "avifile.h"
#include "avifile_test_hooks.h"
#include "support/temp_dir.h"

class ApiTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // A file with one raw video stream of this size and, over it, a
    // compressing stream with `handler` (nothing when `handler` is ~0).
    struct Recording {
        PAVIFILE file = nullptr;
        PAVISTREAM raw = nullptr;
        PAVISTREAM compressed = nullptr;
    };
    Recording open(const std::string& path, int32_t width, int32_t height,
                   DWORD handler = comptypeDIB, const AVISTREAMINFOA* info = nullptr);
    // Releases in the plug-in's order: raw, compressing stream, file.
    static void close(Recording& recording);

    TempDir dir_;
    int liveAtStart_ = 0;
};

#endif  // TESTS_API_API_FIXTURE_H
