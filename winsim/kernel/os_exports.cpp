// winsim: the per-family export table, read once from os_exports.txt (the
// build passes its path).
#include "kernel/os_exports.h"

#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "ground/verifier.h"
#include "kernel/kernel.h"

namespace winsim {

namespace {

// Columns 2 to 6 of a row: 98, 98 SE, Me, 2000, XP.
using Row = std::vector<std::string>;

const std::map<std::string, Row, std::less<>>& Table() {
  static const std::map<std::string, Row, std::less<>> table = [] {
    std::map<std::string, Row, std::less<>> rows;
    std::ifstream file(WINSIM_OS_EXPORTS_FILE);
    std::string line;
    while (std::getline(file, line)) {
      if (line.empty() || line[0] == '#') continue;
      std::vector<std::string> fields;
      std::stringstream stream(line);
      std::string field;
      while (std::getline(stream, field, '\t')) fields.push_back(field);
      if (fields.size() < 7) continue;
      // Import names may carry stdcall decoration (_Name@8).
      std::string name = fields[1];
      if (!name.empty() && name[0] == '_') name.erase(0, 1);
      if (const size_t at = name.find('@'); at != std::string::npos) name.erase(at);
      rows[name] = Row(fields.begin() + 2, fields.begin() + 7);
    }
    return rows;
  }();
  return table;
}

int Column(OsFamily os) {
  switch (os) {
    case OsFamily::Windows98:
      return 0;
    case OsFamily::Windows98SE:
      return 1;
    case OsFamily::WindowsMe:
      return 2;
    case OsFamily::Windows2000:
      return 3;
    case OsFamily::WindowsNt:
      return 4;
    case OsFamily::NoWdm:
      break;
  }
  return -1;
}

const char* FamilyName(OsFamily os) {
  static const char* const names[] = {"Windows 98", "Windows 98 SE", "Windows Me", "Windows 2000",
                                      "Windows XP"};
  const int column = Column(os);
  return column < 0 ? "this machine" : names[column];
}

}  // namespace

Exported ExportedOn(OsFamily os, std::string_view name) {
  const auto& table = Table();
  const auto row = table.find(name);
  const int column = Column(os);
  if (row == table.end() || column < 0) return Exported::Unknown;
  const std::string& fact = row->second[static_cast<size_t>(column)];
  if (fact == "y") return Exported::Yes;
  if (fact == "n") return Exported::No;
  return Exported::Unconfirmed;
}

void CheckExported(std::string_view name) {
  const OsFamily os = Ground::Current().Config().os;
  if (ExportedOn(os, name) == Exported::No) {
    Ground::Current().Verify().Report(
        rule::kImportMissing, kernel::CurrentPlace(),
        std::string(name) + " is not exported by " + FamilyName(os) +
            ": a driver importing it does not load there (winsim/kernel/os_exports.txt)");
  }
}

}  // namespace winsim
