#include "program_resources.h"

namespace resource_testing {

const winsim::ResourceFile& ProgramResources() {
  static const winsim::ResourceFile file = winsim::ResourceFile::Load(QUILLPROG_RES);
  return file;
}

std::span<const uint8_t> ProgramResource(const winsim::ResourceName& type,
                                         const winsim::ResourceName& name) {
  const winsim::ResourceEntry* entry = ProgramResources().Find(type, name);
  if (entry == nullptr) {
    ADD_FAILURE() << "quillprog.res has no resource " << type.Describe() << " " << name.Describe();
    return {};
  }
  return entry->data;
}

std::string Narrow(std::u16string_view text) { return winsim::NarrowToAnsi(text); }

}  // namespace resource_testing
