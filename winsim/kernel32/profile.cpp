// kernel32: private profile (INI) files.
//
// The file is read whole, changed and written back with CR LF line ends, so
// every call leaves a complete file. A file name without a folder lives in
// the Windows directory, as on Windows; a name with a folder is a host path
// (the simulated machine has no drive letters).
#include <windows.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "machine/machine_disk.h"

namespace {

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
    text.remove_prefix(1);
  }
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
    text.remove_suffix(1);
  }
  return text;
}

bool EqualNoCase(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return std::tolower(static_cast<unsigned char>(x)) ==
           std::tolower(static_cast<unsigned char>(y));
  });
}

// The section name of a "[name]" line.
std::optional<std::string_view> SectionName(std::string_view line) {
  const std::string_view text = Trim(line);
  if (text.empty() || text.front() != '[') {
    return std::nullopt;
  }
  const size_t close = text.find(']');
  if (close == std::string_view::npos) {
    return std::nullopt;
  }
  return Trim(text.substr(1, close - 1));
}

// The key of a "key=value" line.
std::optional<std::string_view> KeyName(std::string_view line) {
  const size_t equals = line.find('=');
  if (equals == std::string_view::npos) {
    return std::nullopt;
  }
  return Trim(line.substr(0, equals));
}

std::filesystem::path ProfilePath(std::string_view fileName) {
  if (fileName.find_first_of("\\/") == std::string_view::npos) {
    return std::filesystem::path(winsim::WindowsDirectory()) / std::string(fileName);
  }
  return std::filesystem::path(std::string(fileName));
}

std::vector<std::string> ReadLines(const std::filesystem::path& path) {
  std::vector<std::string> lines;
  std::ifstream in(path, std::ios::binary);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') {
      line.pop_back();
    }
    lines.push_back(line);
  }
  return lines;
}

bool WriteLines(const std::filesystem::path& path, const std::vector<std::string>& lines) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  for (const std::string& line : lines) {
    out << line << "\r\n";
  }
  out.flush();
  return static_cast<bool>(out);
}

struct SectionRange {
  size_t header;  // index of the "[name]" line
  size_t end;     // one past its last line
};

std::optional<SectionRange> FindSection(const std::vector<std::string>& lines,
                                        std::string_view section) {
  for (size_t i = 0; i < lines.size(); ++i) {
    const auto name = SectionName(lines[i]);
    if (name && EqualNoCase(*name, section)) {
      size_t end = i + 1;
      while (end < lines.size() && !SectionName(lines[end])) {
        ++end;
      }
      return SectionRange{i, end};
    }
  }
  return std::nullopt;
}

void SetKey(std::vector<std::string>& lines, std::string_view section, std::string_view key,
            std::string_view value) {
  const std::string entry = std::string(key) + "=" + std::string(value);
  const auto range = FindSection(lines, section);
  if (!range) {
    lines.push_back("[" + std::string(section) + "]");
    lines.push_back(entry);
    return;
  }
  size_t lastEntry = range->header;
  for (size_t i = range->header + 1; i < range->end; ++i) {
    const auto name = KeyName(lines[i]);
    if (name && EqualNoCase(*name, key)) {
      lines[i] = entry;
      return;
    }
    if (!Trim(lines[i]).empty()) {
      lastEntry = i;
    }
  }
  lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(lastEntry + 1), entry);
}

void DeleteKey(std::vector<std::string>& lines, std::string_view section, std::string_view key) {
  const auto range = FindSection(lines, section);
  if (!range) {
    return;
  }
  for (size_t i = range->header + 1; i < range->end; ++i) {
    const auto name = KeyName(lines[i]);
    if (name && EqualNoCase(*name, key)) {
      lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(i));
      return;
    }
  }
}

void DeleteSection(std::vector<std::string>& lines, std::string_view section) {
  const auto range = FindSection(lines, section);
  if (range) {
    lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(range->header),
                lines.begin() + static_cast<std::ptrdiff_t>(range->end));
  }
}

}  // namespace

// A NULL key deletes the section, a NULL string deletes the key; all of
// section, key and string NULL only flushes (winsim writes through, so
// there is nothing to flush).
extern "C" WINBOOL WINAPI WritePrivateProfileStringA(LPCSTR lpAppName, LPCSTR lpKeyName,
                                                     LPCSTR lpString, LPCSTR lpFileName) {
  if (lpAppName == nullptr && lpKeyName == nullptr && lpString == nullptr) {
    return TRUE;
  }
  if (lpAppName == nullptr || lpFileName == nullptr || *lpFileName == '\0') {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const std::filesystem::path path = ProfilePath(lpFileName);
  std::error_code error;
  if (path.has_parent_path() && !std::filesystem::is_directory(path.parent_path(), error)) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return FALSE;
  }
  std::vector<std::string> lines = ReadLines(path);
  if (lpKeyName == nullptr) {
    DeleteSection(lines, lpAppName);
  } else if (lpString == nullptr) {
    DeleteKey(lines, lpAppName, lpKeyName);
  } else {
    SetKey(lines, lpAppName, lpKeyName, lpString);
  }
  if (!WriteLines(path, lines)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  return TRUE;
}
