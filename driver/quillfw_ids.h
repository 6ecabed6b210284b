/* The Q417's identity in firmware-update mode: the hardware id under which
 * Plug and Play binds quillfw.sys to the device.
 *
 * One constant for everything that names it: winsim's update-mode Q417
 * (winsim/usb/usb_device.cpp, DefaultQ417UpdateMode), quillfw's host service
 * (driver/host/quillfw_service.h), the Wine run's test bus driver
 * (tests/wine-kernel) and driver/quillfw.inf. The build checks that they
 * agree: the host test wine_kernel_ids compares winsim's model and the host
 * service with these values, and reads quillfw.inf for the hardware id.
 *
 * A real installation puts the device's own update-mode identity here and in
 * the INF (docs/windows.md). Plain C preprocessor text, so that CMake, C and
 * C++ of every target read it alike. */
#ifndef QUILLFW_IDS_H
#define QUILLFW_IDS_H

#define QUILLFW_UPDATE_VENDOR_ID 0x0417
#define QUILLFW_UPDATE_PRODUCT_ID 0xF001
#define QUILLFW_UPDATE_HARDWARE_ID "USB\\VID_0417&PID_F001"

#endif
