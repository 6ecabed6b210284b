// winsim: which Windows family exports which routine (os_exports.txt, with
// the source of each fact). A driver's call to a routine that the machine's
// family lacks is a verifier finding: on Windows such a driver would not
// have loaded at all.
#pragma once

#include <string_view>

#include "ground/ground.h"

namespace winsim {

// What os_exports.txt says about name on os.
enum class Exported { Yes, No, Unconfirmed, Unknown };
Exported ExportedOn(OsFamily os, std::string_view name);

// Reports rule::kImportMissing when the current machine's family lacks name
// (unconfirmed facts report nothing).
void CheckExported(std::string_view name);

}  // namespace winsim
