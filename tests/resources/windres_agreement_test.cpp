// winsim's reading of the dialog templates must agree with windres's own
// listing of quillprog.res (windres -O rc), control by control.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "program_resources.h"

namespace {

using namespace resource_testing;

std::string Hex(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%x", value);
  return text;
}

std::string Upper(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return text;
}

// The lines of one dialog in the listing: its header line through END.
std::vector<std::string> ListingOfDialog(const std::string& header_start) {
  std::ifstream listing(QUILLPROG_RES_LISTING);
  EXPECT_TRUE(listing) << QUILLPROG_RES_LISTING;
  std::vector<std::string> lines;
  for (std::string line; std::getline(listing, line);) {
    if (lines.empty() && line.rfind(header_start, 0) != 0) continue;
    lines.push_back(line);
    if (line == "END") break;
  }
  return lines;
}

void ExpectAgreement(uint16_t dialog_id, const std::string& header_start) {
  SCOPED_TRACE(header_start);
  const winsim::DialogTemplate dialog =
      winsim::DecodeDialogTemplate(ProgramResource(winsim::resource_type::kDialog, dialog_id));
  const std::vector<std::string> lines = ListingOfDialog(header_start);
  ASSERT_FALSE(lines.empty());
  const std::string frame = " " + std::to_string(dialog.x) + ", " + std::to_string(dialog.y) +
                            ", " + std::to_string(dialog.cx) + ", " + std::to_string(dialog.cy);
  EXPECT_TRUE(lines[0].ends_with(frame)) << lines[0];

  const auto begin = std::find(lines.begin(), lines.end(), "BEGIN");
  ASSERT_NE(begin, lines.end());
  const std::vector<std::string> head(lines.begin() + 1, begin);
  const std::vector<std::string> controls(begin + 1, lines.end() - 1);
  auto has = [&](const std::string& line) {
    return std::find(head.begin(), head.end(), line) != head.end();
  };
  EXPECT_TRUE(has("STYLE " + Hex(dialog.style)));
  if (dialog.ex_style != 0) {
    EXPECT_TRUE(has("EXSTYLE " + Hex(dialog.ex_style)));
  }
  EXPECT_TRUE(has("CAPTION \"" + Narrow(dialog.title) + "\""));
  EXPECT_TRUE(
      has("FONT " + std::to_string(dialog.point_size) + ", \"" + Narrow(dialog.typeface) + "\""));

  ASSERT_EQ(controls.size(), dialog.items.size());
  for (size_t i = 0; i < controls.size(); ++i) {
    const winsim::DialogItem& item = dialog.items[i];
    const std::string& line = controls[i];
    // windres shows a DWORD id as signed and a WORD one as unsigned.
    const std::string id =
        dialog.extended ? std::to_string(static_cast<int32_t>(item.id)) : std::to_string(item.id);
    const std::string text = item.text.IsOrdinal() ? std::to_string(item.text.Ordinal())
                                                   : "\"" + Narrow(item.text.Name()) + "\"";
    const std::string place = std::to_string(item.x) + ", " + std::to_string(item.y) + ", " +
                              std::to_string(item.cx) + ", " + std::to_string(item.cy);
    EXPECT_NE(line.find(" " + id + ", "), std::string::npos) << line << " id " << id;
    if (item.text.IsOrdinal() || !item.text.Name().empty()) {
      EXPECT_NE(line.find(text + ", " + id + ","), std::string::npos) << line;
    }
    EXPECT_NE(line.find(place), std::string::npos) << line;
    EXPECT_NE(line.find(Hex(item.style)), std::string::npos) << line;
    if (!item.window_class.IsOrdinal()) {
      EXPECT_NE(Upper(line).find("\"" + Upper(Narrow(item.ClassName())) + "\""), std::string::npos)
          << line;
    }
  }
}

TEST(WindresAgreement, MainDialog) { ExpectAgreement(102, "102 DIALOGEX"); }

TEST(WindresAgreement, AboutBox) { ExpectAgreement(100, "100 DIALOG "); }

}  // namespace
