// The update-mode hardware id is one constant (include/quillfw_public.h): winsim's
// update-mode Q417 and quillfw's host service name the same device as the
// Wine run's bus driver and quillfw.inf (checked by wine_kernel_inf_hardware_id).
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include <wdm.h>

#include "harness/quillfw_service.h"
#include "quillfw_public.h"
#include "usb/models/q417.h"

namespace {

TEST(WineKernelIds, WinsimUpdateModeQ417HasTheSharedIdentity) {
  const winsim::usb::DeviceScript update = winsim::usb::DefaultQ417UpdateMode();
  EXPECT_EQ(update.vendorId, QUILLFW_UPDATE_VENDOR_ID);
  EXPECT_EQ(update.productId, QUILLFW_UPDATE_PRODUCT_ID);
  char id[32];
  std::snprintf(id, sizeof id, "USB\\VID_%04X&PID_%04X", update.vendorId, update.productId);
  EXPECT_EQ(std::string(id), QUILLFW_HARDWARE_ID);
}

TEST(WineKernelIds, HostServiceIsRegisteredForTheSharedId) {
  EXPECT_EQ(std::string(quillfw_host::kUpdateModeHardwareId), QUILLFW_HARDWARE_ID);
}

}  // namespace
