// The fuzz targets. Each takes one input and returns 0; a broken invariant
// aborts the process (libFuzzer then keeps the input as a crash). Built into
// libFuzzer programs by the clang build, and into the corpus replay test by
// every build.
#ifndef DVRCORE_TESTS_FUZZ_FUZZ_TARGETS_H
#define DVRCORE_TESTS_FUZZ_FUZZ_TARGETS_H

#include <cstddef>
#include <cstdint>

namespace dvrfuzz {

// A byte stream from the parent, cut into arbitrary receives, with plugins
// behind the IPC reader.
int FuzzIpcReader(const uint8_t* data, std::size_t size);
// Arbitrary text as a configuration update, core.xml, product.xml or a
// pending file; and the parser's nesting limit against the library's parse.
int FuzzConfiguration(const uint8_t* data, std::size_t size);
// Arbitrary event records and sequences into the event entry, with plugins
// keeping, releasing and replying while a dispatcher drains the queue.
int FuzzPluginEvent(const uint8_t* data, std::size_t size);
// A camera's bytes into the camera plugin's own RTSP reader: an interleaved
// stream cut into arbitrary receives, or one response, header, URL or SDP.
int FuzzRtspReader(const uint8_t* data, std::size_t size);

}  // namespace dvrfuzz

#endif  // DVRCORE_TESTS_FUZZ_FUZZ_TARGETS_H
