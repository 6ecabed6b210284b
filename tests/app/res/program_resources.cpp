#include "program_resources.h"

namespace resource_testing {

const winsim::resources::ResourceFile& ProgramResources() {
  static const winsim::resources::ResourceFile file =
      winsim::resources::ResourceFile::Load(QUILLPROG_RES);
  return file;
}

std::span<const uint8_t> ProgramResource(const winsim::resources::ResourceName& type,
                                         const winsim::resources::ResourceName& name) {
  const winsim::resources::ResourceEntry* entry = ProgramResources().Find(type, name);
  if (entry == nullptr) {
    ADD_FAILURE() << "quillprog.res has no resource " << type.Describe() << " " << name.Describe();
    return {};
  }
  return entry->data;
}

std::string Narrow(std::u16string_view text) { return winsim::resources::NarrowToAnsi(text); }

}  // namespace resource_testing
