// SHA-256 of a byte buffer, for the simulator's summary of the camera's flash contents.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace sim {

std::array<uint8_t, 32> Sha256(const uint8_t* data, size_t count);
// Lower-case hexadecimal, 64 characters.
std::string Sha256Hex(const uint8_t* data, size_t count);

}  // namespace sim
