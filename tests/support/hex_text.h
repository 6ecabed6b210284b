// Builds Intel HEX text for tests: records with correct checksums, CR LF.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace testing_support {

// One record with its checksum, without a line end.
std::string HexRecordText(uint8_t type, uint16_t address, const std::vector<uint8_t>& data);

// A data record followed by CR LF.
std::string DataLine(uint16_t address, const std::vector<uint8_t>& data);

// The end-of-file record ":00000001FF" followed by CR LF.
std::string EndOfFileLine();

// `count` bytes of a deterministic pattern starting at `seed`.
std::vector<uint8_t> PatternBytes(size_t count, uint32_t seed);

// A whole file: `bytes` laid out from address 0 in records of `recordSize`,
// in an order shuffled by `shuffleSeed` (0 keeps address order), then the
// end-of-file record.
std::string HexFileFor(const std::vector<uint8_t>& bytes, size_t recordSize, uint32_t shuffleSeed);

}  // namespace testing_support
