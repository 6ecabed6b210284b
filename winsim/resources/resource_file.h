// winsim internals: a program's resources, read from a compiled resource
// file (.res, the 32-bit format that rc and windres write), and decoders for
// the resource types that user32 and comctl32 use: dialog templates, string
// tables, icons, version information. Custom resources (the "AVI" clips) are
// handed out as bytes.
//
// Every parser checks each length against the data it has and throws
// ResourceFormatError (byte_reader.h) for malformed input; nothing reads
// past the bytes it was given.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "resources/byte_reader.h"

namespace winsim::resources {

// Predefined resource types (RT_*) and dialog control classes.
namespace resource_type {
constexpr uint16_t kCursor = 1;
constexpr uint16_t kBitmap = 2;
constexpr uint16_t kIcon = 3;
constexpr uint16_t kMenu = 4;
constexpr uint16_t kDialog = 5;
constexpr uint16_t kString = 6;
constexpr uint16_t kGroupIcon = 14;
constexpr uint16_t kVersion = 16;
}  // namespace resource_type

// A resource type or name: an ordinal or a string. Windows compares names
// without regard to case (the resource compiler stores them in upper case).
class ResourceName {
 public:
  ResourceName(uint16_t ordinal = 0) : ordinal_(ordinal) {}  // NOLINT: ordinals convert
  explicit ResourceName(std::u16string_view name) : name_(name), is_ordinal_(false) {}

  // An ANSI name as the A functions take it; "#123" means ordinal 123, as in
  // FindResourceA. Pointer values below 0x10000 (MAKEINTRESOURCE) are the
  // caller's to turn into ordinals first.
  static ResourceName FromAnsi(std::string_view name);

  bool IsOrdinal() const { return is_ordinal_; }
  uint16_t Ordinal() const { return ordinal_; }
  const std::u16string& Name() const { return name_; }

  // "#102" for an ordinal, the name otherwise (non-ASCII shown as '?').
  std::string Describe() const;

  friend bool operator==(const ResourceName& a, const ResourceName& b);

 private:
  uint16_t ordinal_ = 0;
  std::u16string name_;
  bool is_ordinal_ = true;
};

// One resource of a .res file.
struct ResourceEntry {
  ResourceName type;
  ResourceName name;
  uint16_t language = 0;  // LANGID, e.g. 0x0409 U.S. English
  uint16_t memory_flags = 0;
  uint32_t data_version = 0;
  uint32_t version = 0;
  uint32_t characteristics = 0;
  std::vector<uint8_t> data;
};

class ResourceFile {
 public:
  // Reads a .res file: a sequence of DWORD-aligned entries, each a
  // RESOURCEHEADER (data size, header size, type, name, data version,
  // memory flags, language, version, characteristics) and its data. The
  // file starts with the empty entry that marks the 32-bit format.
  static ResourceFile Parse(std::span<const uint8_t> bytes);
  static ResourceFile Load(const std::filesystem::path& path);

  const std::vector<ResourceEntry>& Entries() const { return entries_; }

  // The first resource of that type and name, in file order. Windows picks
  // among languages by the thread's locale and user interface language;
  // winsim's programs carry one language, so file order is enough.
  const ResourceEntry* Find(const ResourceName& type, const ResourceName& name) const;
  // The resource in that language, else the primary language with the
  // neutral sublanguage, else the neutral language, else the first one.
  const ResourceEntry* Find(const ResourceName& type, const ResourceName& name,
                            uint16_t language) const;

 private:
  std::vector<ResourceEntry> entries_;
};

// ---- Dialog templates (RT_DIALOG) ------------------------------------------

struct DialogItem {
  uint32_t help_id = 0;  // extended templates only
  uint32_t ex_style = 0;
  uint32_t style = 0;
  int16_t x = 0, y = 0, cx = 0, cy = 0;
  // As stored: a WORD in classic templates (-1 reads 0xFFFF), a DWORD in
  // extended ones (-1 reads 0xFFFFFFFF).
  uint32_t id = 0;
  ResourceName window_class;  // ordinal 0x80 to 0x85 for the predefined classes
  ResourceName text;          // an ordinal names a resource (an icon's, say)
  std::vector<uint8_t> creation_data;

  // The class name: "Button", "Edit", "Static", "ListBox", "ScrollBar" or
  // "ComboBox" for the predefined ordinals, the stored name otherwise.
  std::u16string ClassName() const;
};

struct DialogTemplate {
  bool extended = false;  // DLGTEMPLATEEX (DIALOGEX) rather than DLGTEMPLATE
  uint32_t help_id = 0;
  uint32_t ex_style = 0;
  uint32_t style = 0;
  int16_t x = 0, y = 0, cx = 0, cy = 0;
  std::optional<ResourceName> menu;          // none: no menu
  std::optional<ResourceName> window_class;  // none: the dialog class
  std::u16string title;
  // Present when the style has DS_SETFONT.
  bool has_font = false;
  uint16_t point_size = 0;
  uint16_t weight = 0;  // extended templates only
  uint8_t italic = 0;
  uint8_t charset = 0;
  std::u16string typeface;
  std::vector<DialogItem> items;
};

// Decodes either form; the extended one starts with version 1 and 0xFFFF.
DialogTemplate DecodeDialogTemplate(std::span<const uint8_t> data);

// ---- String tables (RT_STRING) ---------------------------------------------

// One block holds strings (block - 1) * 16 to (block - 1) * 16 + 15, each a
// WORD length and that many UTF-16 units (no terminator).
std::array<std::u16string, 16> DecodeStringBlock(std::span<const uint8_t> data);

// String id from the file's string tables; none when its block is missing.
// An empty string in a present block comes back empty (LoadString: 0).
std::optional<std::u16string> FindString(const ResourceFile& file, uint32_t id);

// ---- Icons (RT_GROUP_ICON, RT_ICON) ----------------------------------------

struct GroupIconEntry {
  uint8_t width = 0;        // 0 means 256
  uint8_t height = 0;       // 0 means 256
  uint8_t color_count = 0;  // 0 for 256 colours or more
  uint16_t planes = 0;
  uint16_t bit_count = 0;
  uint32_t bytes_in_resource = 0;
  uint16_t icon_id = 0;  // the RT_ICON resource with the image
};

std::vector<GroupIconEntry> DecodeGroupIcon(std::span<const uint8_t> data);

// One icon image: a DIB whose height counts the colour bitmap and the mask.
struct IconImage {
  int32_t width = 0;
  int32_t height = 0;  // of the icon, half the DIB's height
  uint16_t bit_count = 0;
  std::vector<uint32_t> palette;  // 0x00RRGGBB; 2^bit_count entries at most
  std::vector<uint8_t> color_bits;
  std::vector<uint8_t> mask_bits;

  // Number of colours: the palette's size, or 0 for direct colour.
  uint32_t ColorCount() const { return static_cast<uint32_t>(palette.size()); }
  // Top-down coordinates; outside the image is black and transparent.
  uint32_t ColorAt(int x, int y) const;  // 0x00RRGGBB
  bool TransparentAt(int x, int y) const;
};

IconImage DecodeIconImage(std::span<const uint8_t> data);

// ---- Version information (RT_VERSION) -----------------------------------------

struct FixedFileInfo {  // VS_FIXEDFILEINFO
  uint32_t signature = 0;
  uint32_t struct_version = 0;
  uint32_t file_version_ms = 0, file_version_ls = 0;
  uint32_t product_version_ms = 0, product_version_ls = 0;
  uint32_t file_flags_mask = 0, file_flags = 0;
  uint32_t file_os = 0, file_type = 0, file_subtype = 0;
  uint32_t file_date_ms = 0, file_date_ls = 0;
};

struct VersionStringTable {
  std::u16string language_code_page;  // e.g. u"040904B0"
  std::vector<std::pair<std::u16string, std::u16string>> strings;
};

struct VersionInfo {
  FixedFileInfo fixed;
  std::vector<VersionStringTable> string_tables;
  std::vector<uint32_t> translations;  // low word language, high word code page

  // A value of a string table, as VerQueryValue("\\StringFileInfo\\<table>\\<key>").
  const std::u16string* FindString(std::u16string_view table, std::u16string_view key) const;
};

// VS_VERSIONINFO: the fixed part and the StringFileInfo and VarFileInfo
// blocks; other blocks are skipped.
VersionInfo DecodeVersionInfo(std::span<const uint8_t> data);

// ---- Text ----------------------------------------------------------------

// UTF-16 to 8-bit text and back: code points below 0x100 map to themselves,
// others become '?' (WideCharToMultiByte's default character). winsim's
// programs show ASCII text only.
std::string NarrowToAnsi(std::u16string_view text);
std::u16string WidenAnsi(std::string_view text);

}  // namespace winsim::resources
