// One record of the frame capture test plugin's index files.
#ifndef DVRCORE_TESTS_EXAMPLES_CAPTURED_FRAME_H
#define DVRCORE_TESTS_EXAMPLES_CAPTURED_FRAME_H

#include <cstdint>

#include "camera_stream.h"

struct CapturedFrame {
    dvrexample::MediaFrame frame;
    uint32_t size;  // bytes of the frame in the .video file (video only)
    uint8_t sync;
    uint8_t audio;
    uint8_t padding[2];
};

#endif  // DVRCORE_TESTS_EXAMPLES_CAPTURED_FRAME_H
