// CRC-16/XMODEM for the emulator's receiver: polynomial 0x1021, initial value
// 0, most significant bit first, no reflection, no final XOR. The emulator is
// a peer of the download code, not a user of it, so it carries its own copy:
// a fault in one side's CRC then shows up as refused frames instead of
// cancelling out.
#pragma once

#include <cstdint>
#include <span>

std::uint16_t Crc16Xmodem(std::span<const std::uint8_t> data);
