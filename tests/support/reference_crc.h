// CRC-16/XMODEM one bit at a time, as a shift register: each message bit,
// most significant first, is XORed with the bit shifted out, and a 1 feeds
// the polynomial back in. Written apart from both CRC implementations under
// test (the product's CalcCrc16 and the emulator's), so that every test
// checks them, and the frames it builds, against something independent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

inline std::uint16_t ReferenceCrc(const std::uint8_t* pData, std::size_t length) {
    std::uint32_t reg = 0;
    for (std::size_t i = 0; i < length; ++i) {
        for (int bit = 7; bit >= 0; --bit) {
            const std::uint32_t in = (pData[i] >> bit) & 1u;
            const std::uint32_t out = (reg >> 15) & 1u;
            reg = (reg << 1) & 0xFFFFu;
            if ((in ^ out) != 0) {
                reg ^= 0x1021u;
            }
        }
    }
    return static_cast<std::uint16_t>(reg);
}

inline std::uint16_t ReferenceCrc(std::span<const std::uint8_t> data) {
    return ReferenceCrc(data.data(), data.size());
}
