// Host glue (not part of quillfw.sys): installs quillfw on the simulated
// machine the way its setup information would on Windows, as the service of
// the Q417 in firmware-update mode. Tests and quillsim link the static
// library quillfw_service.
#pragma once

#include <wdm.h>

#include "quillfw_public.h"

namespace quillfw_host {

// The update-mode Q417's hardware id, as the USB bus reports it to the Plug
// and Play manager.
inline constexpr char kUpdateModeHardwareId[] = QUILLFW_HARDWARE_ID;
// The service name; the registry path DriverEntry receives ends in it.
inline constexpr char kServiceName[] = "quillfw";

// Registers quillfw's DriverEntry with winsim's Plug and Play manager for
// kUpdateModeHardwareId. Call before the device arrives (on the host thread
// while no simulation runs, or on a simulated thread).
void RegisterQuillfwService();

}  // namespace quillfw_host
