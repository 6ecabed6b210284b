// USBD descriptor parsing as Windows' library does it: each configuration
// sits at the very end of a readable page, followed by an inaccessible one,
// so that a read past its bytes would fault.
#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include <wdm.h>
#include <usbdi.h>
#include <usbdlib.h>

namespace {

// Bytes placed so that the first byte after them cannot be read.
class GuardedBytes {
 public:
  explicit GuardedBytes(const std::vector<uint8_t>& bytes) {
    page_ = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    base_ = static_cast<uint8_t*>(
        mmap(nullptr, 2 * page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    mprotect(base_ + page_, page_, PROT_NONE);
    data_ = base_ + page_ - bytes.size();
    std::memcpy(data_, bytes.data(), bytes.size());
  }
  ~GuardedBytes() { munmap(base_, 2 * page_); }
  PUSB_CONFIGURATION_DESCRIPTOR Configuration() const {
    return reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(data_);
  }
  uint8_t* Data() const { return data_; }

 private:
  size_t page_ = 0;
  uint8_t* base_ = nullptr;
  uint8_t* data_ = nullptr;
};

std::vector<uint8_t> Configuration(std::vector<std::vector<uint8_t>> parts) {
  std::vector<uint8_t> bytes = {9, 2, 0, 0, 1, 1, 0, 0x80, 50};
  for (const auto& part : parts) {
    bytes.insert(bytes.end(), part.begin(), part.end());
  }
  bytes[2] = static_cast<uint8_t>(bytes.size());
  return bytes;
}

std::vector<uint8_t> Interface(uint8_t number, uint8_t alternate, uint8_t cls, uint8_t endpoints) {
  return {9, 4, number, alternate, endpoints, cls, 0, 0, 0};
}

const std::vector<uint8_t> kEndpointOut = {7, 5, 0x01, 2, 64, 0, 0};

PUSB_INTERFACE_DESCRIPTOR FirstInterface(PUSB_CONFIGURATION_DESCRIPTOR configuration) {
  return USBD_ParseConfigurationDescriptorEx(configuration, configuration, -1, -1, -1, -1, -1);
}

TEST(UsbdParse, FindsInterfacesByEveryCriterion) {
  GuardedBytes bytes(Configuration(
      {Interface(0, 0, 8, 1), kEndpointOut, Interface(1, 0, 0xFF, 0), Interface(1, 1, 0xFF, 0)}));
  PUSB_CONFIGURATION_DESCRIPTOR configuration = bytes.Configuration();
  ASSERT_NE(FirstInterface(configuration), nullptr);
  EXPECT_EQ(FirstInterface(configuration)->bInterfaceClass, 8);
  PUSB_INTERFACE_DESCRIPTOR alternate =
      USBD_ParseConfigurationDescriptorEx(configuration, configuration, 1, 1, -1, -1, -1);
  ASSERT_NE(alternate, nullptr);
  EXPECT_EQ(reinterpret_cast<uint8_t*>(alternate) - bytes.Data(), 9 + 9 + 7 + 9);
  EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(configuration, configuration, -1, -1, 0xFF, -1, -1)
                ->bInterfaceNumber,
            1);
  EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(configuration, configuration, 2, -1, -1, -1, -1),
            nullptr);
  // Starting after the first interface finds the second.
  EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(configuration, alternate, -1, -1, -1, -1, -1),
            alternate);
  EXPECT_EQ(USBD_GetInterfaceLength(FirstInterface(configuration),
                                    bytes.Data() + configuration->wTotalLength),
            16u);
}

// As Windows' library: a descriptor whose header starts inside wTotalLength
// is taken at its word, so a short or overrunning interface descriptor is
// returned (the client validates first); the walk itself reads nothing past
// wTotalLength.
TEST(UsbdParse, MalformedConfigurationsAreTakenAtTheirWord) {
  struct Case {
    const char* what;
    std::vector<uint8_t> bytes;
    int foundAt;  // offset of the interface returned; -1: none
  };
  std::vector<uint8_t> zeroLength = Configuration({{0, 4}, Interface(0, 0, 8, 0)});
  std::vector<uint8_t> overlong = Configuration({{200, 4, 0, 0, 0, 0, 0, 0, 0}});
  std::vector<uint8_t> shortInterface = Configuration({{5, 4, 0, 0, 2}});
  std::vector<uint8_t> cutByTotal = Configuration({Interface(0, 0, 8, 2)});
  cutByTotal[2] = 12;  // the interface runs past wTotalLength
  cutByTotal.resize(12);
  std::vector<uint8_t> zeroLengthEndpoint = Configuration({{0, 5}, Interface(0, 0, 8, 0)});
  std::vector<uint8_t> totalBelowHeader = {9, 2, 4, 0};
  std::vector<uint8_t> oddTail = Configuration({kEndpointOut, {3}});
  const Case cases[] = {
      {"bLength 0", zeroLength, 9},
      {"bLength past the end", overlong, 9},
      {"interface shorter than 9 bytes", shortInterface, 9},
      {"interface cut by wTotalLength", cutByTotal, 9},
      {"an endpoint of bLength 0 before it", zeroLengthEndpoint, -1},
      {"wTotalLength below 9", totalBelowHeader, -1},
      {"one byte left over", oddTail, -1},
      {"well formed", Configuration({kEndpointOut, Interface(0, 0, 8, 0)}), 16},
  };
  for (const Case& c : cases) {
    GuardedBytes bytes(c.bytes);
    PUSB_INTERFACE_DESCRIPTOR found = FirstInterface(bytes.Configuration());
    EXPECT_EQ(found == nullptr ? -1 : reinterpret_cast<uint8_t*>(found) - bytes.Data(), c.foundAt)
        << c.what;
  }
}

TEST(UsbdParse, AStartOutsideTheConfigurationFindsNothing) {
  std::vector<uint8_t> bytes = Configuration({Interface(0, 0, 8, 0)});
  bytes.insert(bytes.end(), {9, 4, 1, 0, 0, 8, 0, 0, 0});  // beyond wTotalLength
  GuardedBytes guarded(bytes);
  PUSB_CONFIGURATION_DESCRIPTOR configuration = guarded.Configuration();
  EXPECT_EQ(
      USBD_ParseConfigurationDescriptorEx(configuration, guarded.Data() + 18, -1, -1, -1, -1, -1),
      nullptr);
  EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(configuration, configuration, 1, -1, -1, -1, -1),
            nullptr);
}

}  // namespace
