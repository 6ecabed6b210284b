// The Flash ROM file read in two passes, as the Program button reads it:
// first every record up to the end-of-file record, checked in the order the
// sorter checks (so the reason given is the first fault the product meets),
// then the records in the sorter's order laid out from address 0.
#include "flash_file_explainer.h"

#include <algorithm>
#include <cstdio>

namespace quillsim {
namespace {

constexpr unsigned MaxRecords = 2000;  // refused at this count, end-of-file record included
constexpr unsigned MaxRecordBytes = 32;
constexpr size_t MaxImageBytes = 65536;

struct Record {
  size_t start;  // offset of its ':'
  unsigned length;
  unsigned address;
  unsigned type;
  std::vector<uint8_t> data;
};

int HexValue(char c) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  return c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
}

// Offset of the first character of [from, to) that is no hex digit; to if
// there is none.
size_t FirstNonHex(std::string_view text, size_t from, size_t to) {
  while (from < to && HexValue(text[from]) >= 0) {
    ++from;
  }
  return from;
}

unsigned ByteAt(std::string_view text, size_t offset) {
  return static_cast<unsigned>(HexValue(text[offset]) * 16 + HexValue(text[offset + 1]));
}

// 'c' for a printable character, its code otherwise.
std::string Shown(char c) {
  char text[8];
  if (c > ' ' && c < 0x7F) {
    std::snprintf(text, sizeof text, "'%c'", c);
  } else {
    std::snprintf(text, sizeof text, "0x%02X", static_cast<unsigned char>(c));
  }
  return text;
}

std::string Hex(unsigned value, int digits) {
  char text[8];
  std::snprintf(text, sizeof text, "%0*X", digits, value);
  return text;
}

FlashFileReading Refuse(std::string_view text, size_t offset, std::string reason) {
  const std::string_view before = text.substr(0, offset);
  const size_t lineStart = before.rfind('\n') + 1;  // 0 when there is none
  FlashFileRefusal refusal{
      static_cast<unsigned>(std::count(before.begin(), before.end(), '\n') + 1),
      static_cast<unsigned>(offset - lineStart + 1), std::move(reason)};
  return {{}, std::move(refusal)};
}

// The first pass: the records up to and including the end-of-file record,
// or the refusal of the first record that cannot be read.
std::optional<FlashFileReading> ReadRecords(std::string_view text, std::vector<Record>& records) {
  const size_t end = text.size();
  size_t pos = 0;
  for (;;) {
    if (pos == end) {
      return Refuse(text, pos, "input ends before the end-of-file record");
    }
    if (text[pos] != ':') {
      return Refuse(text, pos, "expected the record mark ':', found " + Shown(text[pos]));
    }
    if (end - pos < 3) {
      return Refuse(text, end, "input ends inside a record");
    }
    if (const size_t bad = FirstNonHex(text, pos + 1, pos + 3); bad < pos + 3) {
      return Refuse(text, bad, "expected an uppercase hex digit, found " + Shown(text[bad]));
    }
    Record record{pos, ByteAt(text, pos + 1), 0, 0, {}};
    if (record.length > MaxRecordBytes) {
      return Refuse(text, pos + 1,
                    "record of " + std::to_string(record.length) + " bytes, longer than 32");
    }
    // The first character that cannot be a digit of the record, as far as
    // the input goes; a line end there means the line is too short for
    // the length the record announces.
    const size_t size = 2 * record.length + 11;
    const size_t present = std::min(pos + size, end);
    if (const size_t bad = FirstNonHex(text, pos + 3, present); bad < present) {
      if (text[bad] == '\r' || text[bad] == '\n') {
        return Refuse(text, bad,
                      "line ends inside a record of " + std::to_string(record.length) + " bytes");
      }
      return Refuse(text, bad, "expected an uppercase hex digit, found " + Shown(text[bad]));
    }
    if (present < pos + size) {
      return Refuse(text, end, "input ends inside a record");
    }
    record.address = ByteAt(text, pos + 3) * 256 + ByteAt(text, pos + 5);
    record.type = ByteAt(text, pos + 7);
    unsigned sum = 0;
    for (size_t i = pos + 1; i < pos + size - 2; i += 2) {
      sum += ByteAt(text, i);
    }
    const unsigned expected = (0x100 - sum % 0x100) % 0x100;
    const unsigned found = ByteAt(text, pos + size - 2);
    if (found != expected) {
      return Refuse(text, pos + size - 2,
                    "checksum mismatch: expected " + Hex(expected, 2) + ", found " + Hex(found, 2));
    }
    for (unsigned i = 0; i < record.length; ++i) {
      record.data.push_back(static_cast<uint8_t>(ByteAt(text, pos + 9 + 2 * i)));
    }
    const size_t lineEnd = pos + size;
    if (lineEnd == end && record.type != 0x01) {
      // Only the end-of-file record may end the input without a line end.
      return Refuse(text, end, "input ends before the end-of-file record");
    }
    if (lineEnd < end) {
      for (size_t i = lineEnd; i < lineEnd + 2; ++i) {
        if (i == end) {
          return Refuse(text, end, "input ends inside a record");
        }
        if (text[i] != "\r\n"[i - lineEnd]) {
          return Refuse(text, i, "expected the line end CR LF, found " + Shown(text[i]));
        }
      }
    }
    records.push_back(std::move(record));
    if (records.size() == MaxRecords) {
      return Refuse(text, pos,
                    "2,000 records or more (at most 1,999, end-of-file record included)");
    }
    if (records.back().type == 0x01) {
      return std::nullopt;
    }
    pos = lineEnd + 2;
  }
}

// The sorter's order: data and every other type by address, then start
// segment addresses (03), extended segment addresses (02), end of file;
// records of one key stay in file order.
unsigned SortKey(const Record& record) {
  switch (record.type) {
    case 0x01:
      return 3 << 16;
    case 0x02:
      return 2 << 16;
    case 0x03:
      return 1 << 16;
    default:
      return record.address;
  }
}

}  // namespace

FlashFileReading ExplainFlashFile(std::string_view text) {
  std::vector<Record> records;
  if (auto refused = ReadRecords(text, records)) {
    return std::move(*refused);
  }
  std::stable_sort(records.begin(), records.end(),
                   [](const Record& a, const Record& b) { return SortKey(a) < SortKey(b); });

  FlashFileReading reading;
  std::vector<uint8_t>& image = reading.image;
  for (const Record& record : records) {
    switch (record.type) {
      case 0x00:
        if (record.address < image.size()) {
          // An empty record below the end changes nothing.
          if (record.length != 0) {
            return Refuse(text, record.start + 3,
                          "data at " + Hex(record.address, 4) + " overlaps earlier data");
          }
        } else if (record.address + record.length > MaxImageBytes) {
          return Refuse(text, record.start + 3,
                        "data at " + Hex(record.address, 4) + " takes the image past 65,536 bytes");
        } else {
          // Even an empty record takes the image up to its address.
          image.resize(record.address, 0x00);
          image.insert(image.end(), record.data.begin(), record.data.end());
        }
        break;
      case 0x01:
        return reading;
      case 0x02:
      case 0x04:
        // A 16-bit image has room for the address 0 only.
        if (record.length != 2 || record.data[0] != 0 || record.data[1] != 0) {
          return Refuse(text, record.start + 7,
                        "address record of type " + Hex(record.type, 2) +
                            " that a 16-bit image cannot honour");
        }
        break;
      case 0x03:
      case 0x05:
        break;  // start addresses carry no image bytes
      default:
        return Refuse(text, record.start + 7, "unknown record type " + Hex(record.type, 2));
    }
  }
  return reading;  // not reached: the end-of-file record sorts last
}

}  // namespace quillsim
