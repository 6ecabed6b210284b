// quillfw.sys's version resource: driver/quillfw.rc compiled by the host
// build as the win32 build links it, read back through winsim's resource
// loader.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "program_resources.h"
#include "quill_version.h"
#include "resources/resource_file.h"

namespace {

using resource_testing::Narrow;
namespace rt = winsim::resources::resource_type;

TEST(DriverResources, VersionResourceIsTheReleaseOfASystemDriver) {
  const winsim::resources::ResourceFile file = winsim::resources::ResourceFile::Load(QUILLFW_RES);
  ASSERT_EQ(file.Entries().size(), 1u);  // the version resource alone
  const winsim::resources::ResourceEntry* entry = file.Find(rt::kVersion, 1);
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(entry->language, 0x0409);
  const winsim::resources::VersionInfo info = winsim::resources::DecodeVersionInfo(entry->data);

  // File and product version: the release's major.minor.patch.0 (VERSION).
  const uint32_t version_ms = uint32_t{QUILL_VERSION_MAJOR} << 16 | QUILL_VERSION_MINOR;
  const uint32_t version_ls = uint32_t{QUILL_VERSION_PATCH} << 16;
  EXPECT_EQ(info.fixed.file_version_ms, version_ms);
  EXPECT_EQ(info.fixed.file_version_ls, version_ls);
  EXPECT_EQ(info.fixed.product_version_ms, version_ms);
  EXPECT_EQ(info.fixed.product_version_ls, version_ls);
  EXPECT_EQ(info.fixed.file_type, 3u);      // VFT_DRV
  EXPECT_EQ(info.fixed.file_subtype, 7u);   // VFT2_DRV_SYSTEM
  EXPECT_EQ(info.fixed.file_os, 0x40004u);  // VOS_NT_WINDOWS32
  EXPECT_EQ(info.translations, std::vector<uint32_t>({0x04B00409}));

  const std::string major_minor_patch = std::to_string(QUILL_VERSION_MAJOR) + "." +
                                        std::to_string(QUILL_VERSION_MINOR) + "." +
                                        std::to_string(QUILL_VERSION_PATCH);
  const struct {
    std::u16string_view key;
    std::string value;
  } strings[] = {
      {u"FileDescription", "Q417 firmware-update driver"},
      {u"FileVersion", std::to_string(QUILL_VERSION_MAJOR) + ", " +
                           std::to_string(QUILL_VERSION_MINOR) + ", " +
                           std::to_string(QUILL_VERSION_PATCH) + ", 0"},
      {u"InternalName", "quillfw"},
      {u"OriginalFilename", "quillfw.sys"},
      {u"ProductName", "Q417 Firmware Programmer"},
      {u"ProductVersion", major_minor_patch},
  };
  ASSERT_EQ(info.string_tables.size(), 1u);
  EXPECT_EQ(info.string_tables[0].strings.size(), std::size(strings));
  for (const auto& s : strings) {
    const std::u16string* value = info.FindString(u"040904b0", s.key);
    ASSERT_NE(value, nullptr) << Narrow(s.key);
    EXPECT_EQ(Narrow(*value), s.value);
  }
}

}  // namespace
