// The host build's compiled quillprog.res, for the resource tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <span>
#include <string>

#include "resources/resource_file.h"

namespace resource_testing {

// quillprog.res, read once.
const winsim::resources::ResourceFile& ProgramResources();

// The data of a resource of quillprog.res; fails the test when it is missing.
std::span<const uint8_t> ProgramResource(const winsim::resources::ResourceName& type,
                                         const winsim::resources::ResourceName& name);

std::string Narrow(std::u16string_view text);

}  // namespace resource_testing
