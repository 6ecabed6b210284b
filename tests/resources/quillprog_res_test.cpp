// quillprog.res, compiled from app/res/quillprog.rc by the host build, read
// back through winsim's resource loader: what the dialogs, the About item,
// the icon, the clip and the version resource must be.
#include <gtest/gtest.h>

#include <vector>

#include "pictures.h"
#include "program_resources.h"
#include "resource.h"
#include "resources/avi_clip.h"

namespace {

using namespace resource_testing;
using winsim::DialogTemplate;
using winsim::ResourceName;
namespace rt = winsim::resource_type;

// The code names the resources through resource.h; the numbers are fixed.
static_assert(IDM_ABOUTBOX == 0x0010 && IDD_ABOUTBOX == 100 && IDS_ABOUTBOX == 101 &&
              IDD_PROGRAMMER_DIALOG == 102 && IDR_MAINFRAME == 128 && IDR_PROGRESS_AVI == 136);
static_assert(IDC_PROGRAM == 1000 && IDC_DEVICE_LIST == 1002 && IDC_FILE_PATH == 1003 &&
              IDC_BROWSE == 1004 && IDC_REFRESH == 1005 && IDC_PROGRESS == 1006 &&
              IDC_STATUS == 1008 && IDC_ANIMATION == 1009);

constexpr uint32_t kControl = kWsChild | kWsVisible;
constexpr uint32_t kStaticId16 = 0xFFFF;      // -1 in a classic template
constexpr uint32_t kStaticId32 = 0xFFFFFFFF;  // -1 in an extended one
constexpr uint16_t kUsEnglish = 0x0409;

struct Control {
  uint32_t id;
  std::u16string_view window_class;
  std::u16string_view text;  // empty for controls without text
  uint32_t style;
  int16_t x, y, cx, cy;
};

// The main dialog's controls in tab order.
const Control kMainDialog[] = {
    {1, u"Button", u"Close", kControl | kBsDefPushButton | kWsTabStop, 99, 108, 50, 14},
    {1000, u"Button", u"Program", kControl | kBsPushButton | kWsTabStop, 33, 108, 50, 14},
    {1002, u"ComboBox", u"",
     kControl | kCbsDropDownList | kCbsNoIntegralHeight | kWsVScroll | kWsTabStop, 7, 18, 167, 86},
    {kStaticId32, u"Static", u"Select Device:", kControl | kSsLeft | kWsGroup, 7, 6, 48, 8},
    {1003, u"Edit", u"", kControl | kWsBorder | kEsAutoHScroll | kWsTabStop, 7, 54, 167, 14},
    {kStaticId32, u"Static", u"Select File:", kControl | kSsLeft | kWsGroup, 7, 42, 36, 8},
    {1004, u"Button", u"Browse", kControl | kBsPushButton | kWsTabStop, 195, 54, 50, 14},
    {1005, u"Button", u"Refresh", kControl | kBsPushButton | kWsTabStop, 195, 18, 50, 14},
    {1006, u"msctls_progress32", u"", kControl | kWsBorder, 7, 79, 167, 14},
    {1008, u"Static", u"", kControl | kSsCenter | kSsCenterImage | kWsGroup, 7, 93, 167, 8},
    {1009, u"SysAnimate32", u"", kControl | kAcsCenter | kWsBorder | kWsTabStop, 195, 79, 50, 43},
};

// The about box's text controls (the icon comes first, checked on its own).
const Control kAboutBoxTexts[] = {
    {kStaticId16, u"Static", u"Q417 FW Programmer Version 1.0",
     kControl | kSsLeft | kSsNoPrefix | kWsGroup, 40, 10, 119, 8},
    {1, u"Button", u"OK", kControl | kBsDefPushButton | kWsGroup | kWsTabStop, 178, 7, 50, 14},
};

void ExpectControl(const winsim::DialogItem& item, const Control& expected) {
  SCOPED_TRACE("control " + Narrow(expected.text) + " (id " + std::to_string(expected.id) + ")");
  EXPECT_EQ(item.id, expected.id);
  // Window class names do not depend on case; windres writes them in capitals.
  EXPECT_EQ(ResourceName(item.ClassName()), ResourceName(expected.window_class))
      << Narrow(item.ClassName());
  ASSERT_FALSE(item.text.IsOrdinal());
  EXPECT_EQ(Narrow(item.text.Name()), Narrow(expected.text));
  EXPECT_EQ(item.style, expected.style) << std::hex << item.style;
  EXPECT_EQ(item.ex_style, 0u);
  EXPECT_EQ(item.x, expected.x);
  EXPECT_EQ(item.y, expected.y);
  EXPECT_EQ(item.cx, expected.cx);
  EXPECT_EQ(item.cy, expected.cy);
  EXPECT_TRUE(item.creation_data.empty());
}

void ExpectFrame(const DialogTemplate& dialog, uint32_t style, int16_t cx, int16_t cy,
                 std::u16string_view title) {
  EXPECT_EQ(dialog.style, style) << std::hex << dialog.style;
  EXPECT_EQ(dialog.x, 0);
  EXPECT_EQ(dialog.y, 0);
  EXPECT_EQ(dialog.cx, cx);
  EXPECT_EQ(dialog.cy, cy);
  EXPECT_FALSE(dialog.menu.has_value());
  EXPECT_FALSE(dialog.window_class.has_value());
  EXPECT_EQ(Narrow(dialog.title), Narrow(title));
  EXPECT_TRUE(dialog.has_font);
  EXPECT_EQ(dialog.point_size, 8);
  EXPECT_EQ(Narrow(dialog.typeface), "MS Sans Serif");
}

TEST(ProgramResources, MainDialogHasItsControlsInTabOrder) {
  const DialogTemplate dialog =
      winsim::DecodeDialogTemplate(ProgramResource(rt::kDialog, IDD_PROGRAMMER_DIALOG));
  EXPECT_TRUE(dialog.extended);  // DIALOGEX: it carries an extended style
  ExpectFrame(dialog, kWsPopup | kWsVisible | kWsCaption | kWsSysMenu | kDsModalFrame | kDsSetFont,
              252, 129, u"Q417 Firmware Programmer");
  EXPECT_EQ(dialog.ex_style, kWsExAppWindow);
  ASSERT_EQ(dialog.items.size(), std::size(kMainDialog));
  for (size_t i = 0; i < dialog.items.size(); ++i) ExpectControl(dialog.items[i], kMainDialog[i]);
}

TEST(ProgramResources, AboutBoxShowsTheIconTextAndOk) {
  const DialogTemplate dialog =
      winsim::DecodeDialogTemplate(ProgramResource(rt::kDialog, IDD_ABOUTBOX));
  EXPECT_FALSE(dialog.extended);
  ExpectFrame(dialog, kWsPopup | kWsCaption | kWsSysMenu | kDsModalFrame | kDsSetFont, 235, 55,
              u"About Q417 Firmware Programmer");
  EXPECT_EQ(dialog.ex_style, 0u);
  ASSERT_EQ(dialog.items.size(), 1 + std::size(kAboutBoxTexts));

  const winsim::DialogItem& icon = dialog.items[0];
  EXPECT_EQ(icon.id, kStaticId16);
  EXPECT_EQ(ResourceName(icon.ClassName()), ResourceName(u"Static"));
  EXPECT_EQ(icon.text, ResourceName(IDR_MAINFRAME));  // the icon resource to show
  EXPECT_EQ(icon.style, kControl | kSsIcon);
  EXPECT_EQ(std::vector<int>({icon.x, icon.y, icon.cx, icon.cy}),
            std::vector<int>({11, 17, 20, 20}));
  for (size_t i = 0; i < std::size(kAboutBoxTexts); ++i) {
    ExpectControl(dialog.items[i + 1], kAboutBoxTexts[i]);
  }
}

TEST(ProgramResources, AboutItemText) {
  const auto text = winsim::FindString(ProgramResources(), IDS_ABOUTBOX);
  ASSERT_TRUE(text.has_value());
  EXPECT_EQ(Narrow(*text), "&About Q417 Firmware Programmer...");
  // Its neighbours in the same block of 16 are empty; other blocks are absent.
  EXPECT_EQ(winsim::FindString(ProgramResources(), IDS_ABOUTBOX - 1), std::u16string());
  EXPECT_EQ(winsim::FindString(ProgramResources(), IDS_ABOUTBOX + 16), std::nullopt);
}

TEST(ProgramResources, IconIsOne32By32ImageWith256ColoursAsDrawn) {
  const auto group = winsim::DecodeGroupIcon(ProgramResource(rt::kGroupIcon, IDR_MAINFRAME));
  ASSERT_EQ(group.size(), 1u);
  EXPECT_EQ(group[0].width, 32);
  EXPECT_EQ(group[0].height, 32);
  EXPECT_EQ(group[0].color_count, 0);  // 0: 256 colours
  EXPECT_EQ(group[0].planes, 1);
  EXPECT_EQ(group[0].bit_count, 8);

  const auto data = ProgramResource(rt::kIcon, group[0].icon_id);
  EXPECT_EQ(group[0].bytes_in_resource, data.size());
  const winsim::IconImage image = winsim::DecodeIconImage(data);
  EXPECT_EQ(image.width, 32);
  EXPECT_EQ(image.height, 32);
  EXPECT_EQ(image.ColorCount(), 256u);

  const resgen::IconPicture drawn = resgen::DrawProgramIcon();
  const resgen::Palette& palette = resgen::StandardPalette();
  int opaque = 0;
  for (int y = 0; y < 32; ++y) {
    for (int x = 0; x < 32; ++x) {
      const bool transparent = drawn.mask[static_cast<size_t>(y * 32 + x)] != 0;
      ASSERT_EQ(image.TransparentAt(x, y), transparent) << x << "," << y;
      if (!transparent) {
        ASSERT_EQ(image.ColorAt(x, y), palette[drawn.image.At(x, y)]) << x << "," << y;
        ++opaque;
      }
    }
  }
  EXPECT_GT(opaque, 200);  // a picture, not an empty icon
}

TEST(ProgramResources, ProgressClipIs30Rle8FramesOf74By66At10PerSecond) {
  const winsim::AviClip clip =
      winsim::AviClip::Parse(ProgramResource(ResourceName(u"AVI"), IDR_PROGRESS_AVI));
  EXPECT_EQ(clip.FrameCount(), 30u);
  EXPECT_EQ(clip.Width(), 74);
  EXPECT_EQ(clip.Height(), 66);
  EXPECT_EQ(clip.MicrosecondsPerFrame(), 100000u);
  EXPECT_EQ(clip.Rate() / clip.Scale(), 10u);
  EXPECT_EQ(clip.Compression(), winsim::kBiRle8);
  EXPECT_EQ(clip.BitCount(), 8);
  EXPECT_EQ(clip.Handler(), "mrle");

  // Every frame decodes to the picture resgen drew, and the frames move.
  const std::vector<resgen::IndexedImage> drawn = resgen::DrawProgressClip();
  ASSERT_EQ(drawn.size(), 30u);
  std::vector<uint8_t> pixels(74 * 66, 0xEE);
  for (uint32_t i = 0; i < clip.FrameCount(); ++i) {
    EXPECT_TRUE(clip.Frames()[i].key_frame);
    clip.DecodeFrame(i, pixels);
    ASSERT_EQ(pixels, drawn[i].pixels) << "frame " << i;
    if (i > 0) {
      EXPECT_NE(drawn[i].pixels, drawn[i - 1].pixels) << "frame " << i;
    }
  }
  for (size_t i = 0; i < 256; ++i) EXPECT_EQ(clip.Palette()[i], resgen::StandardPalette()[i]);
}

TEST(ProgramResources, VersionResource) {
  const winsim::VersionInfo info = winsim::DecodeVersionInfo(ProgramResource(rt::kVersion, 1));
  EXPECT_EQ(info.fixed.file_version_ms, 0x00010000u);  // 1.0
  EXPECT_EQ(info.fixed.file_version_ls, 0x00000000u);  // .0.0
  EXPECT_EQ(info.fixed.product_version_ms, 0x00000000u);
  EXPECT_EQ(info.fixed.product_version_ls, 0x00000001u);  // 0.0.0.1
  EXPECT_EQ(info.fixed.file_type, 1u);                    // VFT_APP
  EXPECT_EQ(info.fixed.file_os, 4u);                      // VOS__WINDOWS32
  EXPECT_EQ(info.translations, std::vector<uint32_t>({0x04B00409}));

  const struct {
    std::u16string_view key;
    const char* value;
  } strings[] = {
      {u"FileVersion", "1, 0, 0, 0"},
      {u"ProductVersion", "1, 0, 0, 1"},
      {u"FileDescription", "Q417 Firmware Programmer"},
      {u"InternalName", "Q417 Firmware Programmer"},
      {u"OriginalFilename", "quillprog.exe"},
  };
  ASSERT_EQ(info.string_tables.size(), 1u);
  EXPECT_EQ(info.string_tables[0].strings.size(), std::size(strings));
  for (const auto& s : strings) {
    const std::u16string* value = info.FindString(u"040904b0", s.key);
    ASSERT_NE(value, nullptr) << Narrow(s.key);
    EXPECT_EQ(Narrow(*value), s.value);
  }
}

TEST(ProgramResources, AllInUsEnglishAndFoundByLanguage) {
  const winsim::ResourceFile& file = ProgramResources();
  EXPECT_EQ(file.Entries().size(),
            7u);  // clip, icon image, 2 dialogs, strings, icon group, version
  for (const winsim::ResourceEntry& entry : file.Entries()) {
    EXPECT_EQ(entry.language, kUsEnglish) << entry.type.Describe() << " " << entry.name.Describe();
  }
  EXPECT_NE(file.Find(ResourceName(u"avi"), IDR_PROGRESS_AVI, kUsEnglish), nullptr);
  EXPECT_NE(file.Find(rt::kDialog, IDD_ABOUTBOX, 0x0407), nullptr);  // any language will do
  EXPECT_EQ(file.Find(rt::kDialog, 103), nullptr);
  EXPECT_EQ(file.Find(rt::kGroupIcon, IDD_ABOUTBOX), nullptr);
}

}  // namespace
