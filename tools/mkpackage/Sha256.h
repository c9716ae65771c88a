// SHA-256 (FIPS 180-4), to name the launchers mkpackage carries in a way
// vendors can compare with a published figure.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

// The digest of size bytes at data, as 64 lowercase hexadecimal digits.
std::string Sha256Hex(const uint8_t* data, size_t size);
