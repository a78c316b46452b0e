// The libFuzzer entry of one fuzz target, chosen at build time.
#include "fuzz_targets.h"

#ifndef FUZZ_TARGET
#error "FUZZ_TARGET names the target function"
#endif

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    return dvrfuzz::FUZZ_TARGET(data, size);
}
