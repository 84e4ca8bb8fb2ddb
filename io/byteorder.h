// Little-endian byte order, whatever the host's: the order of every binary number the toolkit
// writes or reads (depth and confidence files, BMP headers, PFM and PLY payloads, COLMAP's binary
// models, the step journal's maps). Values are assembled from single bytes, so the functions
// work on any host and any alignment.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace zelio {

inline uint16_t ReadLe16(const unsigned char* p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

inline uint32_t ReadLe32(const unsigned char* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// The value of `bytes` bytes (1 to 8), least significant first.
inline uint64_t ReadLe(const unsigned char* p, int bytes) {
    uint64_t value = 0;
    for (int k = 0; k < bytes; k++) {
        value |= static_cast<uint64_t>(p[k]) << (8 * k);
    }
    return value;
}

inline float ReadLeFloat(const unsigned char* p) {
    const uint32_t bits = ReadLe32(p);
    float value = 0.0f;
    std::memcpy(&value, &bits, 4);
    return value;
}

inline void WriteLe16(unsigned char* p, uint32_t value) {
    p[0] = static_cast<unsigned char>(value & 0xffu);
    p[1] = static_cast<unsigned char>((value >> 8) & 0xffu);
}

inline void WriteLe32(unsigned char* p, uint32_t value) {
    for (int k = 0; k < 4; k++) {
        p[k] = static_cast<unsigned char>((value >> (8 * k)) & 0xffu);
    }
}

inline void WriteLeFloat(unsigned char* p, float value) {
    uint32_t bits = 0;
    std::memcpy(&bits, &value, 4);
    WriteLe32(p, bits);
}

// Appends the low `bytes` bytes of value (1 to 8), least significant first.
inline void AppendLe(std::string& out, uint64_t value, int bytes) {
    for (int k = 0; k < bytes; k++) {
        out.push_back(static_cast<char>((value >> (8 * k)) & 0xffu));
    }
}

inline void AppendLeFloat(std::string& out, float value) {
    uint32_t bits = 0;
    std::memcpy(&bits, &value, 4);
    AppendLe(out, bits, 4);
}

// count floats to 4 * count bytes at out, and back.
inline void FloatsToLe(const float* values, size_t count, unsigned char* out) {
    for (size_t i = 0; i < count; i++) {
        WriteLeFloat(out + 4 * i, values[i]);
    }
}

inline void FloatsFromLe(const unsigned char* bytes, size_t count, float* out) {
    for (size_t i = 0; i < count; i++) {
        out[i] = ReadLeFloat(bytes + 4 * i);
    }
}

}  // namespace zelio
