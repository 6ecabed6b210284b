// What one scenario's run came to, as the suite's reports need it: the
// verdict, each expectation's outcome, the account, the pictures of the
// screen and the USB transfers. A scenario run in a process of its own
// hands it to the suite as JSON (`quillsim run FILE --result FILE`).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quillsim {

// One expectation checked: its name ("/expect/status", "step 7 (/script/7)")
// and why it failed ("" when it held). A failed expectation of texts (the
// status line, the message boxes, the device list, the requests' sequence)
// also gives the texts expected and those seen, one a line, for a diff.
struct Outcome {
  std::string name;
  std::string failure;
  std::string expected;
  std::string actual;
};

// A line of the account: when (virtual time, 100 ns units), during which
// script step (-1: before the script, or after it), and what.
struct AccountLine {
  int64_t time = 0;
  int step = -1;
  std::string text;
};

// The screen as it looked after a change (SVG): the account's first `lines`
// lines had been told.
struct Picture {
  int64_t time = 0;
  int step = -1;
  size_t lines = 0;
  std::string svg;
};

// One USB transfer as the capture records it: its submission and its
// completion (frame numbers as in the --pcap capture, counted from 1; 0: it
// never completed).
struct UsbTransfer {
  uint64_t submitFrame = 0;
  uint64_t completeFrame = 0;
  int64_t submitted = 0;
  int64_t completed = -1;
  std::string device;    // "bus.address"
  std::string endpoint;  // with its direction bit, "0x81"
  std::string transfer;  // control, bulk, interrupt, other
  std::string function;  // the URB function
  std::string setup;     // a control transfer's setup packet, hex
  std::string status;    // the completion's USBD status
  size_t length = 0;     // OUT data at the submission, IN data at the completion
  std::string data;      // its first bytes, hex
};

enum class Verdict { Passed, Failed, Error };

struct ScenarioResult {
  std::string name;  // the suite's name of the scenario (its file's)
  std::string file;
  std::string title;  // the scenario's own name and description
  std::string description;
  Verdict verdict = Verdict::Error;
  std::string error;    // Error: why the scenario could not be read or run
  double seconds = 0;   // wall-clock time of the run
  int64_t endTime = 0;  // virtual time at the run's end
  std::string output;   // the account as printed
  std::string capture;  // the --pcap file, if one was written
  std::vector<Outcome> outcomes;
  std::vector<AccountLine> lines;
  std::vector<Picture> pictures;
  std::vector<UsbTransfer> transfers;

  // The failed expectations' messages, in order.
  std::vector<std::string> Failures() const;
};

const char* VerdictName(Verdict verdict);  // "passed", "failed", "error"

std::string ResultToJson(const ScenarioResult& result);
// Throws std::exception on a text that is no result.
ScenarioResult ResultFromJson(const std::string& json);

}  // namespace quillsim
