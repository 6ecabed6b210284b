// Malformed resource data must fail with ResourceFormatError, never be
// misread: truncations of every kind of quillprog's resources and damaged
// lengths, counts and alignments.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "program_resources.h"

namespace {

using namespace resource_testing;
using Bytes = std::vector<uint8_t>;
using winsim::ResourceFormatError;
using winsim::ResourceName;
namespace rt = winsim::resource_type;

Bytes Copy(std::span<const uint8_t> data) { return Bytes(data.begin(), data.end()); }

void PutU16(Bytes& bytes, size_t offset, uint16_t value) {
  bytes[offset] = static_cast<uint8_t>(value);
  bytes[offset + 1] = static_cast<uint8_t>(value >> 8);
}

void PutU32(Bytes& bytes, size_t offset, uint32_t value) {
  PutU16(bytes, offset, static_cast<uint16_t>(value));
  PutU16(bytes, offset + 2, static_cast<uint16_t>(value >> 16));
}

// Expects decode to throw ResourceFormatError whose message holds fragment.
template <typename Decode>
void ExpectFormatError(Decode decode, const Bytes& bytes, const std::string& fragment) {
  try {
    decode(bytes);
    ADD_FAILURE() << "accepted, expected an error with \"" << fragment << "\"";
  } catch (const ResourceFormatError& error) {
    EXPECT_NE(std::string(error.what()).find(fragment), std::string::npos) << error.what();
  }
}

// Every proper prefix of data must be refused.
template <typename Decode>
void ExpectEveryTruncationRefused(Decode decode, std::span<const uint8_t> data) {
  ASSERT_NO_THROW(decode(Copy(data)));
  for (size_t length = 0; length < data.size(); ++length) {
    EXPECT_THROW(decode(Copy(data.first(length))), ResourceFormatError) << length << " bytes";
  }
}

// A .res file written by hand: the leading empty entry, then entries.
class ResWriter {
 public:
  ResWriter() { Entry(0, 0, {}); }

  // An entry with ordinal type and name, padded to a DWORD boundary.
  ResWriter& Entry(uint16_t type, uint16_t name, const Bytes& data, bool pad = true) {
    const size_t start = bytes_.size();
    U32(static_cast<uint32_t>(data.size()));
    U32(32);
    U16(0xFFFF), U16(type), U16(0xFFFF), U16(name);
    U32(0), U16(0x1030), U16(0x0409), U32(0), U32(0);
    header_sizes_.push_back(start + 4);
    bytes_.insert(bytes_.end(), data.begin(), data.end());
    while (pad && bytes_.size() % 4 != 0) bytes_.push_back(0);
    return *this;
  }
  Bytes Take() const { return bytes_; }
  size_t HeaderSizeOffset(size_t entry) const { return header_sizes_[entry]; }

 private:
  void U16(uint16_t v) { bytes_.push_back(v & 0xFF), bytes_.push_back(v >> 8); }
  void U32(uint32_t v) { U16(v & 0xFFFF), U16(v >> 16); }
  Bytes bytes_;
  std::vector<size_t> header_sizes_;
};

const auto ParseRes = [](const Bytes& bytes) { return winsim::ResourceFile::Parse(bytes); };

TEST(ResourceFileParser, HandWrittenFileReadsBack) {
  const winsim::ResourceFile file =
      ParseRes(ResWriter().Entry(6, 7, {1, 2, 3}).Entry(10, 9, {4, 5, 6, 7, 8}).Take());
  ASSERT_EQ(file.Entries().size(), 2u);
  EXPECT_EQ(file.Entries()[0].data, Bytes({1, 2, 3}));
  EXPECT_EQ(file.Entries()[1].type, ResourceName(10));
  EXPECT_EQ(file.Entries()[1].data, Bytes({4, 5, 6, 7, 8}));
}

TEST(ResourceFileParser, DamagedFilesAreRefused) {
  const Bytes good = ResWriter().Entry(6, 7, {1, 2, 3}).Entry(10, 9, {4, 5}).Take();
  const ResWriter layout = ResWriter().Entry(6, 7, {1, 2, 3}).Entry(10, 9, {4, 5});
  const struct {
    const char* name;
    std::function<Bytes()> make;
    const char* error;
  } cases[] = {
      {"empty file", [] { return Bytes(); }, "needs 4 bytes"},
      {"no leading empty entry", [&] { return Bytes(good.begin() + 32, good.end()); },
       "not a 32-bit resource file"},
      {"header size smaller than its fields",
       [&] {
         Bytes b = good;
         PutU32(b, layout.HeaderSizeOffset(1), 24);
         return b;
       },
       "header size 24"},
      {"header size larger than its fields",
       [&] {
         Bytes b = good;
         PutU32(b, layout.HeaderSizeOffset(1), 36);
         return b;
       },
       "header size 36"},
      {"data size past the end",
       [&] {
         Bytes b = good;
         PutU32(b, layout.HeaderSizeOffset(2) - 4, 100);
         return b;
       },
       "needs 100 bytes"},
      {"entry not on a DWORD boundary (data left unpadded)",
       [] {
         return ResWriter().Entry(6, 7, {1, 2, 3}, false).Entry(10, 9, {4, 5}).Take();
       },
       "resource file (offset"},
      {"trailing bytes after the last entry",
       [&] {
         Bytes b = good;
         b.insert(b.end(), {0, 0});
         return b;
       },
       "needs 4 bytes"},
      {"type name without terminator",
       [] {
         Bytes b = ResWriter().Take();
         b.insert(b.end(), {8, 0, 0, 0, 64, 0, 0, 0, 'A', 0, 'V', 0});
         return b;
       },
       "needs 2 bytes"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ExpectFormatError(ParseRes, c.make(), c.error);
  }
}

// Cut anywhere, quillprog.res either reads as the entries before the cut
// (cut at an entry's end or in its padding) or is refused.
//
// The parser reads the file front to back, entry by entry, so a cut inside
// entry k meets the same code whatever came before it. The cuts tried are
// therefore every byte of each entry's header and padding and the first and
// last bytes of its data, where the parser's decisions are; inside the data,
// which the file parser only bounds-checks as one block, a cut every
// kDataStride bytes (an odd stride, so the cuts fall on every offset modulo
// the DWORD alignment): about 950 cuts. Every cut of the 35 KB file would be
// 35,000 parses of up to 35 KB each, minutes under AddressSanitizer, for no
// further branch.
TEST(ResourceFileParser, EveryTruncationOfQuillprogResIsAPrefixOrRefused) {
  constexpr size_t kDataStride = 61;
  constexpr size_t kDataEdge = 8;
  std::ifstream stream(QUILLPROG_RES, std::ios::binary);
  const Bytes whole((std::istreambuf_iterator<char>(stream)), std::istreambuf_iterator<char>());
  const auto& all = ProgramResources().Entries();

  // Where each entry (the leading empty one first) starts, where its data
  // starts and ends, from the sizes at the front of each header.
  struct Layout {
    size_t start, data_start, data_end, next_start;
  };
  std::vector<Layout> layouts;
  const auto u32 = [&](size_t at) {
    return uint32_t{whole[at]} | uint32_t{whole[at + 1]} << 8 | uint32_t{whole[at + 2]} << 16 |
           uint32_t{whole[at + 3]} << 24;
  };
  for (size_t at = 0; at + 8 <= whole.size();) {
    const size_t data_start = at + u32(at + 4), data_end = data_start + u32(at);
    ASSERT_LE(data_end, whole.size());
    const size_t next = std::min((data_end + 3) / 4 * 4, whole.size());
    layouts.push_back({at, data_start, data_end, next});
    at = next;
  }
  ASSERT_EQ(layouts.size(), all.size() + 1);
  ASSERT_EQ(layouts.back().next_start, whole.size());

  std::vector<size_t> cuts;
  for (const Layout& entry : layouts) {
    for (size_t cut = entry.start; cut < entry.data_start + kDataEdge; ++cut) cuts.push_back(cut);
    for (size_t cut = entry.data_start; cut < entry.data_end; cut += kDataStride) {
      cuts.push_back(cut);
    }
    for (size_t cut = entry.data_end >= kDataEdge ? entry.data_end - kDataEdge : 0;
         cut <= entry.next_start; ++cut) {
      cuts.push_back(cut);
    }
  }
  std::sort(cuts.begin(), cuts.end());
  cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());

  size_t accepted = 0;
  for (size_t cut : cuts) {
    if (cut > whole.size()) continue;
    // Accepted exactly when the cut is at the end of entry k's data or in its
    // padding; then the file holds the k entries after the leading one.
    std::optional<size_t> entries_before_cut;
    for (size_t k = 0; k < layouts.size(); ++k) {
      if (cut >= layouts[k].data_end && cut <= layouts[k].next_start) entries_before_cut = k;
    }
    try {
      const winsim::ResourceFile part = ParseRes(Bytes(whole.begin(), whole.begin() + cut));
      ++accepted;
      ASSERT_TRUE(entries_before_cut.has_value()) << "accepted a cut at " << cut;
      ASSERT_EQ(part.Entries().size(), *entries_before_cut) << cut;
      for (size_t i = 0; i < part.Entries().size(); ++i) {
        ASSERT_EQ(part.Entries()[i].data, all[i].data) << cut;
      }
    } catch (const ResourceFormatError& error) {
      ASSERT_FALSE(entries_before_cut.has_value())
          << "refused a cut at " << cut << ": " << error.what();
    }
  }
  EXPECT_GE(accepted, layouts.size());  // at least the cut after each entry
}

// ---- Dialog templates ----

const auto DecodeDialog = [](const Bytes& bytes) { return winsim::DecodeDialogTemplate(bytes); };

TEST(DialogTemplateParser, EveryTruncationIsRefused) {
  ExpectEveryTruncationRefused(DecodeDialog, ProgramResource(rt::kDialog, 100));
  ExpectEveryTruncationRefused(DecodeDialog, ProgramResource(rt::kDialog, 102));
}

TEST(DialogTemplateParser, DamagedTemplatesAreRefused) {
  const Bytes classic = Copy(ProgramResource(rt::kDialog, 100));
  const Bytes extended = Copy(ProgramResource(rt::kDialog, 102));
  // Offsets: the classic item count is at 8, the extended one at 16; the
  // last item's creation-data count is the template's last word.
  const struct {
    const char* name;
    Bytes bytes;
    size_t offset;
    uint16_t value;
    const char* error;
  } cases[] = {
      {"classic: one item more than present", classic, 8, 4, "item 3 of 4 is missing"},
      {"extended: one item more than present", extended, 16, 12, "item 11 of 12 is missing"},
      {"classic: creation data size 1", classic, classic.size() - 2, 1,
       "creation data size 1 is too small"},
      {"classic: creation data past the end", classic, classic.size() - 2, 10, "needs 8 bytes"},
      {"extended: creation data past the end", extended, extended.size() - 2, 6, "needs 6 bytes"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes bytes = c.bytes;
    PutU16(bytes, c.offset, c.value);
    ExpectFormatError(DecodeDialog, bytes, c.error);
  }
}

// ---- String tables, icons ----

TEST(StringTableParser, TruncationsAndOverlongStringsAreRefused) {
  const auto decode = [](const Bytes& bytes) { return winsim::DecodeStringBlock(bytes); };
  ExpectEveryTruncationRefused(decode, ProgramResource(rt::kString, 101 / 16 + 1));
  Bytes bytes = Copy(ProgramResource(rt::kString, 101 / 16 + 1));
  PutU16(bytes, 0, 0x7FFF);  // string 96 claims more units than the block holds
  ExpectFormatError(decode, bytes, "needs 65534 bytes");
}

TEST(IconParser, DamagedIconsAreRefused) {
  const auto group = [](const Bytes& bytes) { return winsim::DecodeGroupIcon(bytes); };
  const auto image = [](const Bytes& bytes) { return winsim::DecodeIconImage(bytes); };
  ExpectEveryTruncationRefused(group, ProgramResource(rt::kGroupIcon, 128));
  ExpectEveryTruncationRefused(image, ProgramResource(rt::kIcon, 1));

  const Bytes good_group = Copy(ProgramResource(rt::kGroupIcon, 128));
  const Bytes good_image = Copy(ProgramResource(rt::kIcon, 1));
  const struct {
    const char* name;
    bool is_group;
    size_t offset;
    uint32_t value;
    bool dword;
    const char* error;
  } cases[] = {
      {"group: cursor type", true, 2, 2, false, "type 2 is not 1"},
      {"group: reserved word set", true, 0, 1, false, "reserved word is not 0"},
      {"group: two entries, one present", true, 4, 2, false, "needs 1 bytes"},
      {"image: PNG", false, 0, 0x474E5089, true, "PNG icon images"},
      {"image: odd height", false, 8, 63, true, "bad size 32 x 63"},
      {"image: 7 bits per pixel", false, 14, 7, false, "unsupported 7 bits"},
      {"image: compressed", false, 16, 1, true, "compressed icon images"},
      {"image: 257 colours", false, 32, 257, true, "colour table larger"},
      {"image: taller than its data", false, 8, 128, true, "needs"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes bytes = c.is_group ? good_group : good_image;
    if (c.dword) {
      PutU32(bytes, c.offset, c.value);
    } else {
      PutU16(bytes, c.offset, static_cast<uint16_t>(c.value));
    }
    if (c.is_group) {
      ExpectFormatError(group, bytes, c.error);
    } else {
      ExpectFormatError(image, bytes, c.error);
    }
  }
}

// ---- Version ----

TEST(VersionParser, DamagedVersionResourcesAreRefused) {
  const auto decode = [](const Bytes& bytes) { return winsim::DecodeVersionInfo(bytes); };
  const Bytes good = Copy(ProgramResource(rt::kVersion, 1));
  ExpectEveryTruncationRefused(decode, good);

  // Layout: root header (6), "VS_VERSION_INFO" (32) and padding to 40, the
  // fixed information (52) to 92, then the StringFileInfo block.
  const size_t fixed = 40;
  const size_t first_child = 92;
  const struct {
    const char* name;
    std::function<void(Bytes&)> damage;
    const char* error;
  } cases[] = {
      {"root longer than the data",
       [&](Bytes& b) { PutU16(b, 0, static_cast<uint16_t>(good.size() + 4)); },
       "does not fit its parent"},
      {"root shorter than a header", [](Bytes& b) { PutU16(b, 0, 4); }, "does not fit its parent"},
      {"fixed information too short (and no blocks)",
       [](Bytes& b) {
         PutU16(b, 0, 80);
         PutU16(b, 2, 40);
         b.resize(80);
       },
       "needs 52"},
      {"fixed information longer than the root", [](Bytes& b) { PutU16(b, 2, 0x7FFF); },
       "longer than its block"},
      {"bad signature", [&](Bytes& b) { PutU32(b, fixed, 0xFEEF04BE); }, "bad signature"},
      {"wrong root key", [](Bytes& b) { PutU16(b, 6, 'W'); }, "root key"},
      {"child overruns its parent", [&](Bytes& b) { PutU16(b, first_child, 0x7FFF); },
       "does not fit its parent"},
      {"child of length 0", [&](Bytes& b) { PutU16(b, first_child, 0); },
       "does not fit its parent"},
      {"child value longer than the child", [&](Bytes& b) { PutU16(b, first_child + 2, 0x100); },
       "value of \"StringFileInfo\" longer than its block"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes bytes = good;
    c.damage(bytes);
    ExpectFormatError(decode, bytes, c.error);
  }
}

TEST(ResourceNames, OrdinalsNamesAndCase) {
  EXPECT_EQ(ResourceName::FromAnsi("#136"), ResourceName(136));
  EXPECT_EQ(ResourceName::FromAnsi("avi"), ResourceName(u"AVI"));
  EXPECT_FALSE(ResourceName(u"AVI") == ResourceName(u"AVIS"));
  EXPECT_FALSE(ResourceName(5) == ResourceName(u"5"));
  EXPECT_EQ(ResourceName::FromAnsi("#70000"), ResourceName(u"#70000"));  // too big for an ordinal
  EXPECT_EQ(ResourceName::FromAnsi("#1x"), ResourceName(u"#1X"));
}

}  // namespace
