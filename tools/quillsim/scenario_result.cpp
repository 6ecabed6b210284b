// A scenario's result as JSON (scenario_result.h).
#include "scenario_result.h"

#include <nlohmann/json.hpp>

namespace quillsim {

using nlohmann::json;

std::vector<std::string> ScenarioResult::Failures() const {
  std::vector<std::string> failures;
  for (const Outcome& outcome : outcomes) {
    if (!outcome.failure.empty()) failures.push_back(outcome.name + ": " + outcome.failure);
  }
  return failures;
}

const char* VerdictName(Verdict verdict) {
  switch (verdict) {
    case Verdict::Passed:
      return "passed";
    case Verdict::Failed:
      return "failed";
    case Verdict::Error:
      return "error";
  }
  return "error";
}

std::string ResultToJson(const ScenarioResult& result) {
  json outcomes = json::array();
  for (const Outcome& outcome : result.outcomes) {
    outcomes.push_back({{"name", outcome.name},
                        {"failure", outcome.failure},
                        {"expected", outcome.expected},
                        {"actual", outcome.actual}});
  }
  json lines = json::array();
  for (const AccountLine& line : result.lines) {
    lines.push_back({{"time", line.time}, {"step", line.step}, {"text", line.text}});
  }
  json pictures = json::array();
  for (const Picture& picture : result.pictures) {
    pictures.push_back({{"time", picture.time},
                        {"step", picture.step},
                        {"lines", picture.lines},
                        {"svg", picture.svg}});
  }
  json transfers = json::array();
  for (const UsbTransfer& transfer : result.transfers) {
    transfers.push_back({{"submitFrame", transfer.submitFrame},
                         {"completeFrame", transfer.completeFrame},
                         {"submitted", transfer.submitted},
                         {"completed", transfer.completed},
                         {"device", transfer.device},
                         {"endpoint", transfer.endpoint},
                         {"transfer", transfer.transfer},
                         {"function", transfer.function},
                         {"setup", transfer.setup},
                         {"status", transfer.status},
                         {"length", transfer.length},
                         {"data", transfer.data}});
  }
  const json record = {{"name", result.name},
                       {"file", result.file},
                       {"title", result.title},
                       {"description", result.description},
                       {"verdict", VerdictName(result.verdict)},
                       {"error", result.error},
                       {"seconds", result.seconds},
                       {"endTime", result.endTime},
                       {"output", result.output},
                       {"capture", result.capture},
                       {"outcomes", outcomes},
                       {"lines", lines},
                       {"pictures", pictures},
                       {"transfers", transfers}};
  return record.dump(-1, ' ', false, json::error_handler_t::replace);
}

ScenarioResult ResultFromJson(const std::string& text) {
  const json record = json::parse(text);
  ScenarioResult result;
  result.name = record.at("name").get<std::string>();
  result.file = record.at("file").get<std::string>();
  result.title = record.at("title").get<std::string>();
  result.description = record.at("description").get<std::string>();
  const std::string verdict = record.at("verdict").get<std::string>();
  result.verdict = verdict == "passed"   ? Verdict::Passed
                   : verdict == "failed" ? Verdict::Failed
                                         : Verdict::Error;
  result.error = record.at("error").get<std::string>();
  result.seconds = record.at("seconds").get<double>();
  result.endTime = record.at("endTime").get<int64_t>();
  result.output = record.at("output").get<std::string>();
  result.capture = record.at("capture").get<std::string>();
  for (const json& outcome : record.at("outcomes")) {
    result.outcomes.push_back(
        {outcome.at("name").get<std::string>(), outcome.at("failure").get<std::string>(),
         outcome.at("expected").get<std::string>(), outcome.at("actual").get<std::string>()});
  }
  for (const json& line : record.at("lines")) {
    result.lines.push_back({line.at("time").get<int64_t>(), line.at("step").get<int>(),
                            line.at("text").get<std::string>()});
  }
  for (const json& picture : record.at("pictures")) {
    result.pictures.push_back({picture.at("time").get<int64_t>(), picture.at("step").get<int>(),
                               picture.at("lines").get<size_t>(),
                               picture.at("svg").get<std::string>()});
  }
  for (const json& transfer : record.at("transfers")) {
    UsbTransfer row;
    row.submitFrame = transfer.at("submitFrame").get<uint64_t>();
    row.completeFrame = transfer.at("completeFrame").get<uint64_t>();
    row.submitted = transfer.at("submitted").get<int64_t>();
    row.completed = transfer.at("completed").get<int64_t>();
    row.device = transfer.at("device").get<std::string>();
    row.endpoint = transfer.at("endpoint").get<std::string>();
    row.transfer = transfer.at("transfer").get<std::string>();
    row.function = transfer.at("function").get<std::string>();
    row.setup = transfer.at("setup").get<std::string>();
    row.status = transfer.at("status").get<std::string>();
    row.length = transfer.at("length").get<size_t>();
    row.data = transfer.at("data").get<std::string>();
    result.transfers.push_back(std::move(row));
  }
  return result;
}

}  // namespace quillsim
