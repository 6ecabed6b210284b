// `quillsim run --pcap FILE`: a run's USB traffic as a pcap capture.
#pragma once

#include <string>
#include <vector>

#include "ground/event_log.h"

namespace quillsim {

// Writes the log's UsbPacket events as a classic pcap file (nanosecond
// timestamps from the virtual clock) of link type USBPcap (249): one record
// a submission and one a completion, as a capture on Windows holds them.
// Returns whether the file was written.
bool WritePcap(const std::string& path, const std::vector<winsim::Event>& events);

}  // namespace quillsim
