// Numbers as zip, PE and the self-extractor's settings store them: little-endian, whatever the
// machine. Readers take a pointer the caller has checked the length of; writers append to or
// overwrite any container of bytes (std::string or std::vector<unsigned char>).
#pragma once

#include <cstddef>
#include <cstdint>

namespace oz::core {

inline std::uint16_t le16(const unsigned char *p)
{
    return static_cast<std::uint16_t>(p[0] | p[1] << 8);
}
inline std::uint32_t le32(const unsigned char *p)
{
    return le16(p) | static_cast<std::uint32_t>(le16(p + 2)) << 16;
}
inline std::uint64_t le64(const unsigned char *p)
{
    return le32(p) | static_cast<std::uint64_t>(le32(p + 4)) << 32;
}

// The same at a position of a container of bytes, which the caller has checked lies inside it.
template <class Bytes>
std::uint16_t le16At(const Bytes &in, std::size_t at)
{
    return le16(reinterpret_cast<const unsigned char *>(in.data()) + at);
}
template <class Bytes>
std::uint32_t le32At(const Bytes &in, std::size_t at)
{
    return le32(reinterpret_cast<const unsigned char *>(in.data()) + at);
}

// Appends the low `bytes` bytes of v.
template <class Bytes>
void putLe(Bytes &out, std::uint64_t v, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        out.push_back(static_cast<typename Bytes::value_type>(v >> (8 * i)));
}
template <class Bytes>
void putLe16(Bytes &out, std::uint16_t v)
{
    putLe(out, v, 2);
}
template <class Bytes>
void putLe32(Bytes &out, std::uint32_t v)
{
    putLe(out, v, 4);
}
template <class Bytes>
void putLe64(Bytes &out, std::uint64_t v)
{
    putLe(out, v, 8);
}

// Overwrites the bytes at `at`, which the caller has checked lie inside out.
template <class Bytes>
void storeLe16(Bytes &out, std::size_t at, std::uint16_t v)
{
    out[at] = static_cast<typename Bytes::value_type>(v);
    out[at + 1] = static_cast<typename Bytes::value_type>(v >> 8);
}
template <class Bytes>
void storeLe32(Bytes &out, std::size_t at, std::uint32_t v)
{
    storeLe16(out, at, static_cast<std::uint16_t>(v));
    storeLe16(out, at + 2, static_cast<std::uint16_t>(v >> 16));
}

} // namespace oz::core
