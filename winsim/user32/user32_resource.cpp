// user32: the program's resources: string tables and icons.
#include <windows.h>

#include <cstdlib>
#include <cstring>

#include "user32/user32_internal.h"

namespace winsim::user32 {

using resources::DecodeGroupIcon;
using resources::DecodeIconImage;
using resources::GroupIconEntry;
using resources::IconImage;
using resources::ResourceEntry;
using resources::ResourceFile;
using resources::ResourceFormatError;
using resources::ResourceName;

const ResourceFile* ModuleResources() { return System().desktop.ModuleResources(); }

Icon* FindIcon(HICON icon) {
  WindowSystem& sys = System();
  auto it = sys.icons.find(reinterpret_cast<uintptr_t>(icon));
  return it != sys.icons.end() ? it->second.get() : nullptr;
}

namespace {

HICON AddIcon(std::string name, std::shared_ptr<IconImage> image) {
  WindowSystem& sys = System();
  auto icon = std::make_unique<Icon>();
  icon->handle = reinterpret_cast<HICON>(NewHandle());
  icon->name = name;
  if (image) {
    icon->width = image->width;
    icon->height = image->height;
  }
  icon->image = std::move(image);
  const HICON handle = icon->handle;
  sys.icons.emplace(reinterpret_cast<uintptr_t>(handle), std::move(icon));
  sys.sharedIcons[name] = handle;
  return handle;
}

}  // namespace

HICON LoadModuleIcon(const ResourceName& name) {
  WindowSystem& sys = System();
  const std::string key = name.Describe();
  if (auto it = sys.sharedIcons.find(key); it != sys.sharedIcons.end()) return it->second;
  const ResourceFile* resources = ModuleResources();
  if (resources == nullptr) return nullptr;
  const ResourceEntry* group = resources->Find(resources::resource_type::kGroupIcon, name);
  if (group == nullptr) return nullptr;
  try {
    // The image nearest the system's icon size (SM_CXICON), as LoadIcon picks.
    const std::vector<GroupIconEntry> entries = DecodeGroupIcon(group->data);
    const GroupIconEntry* best = nullptr;
    int bestDistance = 0;
    for (const GroupIconEntry& entry : entries) {
      const int width = entry.width == 0 ? 256 : entry.width;
      const int distance = std::abs(width - GetSystemMetrics(SM_CXICON));
      if (best == nullptr || distance < bestDistance) {
        best = &entry;
        bestDistance = distance;
      }
    }
    if (best == nullptr) return nullptr;
    const ResourceEntry* image =
        resources->Find(resources::resource_type::kIcon, ResourceName(best->icon_id));
    if (image == nullptr) return nullptr;
    return AddIcon(key, std::make_shared<IconImage>(DecodeIconImage(image->data)));
  } catch (const ResourceFormatError& error) {
    Log("LoadIcon failed: malformed icon", {{"icon", key}, {"error", error.what()}});
    return nullptr;
  }
}

HICON SystemIcon(uint16_t id) {
  const char* name = nullptr;
  switch (id) {
    case 32512:
      name = "IDI_APPLICATION";
      break;
    case 32513:
      name = "IDI_HAND";
      break;
    case 32514:
      name = "IDI_QUESTION";
      break;
    case 32515:
      name = "IDI_EXCLAMATION";
      break;
    case 32516:
      name = "IDI_ASTERISK";
      break;
    default:
      return nullptr;
  }
  WindowSystem& sys = System();
  if (auto it = sys.sharedIcons.find(name); it != sys.sharedIcons.end()) return it->second;
  return AddIcon(name, nullptr);
}

}  // namespace winsim::user32

using namespace winsim::user32;

extern "C" int WINAPI LoadStringA(HINSTANCE, UINT uID, LPSTR lpBuffer, int cchBufferMax) {
  if (lpBuffer == nullptr || cchBufferMax <= 0) return 0;
  lpBuffer[0] = '\0';
  const winsim::resources::ResourceFile* resources = ModuleResources();
  if (resources == nullptr || uID > 0xFFFF) return 0;
  std::optional<std::u16string> text;
  try {
    text = winsim::resources::FindString(*resources, uID);
  } catch (const winsim::resources::ResourceFormatError&) {
    return 0;
  }
  if (!text.has_value()) return 0;
  const std::string ansi = winsim::resources::NarrowToAnsi(*text);
  const size_t count = std::min<size_t>(ansi.size(), static_cast<size_t>(cchBufferMax - 1));
  std::memcpy(lpBuffer, ansi.data(), count);
  lpBuffer[count] = '\0';
  return static_cast<int>(count);
}

extern "C" HICON WINAPI LoadIconA(HINSTANCE hInstance, LPCSTR lpIconName) {
  if (lpIconName == nullptr) return nullptr;
  if (hInstance == nullptr) {
    // The system's icons (IDI_...).
    if (!IS_INTRESOURCE(lpIconName)) return nullptr;
    return SystemIcon(LOWORD(reinterpret_cast<uintptr_t>(lpIconName)));
  }
  return LoadModuleIcon(NameFromAnsi(lpIconName));
}
