// The UsbPacket events (winsim/usb/usb_bus_capture.cpp) as pcap records of
// link type USBPcap: the pseudo-header, little-endian and packed, then the
// bytes of the transfer.
#include "pcap_writer.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <map>

namespace quillsim {
namespace {

constexpr uint32_t kNanosecondMagic = 0xA1B23C4D;
constexpr uint32_t kLinkTypeUsbPcap = 249;
// Above the longest control record (65,535 data bytes and the header).
constexpr uint32_t kSnapLength = 262'144;
constexpr uint16_t kHeaderLength = 27;  // the control stage byte follows it
constexpr uint8_t kCompletion = 1;      // info: on its way back from the device
constexpr uint8_t kStageSetup = 0;      // the setup packet and any OUT data
constexpr uint8_t kStageComplete = 3;   // the status and any IN data
constexpr uint8_t kTransferControl = 2;

class Record {
 public:
  void U8(uint8_t value) { bytes_.push_back(static_cast<char>(value)); }
  void U16(uint16_t value) { Little(value, 2); }
  void U32(uint32_t value) { Little(value, 4); }
  void U64(uint64_t value) { Little(value, 8); }
  void Bytes(const std::vector<uint8_t>& data) { bytes_.append(data.begin(), data.end()); }
  const std::string& Text() const { return bytes_; }

 private:
  void Little(uint64_t value, int size) {
    for (int i = 0; i < size; ++i) U8(static_cast<uint8_t>(value >> (8 * i)));
  }
  std::string bytes_;
};

uint64_t Number(const std::string& text) { return std::strtoull(text.c_str(), nullptr, 0); }

std::vector<uint8_t> FromHex(const std::string& text) {
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i + 1 < text.size(); i += 2) {
    bytes.push_back(static_cast<uint8_t>(std::strtoul(text.substr(i, 2).c_str(), nullptr, 16)));
  }
  return bytes;
}

// USBPcap's transfer types; "other" is its IRP information record (no data).
uint8_t TransferType(const std::string& name) {
  if (name == "control") return kTransferControl;
  if (name == "bulk") return 3;
  if (name == "interrupt") return 1;
  return 0xFE;
}

// irpId: the capture's own number for the IRP (see WritePcap).
std::string Packet(const winsim::Event& event, bool completion, uint64_t irpId) {
  const uint8_t transfer = TransferType(event.Field("transfer"));
  std::vector<uint8_t> data =
      transfer == 0xFE ? std::vector<uint8_t>{} : FromHex(event.Field("data"));
  if (transfer == kTransferControl && !completion) {
    std::vector<uint8_t> setup = FromHex(event.Field("setup"));
    setup.resize(8);
    data.insert(data.begin(), setup.begin(), setup.end());
  }
  const bool control = transfer == kTransferControl;
  Record packet;
  packet.U16(control ? kHeaderLength + 1 : kHeaderLength);
  packet.U64(irpId);
  packet.U32(static_cast<uint32_t>(Number(event.Field("usbdStatus"))));
  packet.U16(static_cast<uint16_t>(Number(event.Field("function"))));
  packet.U8(completion ? kCompletion : 0);
  packet.U16(static_cast<uint16_t>(Number(event.Field("bus"))));
  packet.U16(static_cast<uint16_t>(Number(event.Field("address"))));
  packet.U8(static_cast<uint8_t>(Number(event.Field("endpoint"))));
  packet.U8(transfer);
  packet.U32(static_cast<uint32_t>(data.size()));
  if (control) packet.U8(completion ? kStageComplete : kStageSetup);
  packet.Bytes(data);
  return packet.Text();
}

}  // namespace

bool WritePcap(const std::string& path, const std::vector<winsim::Event>& events) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  Record header;
  header.U32(kNanosecondMagic);
  header.U16(2);  // version 2.4
  header.U16(4);
  header.U32(0);  // time zone and accuracy: none
  header.U32(0);
  header.U32(kSnapLength);
  header.U32(kLinkTypeUsbPcap);
  out << header.Text();
  // IRPs are numbered in the order they are submitted, not by their host
  // addresses, so two captures of the same run are the same bytes. A number
  // pairs a submission with its completion; an address used again later is
  // another IRP.
  std::map<uint64_t, uint64_t> irpIds;
  uint64_t lastIrpId = 0;
  for (const winsim::Event& event : events) {
    if (event.kind != winsim::EventKind::UsbPacket) continue;
    const bool completion = event.text == "complete";
    const uint64_t address = Number(event.Field("irp"));
    const auto known = irpIds.find(address);
    uint64_t irpId = 0;
    if (completion && known != irpIds.end()) {
      irpId = known->second;
    } else {
      irpId = ++lastIrpId;
      if (!completion) irpIds[address] = irpId;
    }
    const std::string packet = Packet(event, completion, irpId);
    // A transfer longer than the snapshot length is cut, as a capture cuts it.
    const size_t kept = std::min<size_t>(packet.size(), kSnapLength);
    // Virtual time counts 100 ns from the machine's start.
    Record stamp;
    stamp.U32(static_cast<uint32_t>(event.time / 10'000'000));
    stamp.U32(static_cast<uint32_t>(event.time % 10'000'000 * 100));
    stamp.U32(static_cast<uint32_t>(kept));
    stamp.U32(static_cast<uint32_t>(packet.size()));
    out << stamp.Text();
    out.write(packet.data(), static_cast<std::streamsize>(kept));
  }
  return static_cast<bool>(out);
}

}  // namespace quillsim
