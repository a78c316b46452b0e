// Reading decisions out of a fuzzer's input bytes.
//
// Every read takes bytes from the front; an exhausted input reads as zeros,
// so any input, the empty one included, decodes to some valid run. Used by
// one fuzz target call at a time, on its thread.
#ifndef DVRCORE_TESTS_FUZZ_FUZZ_INPUT_H
#define DVRCORE_TESTS_FUZZ_FUZZ_INPUT_H

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace dvrfuzz {

class FuzzInput {
public:
    FuzzInput(const uint8_t* data, std::size_t size) : data_(data), left_(size) {}

    bool Empty() const { return left_ == 0; }
    std::size_t Left() const { return left_; }

    uint8_t Byte() { return static_cast<uint8_t>(Take(1)); }
    uint16_t U16() { return static_cast<uint16_t>(Take(2)); }
    uint32_t U32() { return Take(4); }
    bool Bit() { return (Byte() & 1) != 0; }

    // One of `count` choices.
    template <typename T, std::size_t N>
    const T& Pick(const T (&choices)[N])
    {
        return choices[Byte() % N];
    }

    // Up to `most` bytes from the front (fewer when the input runs out).
    std::string Bytes(std::size_t most)
    {
        const std::size_t count = std::min(most, left_);
        std::string bytes(reinterpret_cast<const char*>(data_), count);
        Skip(count);
        return bytes;
    }
    // Everything left.
    std::string Rest() { return Bytes(left_); }

private:
    uint32_t Take(std::size_t count)
    {
        uint32_t value = 0;
        const std::size_t taken = std::min(count, left_);
        std::memcpy(&value, data_, taken);  // little-endian hosts and targets alike
        Skip(taken);
        return value;
    }
    void Skip(std::size_t count)
    {
        data_ += count;
        left_ -= count;
    }

    const uint8_t* data_;
    std::size_t left_;
};

}  // namespace dvrfuzz

#endif  // DVRCORE_TESTS_FUZZ_FUZZ_INPUT_H
