// Fuzz target: any bytes as a compiled resource file (.res), and every
// resource in it through the decoder of its type. The parsers either return
// or throw ResourceFormatError; any other exception, a crash or a read out of
// bounds is a finding. Decoded icons are sampled over their whole area.
#include <cstdint>
#include <span>

#include "resources/avi_clip.h"
#include "resources/resource_file.h"

namespace {

namespace rt = winsim::resources::resource_type;

template <typename Decode>
void Refusable(Decode decode) {
  try {
    decode();
  } catch (const winsim::resources::ResourceFormatError&) {
    // A clean refusal.
  }
}

void SampleIcon(const winsim::resources::IconImage& icon) {
  volatile uint32_t sink = 0;
  for (int y = -1; y <= icon.height; ++y) {
    for (int x = -1; x <= icon.width; ++x) {
      sink = sink + icon.ColorAt(x, y) + (icon.TransparentAt(x, y) ? 1 : 0);
    }
  }
}

void DecodeEntry(const winsim::resources::ResourceEntry& entry) {
  const std::span<const uint8_t> data(entry.data);
  if (!entry.type.IsOrdinal()) {
    if (entry.type == winsim::resources::ResourceName::FromAnsi("AVI")) {
      Refusable([&] { winsim::resources::AviClip::Parse(data); });
    }
    return;
  }
  switch (entry.type.Ordinal()) {
    case rt::kDialog:
      Refusable([&] {
        const winsim::resources::DialogTemplate dialog =
            winsim::resources::DecodeDialogTemplate(data);
        for (const winsim::resources::DialogItem& item : dialog.items) item.ClassName();
      });
      break;
    case rt::kString:
      Refusable([&] { winsim::resources::DecodeStringBlock(data); });
      break;
    case rt::kGroupIcon:
      Refusable([&] { winsim::resources::DecodeGroupIcon(data); });
      break;
    case rt::kIcon:
      Refusable([&] { SampleIcon(winsim::resources::DecodeIconImage(data)); });
      break;
    case rt::kVersion:
      Refusable([&] {
        const winsim::resources::VersionInfo version = winsim::resources::DecodeVersionInfo(data);
        for (const winsim::resources::VersionStringTable& table : version.string_tables) {
          for (const auto& [key, value] : table.strings) {
            version.FindString(table.language_code_page, key);
          }
        }
      });
      break;
    default:
      break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Refusable([&] {
    const winsim::resources::ResourceFile file =
        winsim::resources::ResourceFile::Parse(std::span(data, size));
    for (const winsim::resources::ResourceEntry& entry : file.Entries()) {
      DecodeEntry(entry);
      file.Find(entry.type, entry.name, entry.language);
    }
    // String lookups as LoadString makes them, over the first blocks.
    for (uint32_t id = 0; id < 64; ++id) winsim::resources::FindString(file, id);
  });
  return 0;
}
