// quillprog.res, compiled from app/res/quillprog.rc by the host build, read
// back through winsim's resource loader: the version resource and the
// language. The dialogs are pinned by the README's snapshot and the dialog
// tests, the icon and the clip by resgen_output_current.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "program_resources.h"
#include "quill_version.h"
#include "resource.h"

namespace {

using namespace resource_testing;
using winsim::resources::ResourceName;
namespace rt = winsim::resources::resource_type;

// The code names the resources through resource.h; the numbers are fixed.
static_assert(IDM_ABOUTBOX == 0x0010 && IDD_ABOUTBOX == 100 && IDS_ABOUTBOX == 101 &&
              IDD_PROGRAMMER_DIALOG == 102 && IDR_MAINFRAME == 128 && IDR_PROGRESS_AVI == 136);
static_assert(IDC_PROGRAM == 1000 && IDC_DEVICE_LIST == 1002 && IDC_FILE_PATH == 1003 &&
              IDC_BROWSE == 1004 && IDC_REFRESH == 1005 && IDC_PROGRESS == 1006 &&
              IDC_STATUS == 1008 && IDC_ANIMATION == 1009);

constexpr uint16_t kUsEnglish = 0x0409;

TEST(ProgramResources, VersionResource) {
  const winsim::resources::VersionInfo info =
      winsim::resources::DecodeVersionInfo(ProgramResource(rt::kVersion, 1));
  // The file version is the release's (VERSION): major.minor.patch.0.
  EXPECT_EQ(info.fixed.file_version_ms, uint32_t{QUILL_VERSION_MAJOR} << 16 | QUILL_VERSION_MINOR);
  EXPECT_EQ(info.fixed.file_version_ls, uint32_t{QUILL_VERSION_PATCH} << 16);
  // The product version is fixed, and differs from its string.
  EXPECT_EQ(info.fixed.product_version_ms, 0x00000000u);
  EXPECT_EQ(info.fixed.product_version_ls, 0x00000001u);  // 0.0.0.1
  EXPECT_EQ(info.fixed.file_type, 1u);                    // VFT_APP
  EXPECT_EQ(info.fixed.file_os, 4u);                      // VOS__WINDOWS32
  EXPECT_EQ(info.translations, std::vector<uint32_t>({0x04B00409}));

  const std::string file_version = std::to_string(QUILL_VERSION_MAJOR) + ", " +
                                   std::to_string(QUILL_VERSION_MINOR) + ", " +
                                   std::to_string(QUILL_VERSION_PATCH) + ", 0";
  const struct {
    std::u16string_view key;
    std::string value;
  } strings[] = {
      {u"FileVersion", file_version},
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
  const winsim::resources::ResourceFile& file = ProgramResources();
  EXPECT_EQ(file.Entries().size(),
            7u);  // clip, icon image, 2 dialogs, strings, icon group, version
  for (const winsim::resources::ResourceEntry& entry : file.Entries()) {
    EXPECT_EQ(entry.language, kUsEnglish) << entry.type.Describe() << " " << entry.name.Describe();
  }
  EXPECT_NE(file.Find(ResourceName(u"avi"), IDR_PROGRESS_AVI, kUsEnglish), nullptr);
  EXPECT_NE(file.Find(rt::kDialog, IDD_ABOUTBOX, 0x0407), nullptr);  // any language will do
  EXPECT_EQ(file.Find(rt::kDialog, 103), nullptr);
  EXPECT_EQ(file.Find(rt::kGroupIcon, IDD_ABOUTBOX), nullptr);
}

}  // namespace
