#include "emulator/crc16.h"

#include <array>

namespace {

// One table entry per value of the CRC's high byte XOR the next data byte.
constexpr std::array<std::uint16_t, 256> MakeTable()
{
    std::array<std::uint16_t, 256> table{};
    for (unsigned i = 0; i < 256; ++i) {
        unsigned crc = i << 8;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 0x8000u) ? ((crc << 1) ^ 0x1021u) : (crc << 1);
        }
        table[i] = static_cast<std::uint16_t>(crc & 0xFFFFu);
    }
    return table;
}

constexpr std::array<std::uint16_t, 256> kTable = MakeTable();

}  // namespace

std::uint16_t Crc16Xmodem(std::span<const std::uint8_t> data)
{
    std::uint16_t crc = 0;
    for (std::uint8_t byte : data) {
        crc = static_cast<std::uint16_t>((crc << 8) ^ kTable[((crc >> 8) ^ byte) & 0xFFu]);
    }
    return crc;
}
