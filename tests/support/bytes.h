// Helpers for laying out expected on-disk bytes by hand: little-endian field
// writers and readers, the XXH64 reference with the seed the metadata
// checksums use, and the wall clock in the nanoseconds time-stamp fields hold.
// None of them calls the code under test.
#ifndef TAV_TEST_BYTES_H
#define TAV_TEST_BYTES_H

#include <stddef.h>
#include <stdint.h>

#include <vector>

namespace tavtest {

using Bytes = std::vector<uint8_t>;

inline void put_le(void *p, uint64_t v, unsigned bytes) {
    uint8_t *b = static_cast<uint8_t *>(p);
    for (unsigned i = 0; i < bytes; i++)
        b[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline uint64_t get_le(const void *p, unsigned bytes) {
    const uint8_t *b = static_cast<const uint8_t *>(p);
    uint64_t v = 0;
    for (unsigned i = bytes; i-- > 0;)
        v = (v << 8) | b[i];
    return v;
}

inline void put16(void *p, uint16_t v) {
    put_le(p, v, 2);
}
inline void put32(void *p, uint32_t v) {
    put_le(p, v, 4);
}
inline void put64(void *p, uint64_t v) {
    put_le(p, v, 8);
}
inline uint16_t get16(const void *p) {
    return static_cast<uint16_t>(get_le(p, 2));
}
inline uint32_t get32(const void *p) {
    return static_cast<uint32_t>(get_le(p, 4));
}
inline uint64_t get64(const void *p) {
    return get_le(p, 8);
}

// The same at byte `off` of a buffer (an access past its end throws, which
// fails the test instead of corrupting memory).
inline void put16(Bytes &b, size_t off, uint16_t v) {
    put16(&b.at(off + 1) - 1, v);
}
inline void put32(Bytes &b, size_t off, uint32_t v) {
    put32(&b.at(off + 3) - 3, v);
}
inline void put64(Bytes &b, size_t off, uint64_t v) {
    put64(&b.at(off + 7) - 7, v);
}
inline uint16_t get16(const Bytes &b, size_t off) {
    return get16(&b.at(off + 1) - 1);
}
inline uint32_t get32(const Bytes &b, size_t off) {
    return get32(&b.at(off + 3) - 3);
}
inline uint64_t get64(const Bytes &b, size_t off) {
    return get64(&b.at(off + 7) - 7);
}

// XXH64 with seed 1011, from the xxHash library itself.
uint64_t xxh64_1011(const void *p, size_t len);

// CLOCK_REALTIME in nanoseconds.
uint64_t now_ns();

} // namespace tavtest

#endif
