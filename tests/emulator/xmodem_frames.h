// Frames as a sender puts them on the line, built with the tests' reference
// CRC-16/XMODEM so that the emulator's table-driven CRC is checked against an
// independent one.
#pragma once

#include <cstdint>
#include <vector>

#include "tests/support/reference_crc.h"

namespace test_frames {

using Bytes = std::vector<std::uint8_t>;

// 1024 bytes that differ from block to block.
inline Bytes Payload(unsigned seed)
{
    Bytes data(1024);
    for (std::size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<std::uint8_t>((i * 31u + seed * 7u + (i >> 8)) & 0xFFu);
    }
    return data;
}

inline Bytes DataFrame(std::uint8_t number, const Bytes& payload)
{
    Bytes frame{0x02, number, static_cast<std::uint8_t>(0xFF - number)};
    frame.insert(frame.end(), payload.begin(), payload.end());
    const std::uint16_t crc = ReferenceCrc(payload);
    frame.push_back(static_cast<std::uint8_t>(crc >> 8));
    frame.push_back(static_cast<std::uint8_t>(crc & 0xFF));
    return frame;
}

inline Bytes EndFrame(std::uint8_t number)
{
    return {0x04, number, static_cast<std::uint8_t>(0xFF - number)};
}

inline Bytes CancelFrame(std::uint8_t number)
{
    return {0x18, number, static_cast<std::uint8_t>(0xFF - number)};
}

inline Bytes WithBadCrc(Bytes frame)
{
    frame.back() ^= 0x01;
    return frame;
}

inline Bytes WithBadComplement(Bytes frame)
{
    frame[2] ^= 0x10;
    return frame;
}

inline Bytes Concat(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

}  // namespace test_frames
