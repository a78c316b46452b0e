// Tests that run the camera plugin or the test camera server: FFmpeg and
// GStreamer are not built for ThreadSanitizer, so under it their own threads
// would only report false races (and halt the process).
#ifndef DVRCORE_TESTS_MEDIA_LIBRARIES_H
#define DVRCORE_TESTS_MEDIA_LIBRARIES_H

#include <gtest/gtest.h>

#if defined(__SANITIZE_THREAD__)
#define SKIP_UNDER_TSAN()                                                                                      \
    GTEST_SKIP() << "FFmpeg and GStreamer are not built for ThreadSanitizer: their threads would only report " \
                    "false races"
#else
#define SKIP_UNDER_TSAN() static_cast<void>(0)
#endif

#endif  // DVRCORE_TESTS_MEDIA_LIBRARIES_H
