#include "harness/quillfw_service.h"

#include <wdm.h>

#include "kernel/kernel.h"
#include "pnp/pnp_manager.h"

// quillfw's entry (driver/driverentry.cpp).
extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

namespace quillfw_host {

void RegisterQuillfwService() {
  winsim::pnp::RegisterService(kUpdateModeHardwareId, kServiceName, DriverEntry);
  // quillfw.inf's Security entry: SYSTEM and Administrators only.
  winsim::kernel::RestrictToAdministrators(u"\\Device\\QUILLDEV");
}

}  // namespace quillfw_host
