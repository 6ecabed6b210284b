// winsim resources: the compiled resource file and the binary resource
// formats of Windows (see resource_file.h).
#include "resources/resource_file.h"

#include <fstream>
#include <iterator>

namespace winsim::resources {

namespace {

constexpr uint32_t kDsSetFont = 0x40;
constexpr uint32_t kVersionSignature = 0xFEEF04BD;

char16_t FoldCase(char16_t c) { return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 32) : c; }

// sz_Or_Ord: 0xFFFF and an ordinal, or a null-terminated UTF-16 string.
ResourceName ReadNameOrOrdinal(ByteReader& in) {
  const size_t start = in.Offset();
  if (in.U16() == 0xFFFF) return ResourceName(in.U16());
  in.Seek(start);
  return ResourceName(in.String());
}

// Menu and class arrays of a dialog: 0x0000 alone means none.
std::optional<ResourceName> ReadOptionalNameOrOrdinal(ByteReader& in) {
  const size_t start = in.Offset();
  if (in.U16() == 0) return std::nullopt;
  in.Seek(start);
  return ReadNameOrOrdinal(in);
}

ResourceEntry ReadEntry(ByteReader& in) {
  const size_t start = in.Offset();
  ResourceEntry entry;
  const uint32_t data_size = in.U32();
  const uint32_t header_size = in.U32();
  entry.type = ReadNameOrOrdinal(in);
  entry.name = ReadNameOrOrdinal(in);
  in.Align(4);
  entry.data_version = in.U32();
  entry.memory_flags = in.U16();
  entry.language = in.U16();
  entry.version = in.U32();
  entry.characteristics = in.U32();
  if (in.Offset() - start != header_size) {
    in.Fail("header size " + std::to_string(header_size) + " does not match its fields (" +
            std::to_string(in.Offset() - start) + " bytes)");
  }
  const auto data = in.Bytes(data_size);
  entry.data.assign(data.begin(), data.end());
  in.Align(4);
  return entry;
}

}  // namespace

// ---- ResourceName ------------------------------------------------------------

ResourceName ResourceName::FromAnsi(std::string_view name) {
  if (name.size() > 1 && name.front() == '#') {
    uint32_t value = 0;
    for (char c : name.substr(1)) {
      if (c < '0' || c > '9' || value > 0xFFFF) return ResourceName(WidenAnsi(name));
      value = value * 10 + static_cast<uint32_t>(c - '0');
    }
    if (value <= 0xFFFF) return ResourceName(static_cast<uint16_t>(value));
  }
  return ResourceName(WidenAnsi(name));
}

std::string ResourceName::Describe() const {
  return is_ordinal_ ? "#" + std::to_string(ordinal_) : NarrowToAnsi(name_);
}

bool operator==(const ResourceName& a, const ResourceName& b) {
  if (a.is_ordinal_ != b.is_ordinal_) return false;
  if (a.is_ordinal_) return a.ordinal_ == b.ordinal_;
  if (a.name_.size() != b.name_.size()) return false;
  for (size_t i = 0; i < a.name_.size(); ++i) {
    if (FoldCase(a.name_[i]) != FoldCase(b.name_[i])) return false;
  }
  return true;
}

// ---- ResourceFile ------------------------------------------------------------

ResourceFile ResourceFile::Parse(std::span<const uint8_t> bytes) {
  ByteReader in(bytes, "resource file");
  const ResourceEntry marker = ReadEntry(in);
  if (!marker.data.empty() || !marker.type.IsOrdinal() || marker.type.Ordinal() != 0 ||
      !marker.name.IsOrdinal() || marker.name.Ordinal() != 0) {
    throw ResourceFormatError("resource file: not a 32-bit resource file (no leading empty entry)");
  }
  ResourceFile file;
  while (!in.AtEnd()) file.entries_.push_back(ReadEntry(in));
  return file;
}

ResourceFile ResourceFile::Load(const std::filesystem::path& path) {
  std::ifstream stream(path, std::ios::binary);
  if (!stream) throw ResourceFormatError("resource file: cannot open " + path.string());
  // One read of the whole file: a character at a time through the stream
  // was a sixth of a whole simulated update.
  std::vector<uint8_t> bytes;
  stream.seekg(0, std::ios::end);
  const std::streamoff size = stream.tellg();
  stream.seekg(0, std::ios::beg);
  if (size > 0) {
    bytes.resize(static_cast<size_t>(size));
    stream.read(reinterpret_cast<char*>(bytes.data()), size);
    bytes.resize(static_cast<size_t>(stream.gcount()));
  }
  return Parse(bytes);
}

const ResourceEntry* ResourceFile::Find(const ResourceName& type, const ResourceName& name) const {
  for (const ResourceEntry& entry : entries_) {
    if (entry.type == type && entry.name == name) return &entry;
  }
  return nullptr;
}

const ResourceEntry* ResourceFile::Find(const ResourceName& type, const ResourceName& name,
                                        uint16_t language) const {
  const uint16_t primary_neutral = language & 0x3FF;  // SUBLANG_NEUTRAL
  const ResourceEntry* best = nullptr;
  int best_rank = 4;
  for (const ResourceEntry& entry : entries_) {
    if (!(entry.type == type && entry.name == name)) continue;
    const int rank = entry.language == language          ? 0
                     : entry.language == primary_neutral ? 1
                     : entry.language == 0               ? 2
                                                         : 3;
    if (rank < best_rank) {
      best = &entry;
      best_rank = rank;
    }
  }
  return best;
}

// ---- Dialog templates ------------------------------------------------------------

std::u16string DialogItem::ClassName() const {
  if (!window_class.IsOrdinal()) return window_class.Name();
  switch (window_class.Ordinal()) {
    case 0x80:
      return u"Button";
    case 0x81:
      return u"Edit";
    case 0x82:
      return u"Static";
    case 0x83:
      return u"ListBox";
    case 0x84:
      return u"ScrollBar";
    case 0x85:
      return u"ComboBox";
    default:
      return u"#" + WidenAnsi(std::to_string(window_class.Ordinal()));
  }
}

DialogTemplate DecodeDialogTemplate(std::span<const uint8_t> data) {
  ByteReader in(data, "dialog template");
  DialogTemplate dialog;
  dialog.extended =
      data.size() >= 4 && data[0] == 1 && data[1] == 0 && data[2] == 0xFF && data[3] == 0xFF;
  uint16_t item_count = 0;
  if (dialog.extended) {
    in.Skip(4);  // dlgVer, signature
    dialog.help_id = in.U32();
    dialog.ex_style = in.U32();
    dialog.style = in.U32();
  } else {
    dialog.style = in.U32();
    dialog.ex_style = in.U32();
  }
  item_count = in.U16();
  dialog.x = in.I16();
  dialog.y = in.I16();
  dialog.cx = in.I16();
  dialog.cy = in.I16();
  dialog.menu = ReadOptionalNameOrOrdinal(in);
  dialog.window_class = ReadOptionalNameOrOrdinal(in);
  dialog.title = in.String();
  // DS_SHELLFONT includes DS_SETFONT, so one test covers both.
  if ((dialog.style & kDsSetFont) != 0) {
    dialog.has_font = true;
    dialog.point_size = in.U16();
    if (dialog.extended) {
      dialog.weight = in.U16();
      dialog.italic = in.U8();
      dialog.charset = in.U8();
    }
    dialog.typeface = in.String();
  }

  for (uint16_t i = 0; i < item_count; ++i) {
    in.Align(4);
    if (in.AtEnd())
      in.Fail("item " + std::to_string(i) + " of " + std::to_string(item_count) + " is missing");
    DialogItem item;
    if (dialog.extended) {
      item.help_id = in.U32();
      item.ex_style = in.U32();
      item.style = in.U32();
    } else {
      item.style = in.U32();
      item.ex_style = in.U32();
    }
    item.x = in.I16();
    item.y = in.I16();
    item.cx = in.I16();
    item.cy = in.I16();
    item.id = dialog.extended ? in.U32() : in.U16();
    item.window_class = ReadNameOrOrdinal(in);
    item.text = ReadNameOrOrdinal(in);
    const uint16_t extra = in.U16();
    size_t creation_bytes = extra;
    if (!dialog.extended && extra != 0) {
      // In the classic form a non-zero first word counts itself too.
      if (extra < 2) in.Fail("creation data size " + std::to_string(extra) + " is too small");
      creation_bytes = extra - 2u;
    }
    const auto creation = in.Bytes(creation_bytes);
    item.creation_data.assign(creation.begin(), creation.end());
    dialog.items.push_back(std::move(item));
  }
  return dialog;
}

// ---- String tables ---------------------------------------------------------------

std::array<std::u16string, 16> DecodeStringBlock(std::span<const uint8_t> data) {
  ByteReader in(data, "string table");
  std::array<std::u16string, 16> strings;
  for (std::u16string& text : strings) {
    const uint16_t length = in.U16();
    const auto units = in.Bytes(size_t{length} * 2);
    text.reserve(length);
    for (size_t i = 0; i < units.size(); i += 2) {
      text.push_back(static_cast<char16_t>(units[i] | units[i + 1] << 8));
    }
  }
  return strings;
}

std::optional<std::u16string> FindString(const ResourceFile& file, uint32_t id) {
  if (id > 0xFFFF) return std::nullopt;
  const ResourceEntry* block =
      file.Find(resource_type::kString, static_cast<uint16_t>(id / 16 + 1));
  if (block == nullptr) return std::nullopt;
  return DecodeStringBlock(block->data)[id % 16];
}

// ---- Icons -------------------------------------------------------------------------

std::vector<GroupIconEntry> DecodeGroupIcon(std::span<const uint8_t> data) {
  ByteReader in(data, "group icon");
  if (in.U16() != 0) in.Fail("reserved word is not 0");
  if (const uint16_t type = in.U16(); type != 1) {
    in.Fail("type " + std::to_string(type) + " is not 1 (icon)");
  }
  const uint16_t count = in.U16();
  std::vector<GroupIconEntry> entries(count);
  for (GroupIconEntry& entry : entries) {
    entry.width = in.U8();
    entry.height = in.U8();
    entry.color_count = in.U8();
    in.U8();  // reserved
    entry.planes = in.U16();
    entry.bit_count = in.U16();
    entry.bytes_in_resource = in.U32();
    entry.icon_id = in.U16();
  }
  return entries;
}

IconImage DecodeIconImage(std::span<const uint8_t> data) {
  ByteReader in(data, "icon image");
  const uint32_t header_size = in.U32();
  if (header_size == 0x474E5089) in.Fail("PNG icon images are not supported");
  if (header_size < 40) {
    in.Fail("header size " + std::to_string(header_size) + " (only bitmap icons are read)");
  }
  IconImage icon;
  icon.width = in.I32();
  const int32_t dib_height = in.I32();
  if (in.U16() != 1) in.Fail("planes is not 1");
  icon.bit_count = in.U16();
  const uint32_t compression = in.U32();
  in.Skip(12);  // image size, resolution
  const uint32_t colors_used = in.U32();
  in.Skip(4);  // colours important

  if (icon.width <= 0 || icon.width > 256 || dib_height <= 0 || dib_height > 512 ||
      dib_height % 2 != 0) {
    in.Fail("bad size " + std::to_string(icon.width) + " x " + std::to_string(dib_height));
  }
  icon.height = dib_height / 2;
  const uint16_t bits = icon.bit_count;
  if (bits != 1 && bits != 4 && bits != 8 && bits != 24 && bits != 32) {
    in.Fail("unsupported " + std::to_string(bits) + " bits per pixel");
  }
  if (compression != 0) in.Fail("compressed icon images are not supported");
  size_t palette_size = 0;
  if (bits <= 8) {
    const uint32_t most = 1u << bits;
    if (colors_used > most) in.Fail("colour table larger than the bit depth allows");
    palette_size = colors_used == 0 ? most : colors_used;
  }
  in.Seek(header_size);
  for (size_t i = 0; i < palette_size; ++i) {
    const auto q = in.Bytes(4);  // RGBQUAD: blue, green, red, reserved
    icon.palette.push_back(static_cast<uint32_t>(q[2]) << 16 | static_cast<uint32_t>(q[1]) << 8 |
                           q[0]);
  }
  const size_t color_stride = (static_cast<size_t>(icon.width) * bits + 31) / 32 * 4;
  const size_t mask_stride = (static_cast<size_t>(icon.width) + 31) / 32 * 4;
  const auto color = in.Bytes(color_stride * static_cast<size_t>(icon.height));
  const auto mask = in.Bytes(mask_stride * static_cast<size_t>(icon.height));
  icon.color_bits.assign(color.begin(), color.end());
  icon.mask_bits.assign(mask.begin(), mask.end());
  return icon;
}

uint32_t IconImage::ColorAt(int x, int y) const {
  if (x < 0 || y < 0 || x >= width || y >= height) return 0;
  const size_t stride = (static_cast<size_t>(width) * bit_count + 31) / 32 * 4;
  const uint8_t* row = &color_bits[static_cast<size_t>(height - 1 - y) * stride];
  auto from_palette = [&](size_t index) { return index < palette.size() ? palette[index] : 0u; };
  switch (bit_count) {
    case 1:
      return from_palette(row[x / 8] >> (7 - x % 8) & 1);
    case 4:
      return from_palette(x % 2 == 0 ? row[x / 2] >> 4 : row[x / 2] & 0xF);
    case 8:
      return from_palette(row[x]);
    default: {
      const uint8_t* p = row + static_cast<size_t>(x) * (bit_count / 8);
      return static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[1]) << 8 | p[0];
    }
  }
}

bool IconImage::TransparentAt(int x, int y) const {
  if (x < 0 || y < 0 || x >= width || y >= height) return true;
  const size_t stride = (static_cast<size_t>(width) + 31) / 32 * 4;
  return (mask_bits[static_cast<size_t>(height - 1 - y) * stride + static_cast<size_t>(x / 8)] >>
              (7 - x % 8) &
          1) != 0;
}

// ---- Version information -------------------------------------------------------------

namespace {

// One node of a version resource: WORD length, WORD value length, WORD type
// (1 text, 0 binary), the key, padding, the value, padding, the children.
struct VersionNode {
  std::u16string key;
  uint16_t type = 0;
  std::span<const uint8_t> value;  // text values: UTF-16 units
  std::vector<VersionNode> children;
};

VersionNode ReadVersionNode(std::span<const uint8_t> data, size_t offset, size_t end, int depth) {
  ByteReader in(data.first(end), "version resource");
  in.Seek(offset);
  const uint16_t length = in.U16();
  const uint16_t value_length = in.U16();
  VersionNode node;
  node.type = in.U16();
  if (length < 6 || length > end - offset) {
    in.Fail("block length " + std::to_string(length) + " does not fit its parent");
  }
  if (depth > 8) in.Fail("blocks nested too deeply");
  const size_t node_end = offset + length;
  ByteReader node_in(data.first(node_end), "version resource");
  node_in.Seek(in.Offset());
  node.key = node_in.String();
  node_in.Align(4);
  const size_t value_bytes = node.type == 1 ? size_t{value_length} * 2 : value_length;
  if (value_bytes > node_in.Remaining()) {
    node_in.Fail("value of \"" + NarrowToAnsi(node.key) + "\" longer than its block");
  }
  node.value = node_in.Bytes(value_bytes);
  node_in.Align(4);
  while (!node_in.AtEnd()) {
    node.children.push_back(ReadVersionNode(data, node_in.Offset(), node_end, depth + 1));
    node_in.Seek(node_in.Offset() + (data[node_in.Offset()] | data[node_in.Offset() + 1] << 8));
    node_in.Align(4);
  }
  return node;
}

std::u16string TextValue(const VersionNode& node) {
  std::u16string text;
  for (size_t i = 0; i + 1 < node.value.size(); i += 2) {
    const char16_t c = static_cast<char16_t>(node.value[i] | node.value[i + 1] << 8);
    if (c == 0) break;
    text.push_back(c);
  }
  return text;
}

}  // namespace

VersionInfo DecodeVersionInfo(std::span<const uint8_t> data) {
  const VersionNode root = ReadVersionNode(data, 0, data.size(), 0);
  if (root.key != u"VS_VERSION_INFO") {
    throw ResourceFormatError("version resource: root key is not VS_VERSION_INFO");
  }
  ByteReader fixed_in(root.value, "version resource fixed information");
  VersionInfo info;
  FixedFileInfo& fixed = info.fixed;
  if (root.value.size() < 52) {
    throw ResourceFormatError("version resource: fixed information has " +
                              std::to_string(root.value.size()) + " bytes, needs 52");
  }
  for (uint32_t* field :
       {&fixed.signature, &fixed.struct_version, &fixed.file_version_ms, &fixed.file_version_ls,
        &fixed.product_version_ms, &fixed.product_version_ls, &fixed.file_flags_mask,
        &fixed.file_flags, &fixed.file_os, &fixed.file_type, &fixed.file_subtype,
        &fixed.file_date_ms, &fixed.file_date_ls}) {
    *field = fixed_in.U32();
  }
  if (fixed.signature != kVersionSignature) {
    throw ResourceFormatError("version resource: bad signature in the fixed information");
  }
  for (const VersionNode& block : root.children) {
    if (block.key == u"StringFileInfo") {
      for (const VersionNode& table : block.children) {
        VersionStringTable strings{table.key, {}};
        for (const VersionNode& value : table.children) {
          strings.strings.emplace_back(value.key, TextValue(value));
        }
        info.string_tables.push_back(std::move(strings));
      }
    } else if (block.key == u"VarFileInfo") {
      for (const VersionNode& var : block.children) {
        if (var.key != u"Translation") continue;
        ByteReader pairs(var.value, "version translation");
        while (pairs.Remaining() >= 4) info.translations.push_back(pairs.U32());
      }
    }
  }
  return info;
}

const std::u16string* VersionInfo::FindString(std::u16string_view table,
                                              std::u16string_view key) const {
  for (const VersionStringTable& strings : string_tables) {
    if (ResourceName(strings.language_code_page) != ResourceName(table)) continue;
    for (const auto& [name, value] : strings.strings) {
      if (ResourceName(name) == ResourceName(key)) return &value;
    }
  }
  return nullptr;
}

// ---- Text ------------------------------------------------------------------------------

std::string NarrowToAnsi(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char16_t c : text) out.push_back(c < 0x100 ? static_cast<char>(c) : '?');
  return out;
}

std::u16string WidenAnsi(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  for (char c : text) out.push_back(static_cast<char16_t>(static_cast<unsigned char>(c)));
  return out;
}

}  // namespace winsim::resources
