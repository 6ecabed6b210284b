#include "scenario.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <sstream>
#include <system_error>

#include "crt/crt_heap.h"
#include "ground/verifier.h"
#include "kernel32/user_process.h"
#include "usb/models/q417.h"

namespace quillsim {
namespace {

using nlohmann::json;
namespace fs = std::filesystem;

// A JSON pointer's next token (RFC 6901): "~" and "/" escaped.
std::string Child(const std::string& path, const std::string& key) {
  std::string token;
  for (char c : key) token += c == '~' ? std::string("~0") : c == '/' ? "~1" : std::string(1, c);
  return path + "/" + token;
}

// " (did you mean \"Program\"?)", or "" when nothing is near.
std::string DidYouMean(const std::string& name, const std::vector<std::string>& candidates) {
  const std::string nearest = Nearest(name, candidates);
  return nearest.empty() ? "" : " (did you mean \"" + nearest + "\"?)";
}

void OnlyKeys(const json& value, const std::string& path, const std::set<std::string>& keys) {
  if (!value.is_object()) throw ScenarioError(path, "expected an object");
  for (const auto& [key, item] : value.items()) {
    if (keys.count(key) == 0) {
      throw ScenarioError(Child(path, key),
                          "unknown key" + DidYouMean(key, {keys.begin(), keys.end()}));
    }
  }
}

// "\"Enter\", \"Escape\" or \"Alt+F4\""
std::string Listed(const std::vector<std::string>& names) {
  std::string text;
  for (size_t i = 0; i < names.size(); ++i) {
    text += (i == 0 ? "" : i + 1 == names.size() ? " or " : ", ") + ("\"" + names[i] + "\"");
  }
  return text;
}

std::string String(const json& value, const std::string& path) {
  if (!value.is_string()) throw ScenarioError(path, "expected a string");
  return value.get<std::string>();
}

std::vector<std::string> Strings(const json& value, const std::string& path) {
  if (!value.is_array()) throw ScenarioError(path, "expected an array of strings");
  std::vector<std::string> texts;
  for (size_t i = 0; i < value.size(); ++i) {
    texts.push_back(String(value[i], Child(path, std::to_string(i))));
  }
  return texts;
}

// A string that must be one of `names`.
std::string OneOf(const json& value, const std::string& path,
                  const std::vector<std::string>& names) {
  const std::string name = String(value, path);
  if (std::find(names.begin(), names.end(), name) == names.end()) {
    throw ScenarioError(path, "expected " + Listed(names) + DidYouMean(name, names));
  }
  return name;
}

// "Complete!", {"contains": "Complete"} or {"regex": "^Complete"}.
TextMatch ParseTextMatch(const json& value, const std::string& path) {
  TextMatch match;
  if (value.is_string()) {
    match.text = value.get<std::string>();
    return match;
  }
  if (!value.is_object() || value.size() != 1) {
    throw ScenarioError(path, "expected a text, {\"contains\": TEXT} or {\"regex\": PATTERN}");
  }
  OnlyKeys(value, path, {"contains", "regex"});
  const bool contains = value.contains("contains");
  const std::string itemPath = Child(path, contains ? "contains" : "regex");
  match.mode = contains ? TextMatch::Mode::Contains : TextMatch::Mode::Regex;
  match.text = String(value[contains ? "contains" : "regex"], itemPath);
  if (!contains) {
    try {
      std::regex compiled(match.text, std::regex::ECMAScript);
    } catch (const std::regex_error& error) {
      throw ScenarioError(itemPath, std::string("not a regular expression: ") + error.what());
    }
  }
  return match;
}

int64_t Milliseconds(const json& value, const std::string& path) {
  if (!value.is_number_integer() || value.get<int64_t>() < 0) {
    throw ScenarioError(path, "expected milliseconds (an integer >= 0)");
  }
  return value.get<int64_t>();
}

// For a description's "expected one of "a", "b"" refusal, the name
// nearest to the value it refused.
std::string SuggestForDescription(const json& description, const winsim::DescriptionError& error) {
  const std::string message = error.what();
  const std::string listed = "expected one of ";
  const size_t at = message.find(listed);
  if (at == std::string::npos || error.Path().empty()) return "";
  std::vector<std::string> names;
  for (size_t open = message.find('"', at); open != std::string::npos;) {
    const size_t close = message.find('"', open + 1);
    if (close == std::string::npos) break;
    names.push_back(message.substr(open + 1, close - open - 1));
    open = message.find('"', close + 1);
  }
  try {
    const json& refused = description.at(json::json_pointer(error.Path()));
    return refused.is_string() ? DidYouMean(refused.get<std::string>(), names) : "";
  } catch (const json::exception&) {
    return "";
  }
}

winsim::MachineDescription ParseMachine(const json& value, const std::string& path,
                                        const fs::path& folder) {
  try {
    if (value.is_string()) {
      return winsim::LoadMachineDescription((folder / value.get<std::string>()).string());
    }
    return winsim::ParseMachineDescription(value.dump());
  } catch (const winsim::DescriptionError& error) {
    if (value.is_string()) {
      // The description's own path, in its own file, follows the scenario's.
      std::ifstream in(folder / value.get<std::string>());
      const json description = json::parse(in, nullptr, false);
      throw ScenarioError(path, error.what() + SuggestForDescription(description, error));
    }
    // Inline: one pointer from the scenario's root.
    const std::string message = error.what();
    const std::string reason = message.substr(message.find(": ") + 2);
    throw ScenarioError(path + error.Path(), reason + SuggestForDescription(value, error));
  }
}

// What the machine must have at a port that a scenario names.
enum class PortNeeds { Device, Q417 };

// Every port of the machine ("0/1", "1/1/2"...) whose device passes `keep`.
void CollectPorts(const std::vector<winsim::usb::PortScript>& ports, const std::string& prefix,
                  const std::function<bool(const winsim::usb::PortScript&)>& keep,
                  std::vector<std::string>& paths) {
  for (size_t i = 0; i < ports.size(); ++i) {
    const std::string path = prefix + "/" + std::to_string(i + 1);
    if (keep(ports[i])) paths.push_back(path);
    CollectPorts(ports[i].hubPorts, path, keep, paths);
  }
}

std::vector<std::string> PortsWhere(
    const winsim::MachineDescription& machine,
    const std::function<bool(const winsim::usb::PortScript&)>& keep) {
  std::vector<std::string> paths;
  for (size_t i = 0; i < machine.usb.controllers.size(); ++i) {
    CollectPorts(machine.usb.controllers[i].rootPorts, std::to_string(i), keep, paths);
  }
  return paths;
}

bool IsQ417(const winsim::usb::PortScript& port) {
  return port.device && port.device->model == winsim::usb::kQ417Model;
}

// Refuses a port the machine does not have, or has without the device the
// scenario means.
void CheckPort(const winsim::MachineDescription& machine, const std::string& port,
               const std::string& path, PortNeeds needs) {
  const winsim::usb::PortScript* script = PortAt(machine.usb, port);
  if (script == nullptr) {
    throw ScenarioError(
        path, "the machine has no port " + port +
                  DidYouMean(port, PortsWhere(machine, [](const auto&) { return true; })));
  }
  const auto withDevice = [](const winsim::usb::PortScript& p) { return p.device.has_value(); };
  if (!script->device) {
    throw ScenarioError(path, "port " + port + " of the machine is empty" +
                                  DidYouMean(port, PortsWhere(machine, withDevice)));
  }
  if (needs == PortNeeds::Q417 && !IsQ417(*script)) {
    throw ScenarioError(path, "the device on port " + port + " is a \"" + script->device->model +
                                  "\", not a Q417" + DidYouMean(port, PortsWhere(machine, IsQ417)));
  }
}

struct Context {
  const winsim::MachineDescription& machine;
  std::string device;  // the scenario's Q417 ("" when the machine has none)
};

// The port path of the first Q417 in the tree ("" when there is none).
std::string FindQ417(const std::vector<winsim::usb::PortScript>& ports, const std::string& prefix) {
  for (size_t i = 0; i < ports.size(); ++i) {
    const std::string path = prefix + "/" + std::to_string(i + 1);
    const auto& port = ports[i];
    if (port.device && port.device->model == winsim::usb::kQ417Model) return path;
    if (std::string below = FindQ417(port.hubPorts, path); !below.empty()) return below;
  }
  return "";
}

const std::map<std::string, ActionKind> kActionKeys = {
    {"answer", ActionKind::Answer},
    {"select", ActionKind::Select},
    {"type", ActionKind::Type},
    {"browse", ActionKind::Browse},
    {"cancelBrowse", ActionKind::CancelBrowse},
    {"click", ActionKind::Click},
    {"press", ActionKind::Press},
    {"closeBox", ActionKind::CloseBox},
    {"about", ActionKind::About},
    {"waitFor", ActionKind::WaitFor},
    {"waitIdle", ActionKind::WaitIdle},
    {"wait", ActionKind::Wait},
    {"unplug", ActionKind::Unplug},
    {"replug", ActionKind::Replug},
    {"sleep", ActionKind::Sleep},
    {"wake", ActionKind::Wake},
    {"minimize", ActionKind::Minimize},
    {"restore", ActionKind::Restore},
    {"failAllocation", ActionKind::FailAllocation},
    {"expect", ActionKind::Expect},
};

Expectations ParseExpectations(const json& value, const std::string& path, const Context& context,
                               bool atEnd);

// The buttons a `click` can find: the main dialog's, the about box's and
// a message box's.
const std::vector<std::string> kButtonNames = {"Program", "Refresh", "Browse", "Close",
                                               "OK",      "Cancel",  "Yes",    "No"};
const std::vector<std::string> kMessageBoxButtons = {"OK", "Cancel", "Yes", "No"};

// The port a condition names, or the scenario's Q417.
std::string ConditionPort(const json& value, const std::string& key, const std::string& path,
                          const Context& context) {
  const std::string itemPath = Child(path, key);
  std::string port = value.contains(key) ? String(value[key], itemPath) : context.device;
  if (port.empty()) throw ScenarioError(itemPath, "no Q417 in the machine: name a port");
  CheckPort(context.machine, port, itemPath, PortNeeds::Q417);
  return port;
}

WaitCondition ParseWaitCondition(const json& value, const std::string& path,
                                 const Context& context) {
  WaitCondition condition;
  if (value.is_string()) {
    condition.text.text = value.get<std::string>();
    return condition;
  }
  OnlyKeys(
      value, path,
      {"contains", "regex", "messageBox", "progress", "block", "updateMode", "port", "arrival"});
  int conditions = 0;
  for (const char* key : {"contains", "regex", "messageBox", "progress", "block", "updateMode"}) {
    conditions += value.contains(key) ? 1 : 0;
  }
  if (conditions != 1) {
    throw ScenarioError(path,
                        "expected a text or one of \"contains\", \"regex\", \"messageBox\", "
                        "\"progress\", \"block\", \"updateMode\"");
  }
  const auto number = [&](const char* key, int64_t least) {
    const json& item = value[key];
    if (!item.is_number_integer() || item.get<int64_t>() < least) {
      throw ScenarioError(Child(path, key), "expected an integer >= " + std::to_string(least));
    }
    return item.get<int64_t>();
  };
  const auto only = [&](const char* key, const char* with) {
    if (value.contains(key))
      throw ScenarioError(Child(path, key), std::string("only with ") + with);
  };
  if (!value.contains("block")) only("port", "\"block\"");
  if (!value.contains("updateMode")) only("arrival", "\"updateMode\"");
  if (value.contains("contains") || value.contains("regex")) {
    condition.text = ParseTextMatch(value, path);
  } else if (value.contains("messageBox")) {
    condition.kind = WaitCondition::Kind::MessageBox;
    condition.text = ParseTextMatch(value["messageBox"], Child(path, "messageBox"));
  } else if (value.contains("progress")) {
    condition.kind = WaitCondition::Kind::Progress;
    condition.number = number("progress", -32768);
  } else if (value.contains("block")) {
    condition.kind = WaitCondition::Kind::Block;
    condition.number = number("block", 1);
    condition.port = ConditionPort(value, "port", path, context);
  } else {
    condition.kind = WaitCondition::Kind::UpdateMode;
    condition.port = ConditionPort(value, "updateMode", path, context);
    if (value.contains("arrival")) condition.number = number("arrival", 1);
  }
  return condition;
}

Action ParseAction(const json& value, const std::string& path, const Context& context) {
  if (!value.is_object()) throw ScenarioError(path, "expected an object with one action");
  Action action;
  action.path = path;
  int actions = 0;
  for (const auto& [key, item] : value.items()) {
    const std::string itemPath = Child(path, key);
    if (key == "timeoutMs") {
      action.timeoutMs = Milliseconds(item, itemPath);
      continue;
    }
    if (key == "comment") {
      String(item, itemPath);
      continue;
    }
    auto found = kActionKeys.find(key);
    if (found == kActionKeys.end()) {
      std::vector<std::string> names = {"timeoutMs", "comment"};
      for (const auto& [name, kind] : kActionKeys) names.push_back(name);
      throw ScenarioError(itemPath, "unknown action" + DidYouMean(key, names));
    }
    ++actions;
    action.kind = found->second;
    switch (action.kind) {
      case ActionKind::Select:
        if (item.is_number_integer()) {
          action.index = item.get<int>();
          if (action.index < 0) throw ScenarioError(itemPath, "expected a position >= 0");
        } else {
          action.text = String(item, itemPath);
        }
        break;
      case ActionKind::Press:
        action.text = OneOf(item, itemPath, {"Enter", "Escape", "Alt+F4"});
        break;
      case ActionKind::Answer:
        action.text = OneOf(item, itemPath, kMessageBoxButtons);
        break;
      case ActionKind::Click:
        action.text = OneOf(item, itemPath, kButtonNames);
        break;
      case ActionKind::Unplug:
      case ActionKind::Replug:
        action.text = String(item, itemPath);
        CheckPort(context.machine, action.text, itemPath, PortNeeds::Device);
        break;
      case ActionKind::WaitFor:
        action.waitFor = ParseWaitCondition(item, itemPath, context);
        action.text = action.waitFor.text.text;
        break;
      case ActionKind::Wait:
        action.milliseconds = Milliseconds(item, itemPath);
        break;
      case ActionKind::About:
        action.text = item == true ? "menu" : item.is_string() ? item.get<std::string>() : "";
        if (action.text != "menu" && action.text != "command") {
          throw ScenarioError(itemPath, "expected true, \"menu\" or \"command\"");
        }
        break;
      case ActionKind::Sleep:
        action.text = item == true ? "S3" : item.is_string() ? item.get<std::string>() : "";
        if (action.text != "S1" && action.text != "S2" && action.text != "S3" &&
            action.text != "S4") {
          throw ScenarioError(itemPath, "expected true, \"S1\", \"S2\", \"S3\" or \"S4\"");
        }
        break;
      case ActionKind::FailAllocation: {
        OnlyKeys(item, itemPath, {"kind", "nth"});
        if (!item.contains("kind")) throw ScenarioError(Child(itemPath, "kind"), "required");
        action.allocation = OneOf(item["kind"], Child(itemPath, "kind"),
                                  {"GlobalAlloc", "Heap", "Pool", "Irp", "Mdl", "UserRequest"});
        const json nth = item.contains("nth") ? item["nth"] : json(1);
        if (!nth.is_number_integer() || nth.get<int64_t>() < 1 ||
            nth.get<int64_t>() > 1'000'000'000) {
          throw ScenarioError(Child(itemPath, "nth"), "expected an integer 1..1000000000");
        }
        action.index = nth.get<int>();
        break;
      }
      case ActionKind::Expect:
        action.expect =
            std::make_shared<const Expectations>(ParseExpectations(item, itemPath, context, false));
        break;
      case ActionKind::CancelBrowse:
      case ActionKind::CloseBox:
      case ActionKind::WaitIdle:
      case ActionKind::Wake:
      case ActionKind::Minimize:
      case ActionKind::Restore:
        if (item != true) throw ScenarioError(itemPath, "expected true");
        break;
      default:
        action.text = String(item, itemPath);
        break;
    }
  }
  if (actions != 1) throw ScenarioError(path, "expected exactly one action");
  return action;
}

std::optional<int64_t> Integer(const json& value, const std::string& key, const std::string& path,
                               int64_t least = 0) {
  if (!value.contains(key)) return std::nullopt;
  const json& item = value[key];
  if (!item.is_number_integer() || item.get<int64_t>() < least) {
    throw ScenarioError(Child(path, key), "expected an integer >= " + std::to_string(least));
  }
  return item.get<int64_t>();
}

// Hex bytes, spaces optional: "EE 00 00 03 E8" -> "EE 00 00 03 E8".
std::string HexBytes(const json& value, const std::string& path) {
  const std::string text = String(value, path);
  std::string digits;
  for (char c : text) {
    if (c == ' ') continue;
    if (!std::isxdigit(static_cast<unsigned char>(c))) {
      throw ScenarioError(path, "expected hex bytes (\"EE 00 00 03 E8\")");
    }
    digits += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  if (digits.size() % 2 != 0)
    throw ScenarioError(path, "expected hex bytes (an even count of digits)");
  std::string bytes;
  for (size_t i = 0; i < digits.size(); i += 2) bytes += (i ? " " : "") + digits.substr(i, 2);
  return bytes;
}

std::string FlashWord(const json& value, const std::string& path) {
  const std::string flash = String(value, path);
  if (flash != "image" && flash != "untouched") {
    throw ScenarioError(path, "expected \"image\" or \"untouched\"");
  }
  return flash;
}

RequestExpectations ParseRequests(const json& value, const std::string& path,
                                  const Context& context) {
  OnlyKeys(value, path,
           {"port", "arrival", "triggerRequests", "outTransfers", "pipeResets", "headers", "header",
            "blocks", "blockBytes", "sequence"});
  RequestExpectations expect;
  const std::string portPath = Child(path, "port");
  expect.port = value.contains("port") ? String(value["port"], portPath) : context.device;
  if (expect.port.empty()) throw ScenarioError(portPath, "no Q417 in the machine: name a port");
  CheckPort(context.machine, expect.port, portPath, PortNeeds::Device);
  // Any device counts its update-mode requests; only a Q417 goes into
  // update mode to receive the rest.
  if (!IsQ417(*PortAt(context.machine.usb, expect.port))) {
    for (const auto& [key, item] : value.items()) {
      if (key == "port" || key == "triggerRequests") continue;
      throw ScenarioError(Child(path, key),
                          "the device on port " + expect.port +
                              " is no Q417: it never goes into update mode, so it has no " + key +
                              " (only triggerRequests)");
    }
  }
  if (auto arrival = Integer(value, "arrival", path, 1)) expect.arrival = *arrival;
  expect.triggerRequests = Integer(value, "triggerRequests", path);
  expect.outTransfers = Integer(value, "outTransfers", path);
  expect.pipeResets = Integer(value, "pipeResets", path);
  expect.headers = Integer(value, "headers", path);
  if (value.contains("header")) expect.header = HexBytes(value["header"], Child(path, "header"));
  if (value.contains("blocks")) {
    const std::string blocksPath = Child(path, "blocks");
    if (!value["blocks"].is_array()) throw ScenarioError(blocksPath, "expected an array of blocks");
    expect.blocks.emplace();
    for (size_t i = 0; i < value["blocks"].size(); ++i) {
      const json& item = value["blocks"][i];
      const std::string itemPath = Child(blocksPath, std::to_string(i));
      RequestExpectations::Block block;
      if (item.is_object()) {
        OnlyKeys(item, itemPath, {"count", "bytes"});
        if (!item.contains("count")) throw ScenarioError(Child(itemPath, "count"), "required");
        block.count = *Integer(item, "count", itemPath);
        if (item.contains("bytes")) block.bytes = HexBytes(item["bytes"], Child(itemPath, "bytes"));
      } else if (item.is_number_integer() && item.get<int64_t>() >= 0) {
        block.count = item.get<int64_t>();
      } else {
        throw ScenarioError(itemPath, "expected a count or { \"count\", \"bytes\" }");
      }
      expect.blocks->push_back(block);
    }
  }
  if (value.contains("blockBytes")) {
    if (value["blockBytes"] != "image") {
      throw ScenarioError(Child(path, "blockBytes"), "expected \"image\"");
    }
    expect.blocksCarryImage = true;
  }
  if (value.contains("sequence")) {
    expect.sequence = Strings(value["sequence"], Child(path, "sequence"));
  }
  return expect;
}

// The names a control expectation takes besides a button's text.
const std::vector<std::string> kControlNames = {"deviceList", "fileBox", "progressBar", "Program",
                                                "Refresh",    "Browse",  "Close",       "OK"};

Expectations ParseExpectations(const json& value, const std::string& path, const Context& context,
                               bool atEnd) {
  const std::string& device = context.device;
  std::set<std::string> keys = {"messageBoxes", "status",    "flash",    "deviceList", "trace",
                                "controls",     "selection", "progress", "requests",   "minimized"};
  if (atEnd) keys.insert({"findings", "applicationEnded"});
  if (!value.is_object()) throw ScenarioError(path, "expected an object");
  for (const auto& [key, item] : value.items()) {
    if (keys.count(key) == 0) {
      throw ScenarioError(Child(path, key),
                          key == "findings" || key == "applicationEnded"
                              ? "holds only at the end (/expect)"
                              : "unknown key" + DidYouMean(key, {keys.begin(), keys.end()}));
    }
  }
  Expectations expect;
  if (value.contains("messageBoxes")) {
    const std::string boxesPath = Child(path, "messageBoxes");
    if (!value["messageBoxes"].is_array()) throw ScenarioError(boxesPath, "expected an array");
    expect.messageBoxes.emplace();
    for (size_t i = 0; i < value["messageBoxes"].size(); ++i) {
      expect.messageBoxes->push_back(
          ParseTextMatch(value["messageBoxes"][i], Child(boxesPath, std::to_string(i))));
    }
  }
  if (value.contains("status")) expect.status = String(value["status"], Child(path, "status"));
  if (value.contains("flash")) {
    const json& flash = value["flash"];
    const std::string flashPath = Child(path, "flash");
    if (flash.is_object()) {
      for (const auto& [port, item] : flash.items()) {
        CheckPort(context.machine, port, Child(flashPath, port), PortNeeds::Q417);
        expect.flashes[port] = FlashWord(item, Child(flashPath, port));
      }
    } else {
      expect.flash = FlashWord(flash, flashPath);
      if (device.empty()) throw ScenarioError(flashPath, "needs a Q417 in the machine");
      expect.flashes[device] = *expect.flash;
    }
  }
  if (value.contains("deviceList")) {
    expect.deviceList = Strings(value["deviceList"], Child(path, "deviceList"));
  }
  if (value.contains("trace")) expect.trace = Strings(value["trace"], Child(path, "trace"));
  if (value.contains("findings")) {
    expect.findings = Strings(value["findings"], Child(path, "findings"));
    for (size_t i = 0; i < expect.findings.size(); ++i) {
      const std::string& rule = expect.findings[i];
      const auto& rules = VerifierRules();
      if (std::find(rules.begin(), rules.end(), rule) == rules.end()) {
        throw ScenarioError(Child(Child(path, "findings"), std::to_string(i)),
                            "no verifier rule \"" + rule + "\"" + DidYouMean(rule, rules));
      }
    }
  }
  if (value.contains("applicationEnded")) {
    if (!value["applicationEnded"].is_boolean()) {
      throw ScenarioError(Child(path, "applicationEnded"), "expected true or false");
    }
    expect.applicationEnded = value["applicationEnded"].get<bool>();
  }
  if (value.contains("controls")) {
    const std::string controlsPath = Child(path, "controls");
    if (!value["controls"].is_object()) throw ScenarioError(controlsPath, "expected an object");
    for (const auto& [name, item] : value["controls"].items()) {
      const std::string itemPath = Child(controlsPath, name);
      if (std::find(kControlNames.begin(), kControlNames.end(), name) == kControlNames.end()) {
        throw ScenarioError(itemPath,
                            "expected deviceList, fileBox, progressBar or a button: "
                            "Program, Refresh, Browse, Close, OK" +
                                DidYouMean(name, kControlNames));
      }
      if (item != "enabled" && item != "disabled") {
        throw ScenarioError(itemPath, "expected \"enabled\" or \"disabled\"");
      }
      expect.controls[name] = item == "enabled";
    }
  }
  if (value.contains("selection")) {
    const json& selection = value["selection"];
    if (selection.is_number_integer() && selection.get<int64_t>() >= -1) {
      expect.selectionIndex = selection.get<int64_t>();
    } else if (selection.is_string()) {
      expect.selectionText = selection.get<std::string>();
    } else {
      throw ScenarioError(Child(path, "selection"),
                          "expected an item's text or its position (-1: none)");
    }
  }
  if (value.contains("progress")) {
    const std::string progressPath = Child(path, "progress");
    OnlyKeys(value["progress"], progressPath, {"pos", "low", "high"});
    expect.progress =
        ProgressExpectations{Integer(value["progress"], "pos", progressPath, -32768),
                             Integer(value["progress"], "low", progressPath, -32768),
                             Integer(value["progress"], "high", progressPath, -32768)};
  }
  if (value.contains("minimized")) {
    if (!value["minimized"].is_boolean()) {
      throw ScenarioError(Child(path, "minimized"), "expected true or false");
    }
    expect.minimized = value["minimized"].get<bool>();
  }
  if (value.contains("requests")) {
    const json& requests = value["requests"];
    const std::string requestsPath = Child(path, "requests");
    if (requests.is_array()) {
      for (size_t i = 0; i < requests.size(); ++i) {
        expect.requests.push_back(
            ParseRequests(requests[i], Child(requestsPath, std::to_string(i)), context));
      }
    } else {
      expect.requests.push_back(ParseRequests(requests, requestsPath, context));
    }
  }
  return expect;
}

}  // namespace

Scenario ParseScenario(const std::string& text, const fs::path& folder, const fs::path& scratch) {
  json root;
  try {
    root = json::parse(text);
  } catch (const json::exception& error) {  // a syntax error or a number out of range
    throw ScenarioError("", std::string("not valid JSON: ") + error.what());
  }
  OnlyKeys(root, "",
           {"name", "description", "machine", "files", "device", "image", "script", "expect"});
  Scenario scenario;
  if (root.contains("name")) scenario.name = String(root["name"], "/name");
  if (root.contains("description")) {
    scenario.description = String(root["description"], "/description");
  }
  if (!root.contains("machine")) throw ScenarioError("/machine", "required");
  scenario.machine = ParseMachine(root["machine"], "/machine", folder);

  if (root.contains("files")) {
    const json& files = root["files"];
    if (!files.is_object()) throw ScenarioError("/files", "expected an object");
    for (const auto& [name, item] : files.items()) {
      const std::string path = Child("/files", name);
      // "." and ".." name folders, and a NUL would cut the host path short.
      if (name.empty() || name == "." || name == ".." ||
          name.find_first_of(std::string("/\\\0", 3)) != std::string::npos) {
        throw ScenarioError(path, "expected a plain file name");
      }
      if (item.is_string()) {
        // The non-throwing forms: a name the host cannot look up (too long,
        // say) is a file that is not there, not an error escaping the parser.
        std::error_code error;
        scenario.files[name] =
            fs::absolute(folder / item.get<std::string>(), error).lexically_normal();
        if (error || !fs::is_regular_file(scenario.files[name], error)) {
          throw ScenarioError(path, "no such file: " + scenario.files[name].string());
        }
      } else {
        OnlyKeys(item, path, {"text"});
        if (!item.contains("text")) throw ScenarioError(Child(path, "text"), "required");
        const std::string content = String(item["text"], Child(path, "text"));
        std::error_code error;
        fs::create_directories(scratch, error);  // a failure shows as the write's
        scenario.files[name] = scratch / name;
        std::ofstream out(scenario.files[name], std::ios::binary | std::ios::trunc);
        out << content;
        out.close();
        if (!out) {
          throw ScenarioError(path, "cannot write " + scenario.files[name].string());
        }
      }
    }
  }

  if (root.contains("device")) {
    scenario.device = String(root["device"], "/device");
    CheckPort(scenario.machine, scenario.device, "/device", PortNeeds::Q417);
  } else {
    for (size_t i = 0; i < scenario.machine.usb.controllers.size() && scenario.device.empty();
         ++i) {
      scenario.device = FindQ417(scenario.machine.usb.controllers[i].rootPorts, std::to_string(i));
    }
  }
  if (root.contains("image")) {
    scenario.image = String(root["image"], "/image");
    if (scenario.files.count(scenario.image) == 0) {
      throw ScenarioError("/image", "not a name of /files");
    }
  } else if (scenario.files.size() == 1) {
    scenario.image = scenario.files.begin()->first;
  }

  if (!root.contains("script") || !root["script"].is_array()) {
    throw ScenarioError("/script", "expected an array of actions");
  }
  const Context context{scenario.machine, scenario.device};
  for (size_t i = 0; i < root["script"].size(); ++i) {
    scenario.script.push_back(
        ParseAction(root["script"][i], "/script/" + std::to_string(i), context));
    const Action& action = scenario.script.back();
    if (action.expect && !action.expect->flashes.empty() && scenario.image.empty()) {
      throw ScenarioError(Child(Child(action.path, "expect"), "flash"), "needs an /image file");
    }
  }
  if (root.contains("expect")) {
    scenario.expect = ParseExpectations(root["expect"], "/expect", context, true);
  }
  if (!scenario.expect.flashes.empty() && scenario.image.empty()) {
    throw ScenarioError("/expect/flash", "needs an /image file");
  }
  return scenario;
}

Scenario LoadScenario(const fs::path& file, const fs::path& scratch) {
  std::ifstream in(file, std::ios::binary);
  if (!in) throw ScenarioError("", "cannot read " + file.string());
  std::stringstream text;
  text << in.rdbuf();
  return ParseScenario(text.str(), fs::absolute(file).parent_path(), scratch);
}

bool TextMatch::Matches(const std::string& shown) const {
  switch (mode) {
    case Mode::Exact:
      return shown == text;
    case Mode::Contains:
      return shown.find(text) != std::string::npos;
    case Mode::Regex:
      return std::regex_search(shown, std::regex(text, std::regex::ECMAScript));
  }
  return false;
}

std::string TextMatch::Describe() const {
  std::string quoted;
  for (char c : text) quoted += c == '\n' ? std::string("\\n") : std::string(1, c);
  switch (mode) {
    case Mode::Exact:
      return "\"" + quoted + "\"";
    case Mode::Contains:
      return "a text containing \"" + quoted + "\"";
    case Mode::Regex:
      return "a text matching /" + quoted + "/";
  }
  return "";
}

const winsim::usb::PortScript* PortAt(const winsim::usb::UsbTreeScript& tree,
                                      const std::string& path) {
  std::vector<int> numbers;
  size_t start = 0;
  while (start <= path.size()) {
    const size_t end = std::min(path.find('/', start), path.size());
    const std::string part = path.substr(start, end - start);
    if (part.empty() || part.size() > 3 ||
        part.find_first_not_of("0123456789") != std::string::npos) {
      return nullptr;
    }
    numbers.push_back(std::stoi(part));
    start = end + 1;
  }
  if (numbers.size() < 2 || numbers[0] >= static_cast<int>(tree.controllers.size())) return nullptr;
  const std::vector<winsim::usb::PortScript>* ports = &tree.controllers[numbers[0]].rootPorts;
  const winsim::usb::PortScript* port = nullptr;
  for (size_t i = 1; i < numbers.size(); ++i) {
    if (numbers[i] < 1 || numbers[i] > static_cast<int>(ports->size())) return nullptr;
    port = &(*ports)[numbers[i] - 1];
    ports = &port->hubPorts;
  }
  return port;
}

std::string Nearest(const std::string& name, const std::vector<std::string>& candidates) {
  const auto lower = [](std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
  };
  const std::string a = lower(name);
  std::string best;
  size_t bestDistance = 0;
  for (const std::string& candidate : candidates) {
    const std::string b = lower(candidate);
    // Levenshtein distance, one row at a time.
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
      size_t diagonal = row[0];
      row[0] = i;
      for (size_t j = 1; j <= b.size(); ++j) {
        const size_t above = row[j];
        row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
        diagonal = above;
      }
    }
    if (best.empty() || row[b.size()] < bestDistance) {
      best = candidate;
      bestDistance = row[b.size()];
    }
  }
  return best;
}

const std::vector<std::string>& VerifierRules() {
  static const std::vector<std::string> rules = [] {
    namespace r = winsim::rule;
    std::vector<std::string> names;
    for (std::string_view name : {r::kPoolUntagged,
                                  r::kPoolLeak,
                                  r::kPoolCorruption,
                                  r::kPoolBadFree,
                                  r::kPoolIrql,
                                  r::kIrpDoubleCompletion,
                                  r::kIrpResentInFlight,
                                  r::kIrpCompletedPending,
                                  r::kDispatchStatusMismatch,
                                  r::kPendingNotMarked,
                                  r::kMarkedNotPending,
                                  r::kIrpLost,
                                  r::kIrql,
                                  r::kDriverIrpCompleted,
                                  r::kIrpBadFree,
                                  r::kIrpLeak,
                                  r::kStackOverflow,
                                  r::kRemoveLockUnmatched,
                                  r::kRemoveLockHeld,
                                  r::kDeviceInitializing,
                                  r::kDeletedTwice,
                                  r::kDeviceLeak,
                                  r::kDeletedBeforeRemove,
                                  r::kInformationTooLarge,
                                  r::kSystemBufferUnwritten,
                                  r::kMdlRange,
                                  r::kMdlNotLocked,
                                  r::kMdlPagedPool,
                                  r::kMdlLeak,
                                  r::kMdlZeroLength,
                                  r::kTransferWithoutBuffer,
                                  r::kDebugBreak,
                                  r::kHang,
                                  r::kSystemSetPowerFailed,
                                  r::kHeapLeak,
                                  r::kHandleLeak,
                                  r::kInvalidHandle,
                                  r::kGlobalLeak,
                                  r::kGlobalBadFree,
                                  r::kInvalidParameter}) {
      names.emplace_back(name);
    }
    return names;
  }();
  return rules;
}

std::string ResolveFile(const Scenario& scenario, const std::string& name) {
  auto found = scenario.files.find(name);
  return found != scenario.files.end() ? found->second.string() : name;
}

}  // namespace quillsim
