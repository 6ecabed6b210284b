#include "harness/xml_text.h"
#include "expectations.h"

#include <cctype>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "kernel/kernel.h"
#include "resource.h"
#include "usb/models/q417.h"

namespace quillsim {
namespace {

std::string Hex(const std::vector<uint8_t>& bytes) {
  std::string text;
  char byte[4];
  for (size_t i = 0; i < bytes.size(); ++i) {
    std::snprintf(byte, sizeof byte, "%s%02X", i ? " " : "", bytes[i]);
    text += byte;
  }
  return text;
}

std::string Quoted(const std::string& text) {
  std::string out = "\"";
  for (char c : text) out += c == '\n' ? std::string("\\n") : std::string(1, c);
  return out + "\"";
}

// Texts one a line (a line end in a text as \\n).
std::string Lines(const std::vector<std::string>& texts) {
  std::string lines;
  for (const auto& text : texts) {
    const std::string quoted = Quoted(text);
    lines += quoted.substr(1, quoted.size() - 2) + "\n";
  }
  return lines;
}

std::string JoinQuoted(const std::vector<std::string>& texts) {
  std::string line;
  for (const auto& text : texts) line += (line.empty() ? "" : ", ") + Quoted(text);
  return "[" + line + "]";
}

std::string Ending(const winsim::usb::DeviceRequest& request) {
  if (!request.completes && request.status == STATUS_SUCCESS) return " pending";
  return NT_SUCCESS(request.status) ? "" : " failed";
}

// The header command: 5 bytes, 0xEE 0 0 and the length (what the Q417 takes
// as one).
bool IsHeader(const winsim::usb::DeviceRequest& request) {
  return request.data.size() == 5 && request.data[0] == 0xEE && request.data[1] == 0 &&
         request.data[2] == 0;
}

// Whether the last update-mode device on the port that received image bytes
// holds the image (nullopt: none received any).
std::optional<bool> FlashHoldsImage(winsim::usb::UsbBus& bus, const std::string& port,
                                    const std::vector<uint8_t>& image) {
  std::optional<bool> holds;
  for (const winsim::usb::UsbDevice* device : bus.History(port)) {
    const winsim::usb::Q417Device* q417 = winsim::usb::AsQ417(device);
    if (q417 == nullptr || !q417->InUpdateMode() || q417->ImageBytesReceived() == 0) continue;
    const auto& flash = q417->Flash();
    // An image that did not build is held by no flash.
    holds = !image.empty() && image.size() <= flash.size() &&
            std::equal(image.begin(), image.end(), flash.begin());
  }
  return holds;
}

template <typename T>
std::string Differs(const char* what, T was, T expected) {
  if (was == expected) return "";
  return std::string(what) + " " + std::to_string(was) + ", expected " + std::to_string(expected);
}

std::string CheckRequests(const RequestExpectations& expect, const PortRequests& seen,
                          const std::vector<uint8_t>& image) {
  std::vector<std::string> wrong;
  auto count = [&](const char* what, const std::optional<int64_t>& expected, int64_t was) {
    if (expected && *expected != was) wrong.push_back(Differs(what, was, *expected));
  };
  count("update-mode requests", expect.triggerRequests, seen.triggerRequests);
  count("OUT transfers", expect.outTransfers, seen.outTransfers);
  count("pipe resets", expect.pipeResets, seen.pipeResets);
  count("headers", expect.headers, seen.headers);
  if (expect.header && *expect.header != seen.lastHeader) {
    wrong.push_back("header " + (seen.lastHeader.empty() ? "none" : seen.lastHeader) +
                    ", expected " + *expect.header);
  }
  if (expect.blocks) {
    std::string counts;
    for (uint32_t c : seen.lastCounts) counts += (counts.empty() ? "" : ", ") + std::to_string(c);
    std::string expectedCounts;
    for (const auto& block : *expect.blocks) {
      expectedCounts += (expectedCounts.empty() ? "" : ", ") + std::to_string(block.count);
    }
    if (counts != expectedCounts) {
      wrong.push_back("block counts [" + counts + "], expected [" + expectedCounts + "]");
    } else {
      for (size_t i = 0; i < expect.blocks->size(); ++i) {
        const auto& bytes = (*expect.blocks)[i].bytes;
        const std::string carried = Hex(seen.lastBlocks[i]);
        if (!bytes || *bytes == carried) continue;
        // Hex bytes are 3 characters apart: tell the first that differs.
        size_t at = 0;
        while (at < bytes->size() && at < carried.size() &&
               bytes->compare(at, 2, carried, at, 2) == 0) {
          at += 3;
        }
        wrong.push_back("block " + std::to_string(i + 1) + " byte " + std::to_string(at / 3) +
                        " on: " + (at < carried.size() ? carried.substr(at, 23) : "(end)") +
                        ", expected " + (at < bytes->size() ? bytes->substr(at, 23) : "(end)"));
      }
    }
  }
  if (expect.blocksCarryImage) {
    size_t offset = 0;
    for (size_t i = 0; i < seen.lastBlocks.size(); ++i) {
      const auto& block = seen.lastBlocks[i];
      if (offset + block.size() > image.size() ||
          !std::equal(block.begin(), block.end(), image.begin() + offset)) {
        wrong.push_back("block " + std::to_string(i + 1) + " does not carry the image's bytes " +
                        std::to_string(offset) + ".." + std::to_string(offset + block.size()));
        break;
      }
      offset += block.size();
    }
  }
  if (expect.sequence && *expect.sequence != seen.sequence) {
    wrong.push_back("sequence " + JoinQuoted(seen.sequence) + ", expected " +
                    JoinQuoted(*expect.sequence));
  }
  std::string failure;
  for (const std::string& text : wrong) failure += (failure.empty() ? "" : "; ") + text;
  return failure.empty() ? "" : "device " + expect.port + ": " + failure;
}

// The control an expectation names on the main dialog.
const winsim::ControlView* FindControl(const std::vector<winsim::ControlView>& controls,
                                       const std::string& name) {
  const int id = name == "deviceList"    ? IDC_DEVICE_LIST
                 : name == "fileBox"     ? IDC_FILE_PATH
                 : name == "progressBar" ? IDC_PROGRESS
                                         : 0;
  for (const winsim::ControlView& control : controls) {
    std::string text;
    for (char c : control.text) {
      if (c != '&') text += c;
    }
    if (id != 0 ? control.id == id : text == name) return &control;
  }
  return nullptr;
}

}  // namespace

uint32_t UpdateModeRequests(const winsim::usb::UsbDevice& device) {
  if (const winsim::usb::Q417Device* q417 = winsim::usb::AsQ417(&device)) {
    return q417->TriggerRequests();
  }
  uint32_t count = 0;
  for (const winsim::usb::DeviceRequest& request : device.Requests()) {
    count += request.kind == winsim::usb::RequestKind::GetDescriptor &&
                     request.descriptorType == USB_CONFIGURATION_DESCRIPTOR_TYPE &&
                     request.descriptorIndex == 0x55
                 ? 1
                 : 0;
  }
  return count;
}

int64_t UpdateModeArrivals(winsim::usb::UsbBus& bus, const std::string& port) {
  int64_t arrivals = 0;
  for (const winsim::usb::UsbDevice* device : bus.History(port)) {
    const winsim::usb::Q417Device* q417 = winsim::usb::AsQ417(device);
    arrivals += q417 != nullptr && q417->InUpdateMode() ? 1 : 0;
  }
  return arrivals;
}

PortRequests ReadPortRequests(winsim::usb::UsbBus& bus, const std::string& port, int64_t arrival) {
  PortRequests seen;
  int64_t arrivals = 0;
  for (const winsim::usb::UsbDevice* device : bus.History(port)) {
    const winsim::usb::Q417Device* q417 = winsim::usb::AsQ417(device);
    if (q417 == nullptr || !q417->InUpdateMode()) {
      if (arrival == 0 || arrivals == arrival - 1)
        seen.triggerRequests += UpdateModeRequests(*device);
      continue;
    }
    if (arrival != 0 && ++arrivals != arrival) continue;
    for (const winsim::usb::DeviceRequest& request : device->Requests()) {
      if (request.kind == winsim::usb::RequestKind::ResetPipe) {
        ++seen.pipeResets;
        seen.sequence.push_back("pipe reset" + Ending(request));
        continue;
      }
      if (request.kind != winsim::usb::RequestKind::Transfer || request.in) continue;
      ++seen.outTransfers;
      if (IsHeader(request)) {
        ++seen.headers;
        seen.lastHeader = Hex(request.data);
        seen.lastBlocks.clear();
        seen.lastCounts.clear();
        seen.sequence.push_back("header " + seen.lastHeader + Ending(request));
      } else {
        seen.lastBlocks.push_back(request.data);
        seen.lastCounts.push_back(request.requestedLength);
        seen.sequence.push_back("block " + std::to_string(request.requestedLength) +
                                Ending(request));
      }
    }
  }
  return seen;
}

std::vector<Outcome> Checker::CheckState(const Expectations& expect, const Seen& seen,
                                         winsim::Machine& machine, winsim::usb::UsbBus* bus) const {
  std::vector<Outcome> results;
  auto result = [&](const char* key, std::string failure) {
    results.push_back({key, std::move(failure), {}, {}});
  };
  // A failed expectation of texts keeps both sides for a diff.
  auto texts = [&](const std::vector<std::string>& expected,
                   const std::vector<std::string>& actual) {
    if (results.back().failure.empty()) return;
    results.back().expected = Lines(expected);
    results.back().actual = Lines(actual);
  };
  if (expect.messageBoxes) {
    bool same = expect.messageBoxes->size() == seen.messageBoxes.size();
    std::string expected;
    std::vector<std::string> expectedTexts;
    for (size_t i = 0; i < expect.messageBoxes->size(); ++i) {
      const TextMatch& match = (*expect.messageBoxes)[i];
      same = same && match.Matches(seen.messageBoxes[i]);
      expected += (i ? ", " : "") + match.Describe();
      // The diff shows a whole text as it is, a part or pattern described.
      expectedTexts.push_back(match.mode == TextMatch::Mode::Exact ? match.text : match.Describe());
    }
    result("messageBoxes", same ? ""
                                : "message boxes were " + JoinQuoted(seen.messageBoxes) +
                                      ", expected [" + expected + "]");
    texts(expectedTexts, seen.messageBoxes);
  }
  if (expect.status) {
    result("status", *expect.status == seen.status ? ""
                                                   : "status line was " + Quoted(seen.status) +
                                                         ", expected " + Quoted(*expect.status));
    texts({*expect.status}, {seen.status});
  }
  if (expect.deviceList) {
    result("deviceList", *expect.deviceList == seen.devices
                             ? ""
                             : "device list was " + JoinQuoted(seen.devices) + ", expected " +
                                   JoinQuoted(*expect.deviceList));
    texts(*expect.deviceList, seen.devices);
  }
  if (!expect.trace.empty()) {
    const auto trace = machine.Log().Texts(winsim::EventKind::DbgPrint);
    std::string failure;
    for (const std::string& line : expect.trace) {
      bool found = false;
      for (const std::string& printed : trace) {
        found = found || printed.find(line) != std::string::npos;
      }
      if (!found)
        failure += (failure.empty() ? "" : "; ") + ("the driver never printed " + Quoted(line));
    }
    result("trace", failure);
  }
  if (!expect.controls.empty()) {
    std::string failure;
    for (const auto& [name, enabled] : expect.controls) {
      const winsim::ControlView* control = FindControl(seen.controls, name);
      std::string wrong = control == nullptr ? "the main dialog has no " + name
                          : control->enabled != enabled
                              ? name + " is " + (control->enabled ? "enabled" : "disabled") +
                                    ", expected " + (enabled ? "enabled" : "disabled")
                              : "";
      if (!wrong.empty()) failure += (failure.empty() ? "" : "; ") + wrong;
    }
    result("controls", failure);
  }
  if (expect.selectionIndex || expect.selectionText) {
    const bool listed =
        seen.selection >= 0 && seen.selection < static_cast<int>(seen.devices.size());
    const std::string was =
        listed ? std::to_string(seen.selection) + " " + Quoted(seen.devices[seen.selection])
               : "none";
    const bool holds = expect.selectionIndex
                           ? *expect.selectionIndex == (listed ? seen.selection : -1)
                           : listed && seen.devices[seen.selection] == *expect.selectionText;
    result("selection", holds ? ""
                              : "selection was " + was + ", expected " +
                                    (expect.selectionIndex ? std::to_string(*expect.selectionIndex)
                                                           : Quoted(*expect.selectionText)));
  }
  if (expect.progress) {
    std::string failure;
    auto part = [&](const char* what, const std::optional<int64_t>& expected, int was) {
      if (expected && *expected != was) {
        failure += (failure.empty() ? "" : "; ") + Differs(what, int64_t{was}, *expected);
      }
    };
    part("progress position", expect.progress->pos, seen.progressPos);
    part("progress range low", expect.progress->low, seen.progressLow);
    part("progress range high", expect.progress->high, seen.progressHigh);
    result("progress", failure);
  }
  if (expect.minimized) {
    result("minimized", *expect.minimized == seen.minimized ? ""
                        : seen.minimized                    ? "the main dialog is minimised"
                                                            : "the main dialog is not minimised");
  }
  if (!expect.flashes.empty()) {
    std::string failure;
    for (const auto& [port, flash] : expect.flashes) {
      const std::optional<bool> holds =
          bus != nullptr ? FlashHoldsImage(*bus, port, image_) : std::nullopt;
      std::string wrong;
      if (flash == "image" && holds != true) {
        wrong = "the flash of device " + port + " does not hold the image";
      }
      if (flash == "untouched" && holds.has_value()) {
        wrong = "the flash of device " + port + " was written";
      }
      if (!wrong.empty()) failure += (failure.empty() ? "" : "; ") + wrong;
    }
    result("flash", failure);
  }
  if (!expect.requests.empty()) {
    std::string failure;
    std::vector<std::string> expectedSequence;
    std::vector<std::string> actualSequence;
    for (const RequestExpectations& requests : expect.requests) {
      const bool arrived =
          bus != nullptr &&
          (requests.arrival == 0 || UpdateModeArrivals(*bus, requests.port) >= requests.arrival);
      const PortRequests seenRequests =
          arrived ? ReadPortRequests(*bus, requests.port, requests.arrival) : PortRequests{};
      const std::string wrong =
          bus == nullptr ? "the bus is gone"
          : !arrived     ? "device " + requests.port + ": no update-mode arrival " +
                           std::to_string(requests.arrival) + " (" +
                           std::to_string(UpdateModeArrivals(*bus, requests.port)) + " so far)"
                     : CheckRequests(requests, seenRequests, image_);
      if (!wrong.empty()) failure += (failure.empty() ? "" : "; ") + wrong;
      if (requests.sequence && *requests.sequence != seenRequests.sequence) {
        for (const auto& line : *requests.sequence)
          expectedSequence.push_back(requests.port + ": " + line);
        for (const auto& line : seenRequests.sequence)
          actualSequence.push_back(requests.port + ": " + line);
      }
    }
    result("requests", failure);
    if (!expectedSequence.empty() || !actualSequence.empty())
      texts(expectedSequence, actualSequence);
  }
  return results;
}

std::string Checker::AtStep(const std::string& name, const Expectations& expect, const Seen& seen,
                            winsim::Machine& machine, winsim::usb::UsbBus& bus) {
  Outcome step{name, {}, {}, {}};
  for (const Outcome& key : CheckState(expect, seen, machine, &bus)) {
    if (key.failure.empty()) continue;
    step.failure += (step.failure.empty() ? "" : "; ") + key.failure;
    // The texts of several keys, each line named by its key.
    auto named = [&](const std::string& lines) {
      std::string out;
      std::istringstream in(lines);
      for (std::string line; std::getline(in, line);) out += key.name + ": " + line + "\n";
      return out;
    };
    step.expected += named(key.expected);
    step.actual += named(key.actual);
  }
  outcomes_.push_back(step);
  return step.failure;
}

void Checker::AtEnd(const Expectations& expect, const Seen& seen, winsim::Machine& machine,
                    winsim::usb::UsbBus* bus, bool endedDuringScript) {
  for (Outcome& key : CheckState(expect, seen, machine, bus)) {
    key.name = "/expect/" + key.name;
    outcomes_.push_back(std::move(key));
  }
  if (expect.applicationEnded) {
    // The program may still end after the script, closed by quillsim: that
    // is not an end within the script.
    Add("/expect/applicationEnded",
        *expect.applicationEnded == endedDuringScript ? ""
        : endedDuringScript                           ? "the program ended within the script"
                            : "the program did not end within the script (it was still running "
                              "when the script ended)");
  }
  for (const std::string& rule : expect.findings) {
    machine.Verify().Expect(rule);
    Add("/expect/findings/" + rule,
        machine.Verify().Has(rule) ? "" : "expected verifier finding " + rule + " did not occur");
  }
  std::string unexpected;
  for (const winsim::Finding& finding : machine.Verify().Unexpected()) {
    unexpected += (unexpected.empty() ? "" : "; ") +
                  ("verifier: " + finding.rule + " at " + finding.place + ": " + finding.detail);
  }
  Add("verifier", unexpected);
}

std::vector<std::string> Checker::Failures() const {
  std::vector<std::string> failures;
  for (const auto& outcome : outcomes_) {
    if (outcome.failure.empty()) continue;
    // End-of-run failures read as before; the others say where they arose.
    failures.push_back(outcome.name.rfind("step ", 0) == 0 ? outcome.name + ": " + outcome.failure
                                                           : outcome.failure);
  }
  return failures;
}

bool WriteJUnit(const std::string& path, const std::string& suite,
                const std::vector<Outcome>& outcomes) {
  size_t failures = 0;
  for (const auto& outcome : outcomes) failures += outcome.failure.empty() ? 0 : 1;
  std::ofstream out(path, std::ios::trunc);
  out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      << "<testsuites tests=\"" << outcomes.size() << "\" failures=\"" << failures << "\">\n"
      << "  <testsuite name=\"" << winsim::XmlText(suite) << "\" tests=\"" << outcomes.size()
      << "\" failures=\"" << failures << "\" errors=\"0\">\n";
  for (const auto& outcome : outcomes) {
    out << "    <testcase classname=\"" << winsim::XmlText(suite) << "\" name=\""
        << winsim::XmlText(outcome.name) << "\"";
    if (outcome.failure.empty()) {
      out << "/>\n";
    } else {
      out << ">\n      <failure message=\"" << winsim::XmlText(outcome.failure) << "\">"
          << winsim::XmlText(outcome.failure) << "</failure>\n    </testcase>\n";
    }
  }
  out << "  </testsuite>\n</testsuites>\n";
  return static_cast<bool>(out);
}

}  // namespace quillsim
