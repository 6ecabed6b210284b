// SHA-256 (FIPS 180-4), for comparing the device's flash with the image.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace quillsim {

// The digest of `length` bytes as 64 lowercase hex digits.
std::string Sha256Hex(const uint8_t* data, size_t length);

}  // namespace quillsim
