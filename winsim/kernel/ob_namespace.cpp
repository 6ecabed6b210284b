// winsim: the object namespace: \Device names, \DosDevices (the same
// directory as \??) and symbolic links.
#include "kernel/kernel.h"
#include "kernel/kernel_state.h"

namespace winsim::kernel {

namespace {

constexpr int kMaxLinkDepth = 8;

// One spelling per object: upper case, \DosDevices\ and \GLOBAL??\ as \??\.
std::u16string Canonical(std::u16string_view name) {
  std::u16string folded = FoldName(name);
  for (std::u16string_view alias : {u"\\DOSDEVICES\\", u"\\GLOBAL??\\"}) {
    if (folded.starts_with(alias)) return u"\\??\\" + folded.substr(alias.size());
  }
  return folded;
}

}  // namespace

PDEVICE_OBJECT LookupDevice(std::u16string_view name) {
  KernelState& state = State();
  std::u16string current = Canonical(name);
  for (int depth = 0; depth <= kMaxLinkDepth; ++depth) {
    if (auto device = state.names.find(current); device != state.names.end()) return device->second;
    auto link = state.links.find(current);
    if (link == state.links.end()) return nullptr;
    current = Canonical(link->second);
  }
  return nullptr;
}

bool InsertDeviceName(std::u16string_view name, PDEVICE_OBJECT device) {
  const std::u16string key = Canonical(name);
  KernelState& state = State();
  if (state.names.contains(key) || state.links.contains(key)) return false;
  state.names.emplace(key, device);
  return true;
}

void RemoveDeviceName(std::u16string_view name) { State().names.erase(Canonical(name)); }

}  // namespace winsim::kernel

using winsim::kernel::Canonical;

extern "C" {

NTSTATUS NTAPI IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName) {
  auto& state = winsim::kernel::State();
  const std::u16string link = winsim::kernel::Canonical(std::u16string_view(
      reinterpret_cast<const char16_t*>(SymbolicLinkName->Buffer), SymbolicLinkName->Length / 2));
  if (state.links.contains(link) || state.names.contains(link)) return STATUS_OBJECT_NAME_COLLISION;
  state.links.emplace(link, std::u16string(reinterpret_cast<const char16_t*>(DeviceName->Buffer),
                                           DeviceName->Length / 2));
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName) {
  const std::u16string link = winsim::kernel::Canonical(std::u16string_view(
      reinterpret_cast<const char16_t*>(SymbolicLinkName->Buffer), SymbolicLinkName->Length / 2));
  return winsim::kernel::State().links.erase(link) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

}  // extern "C"
