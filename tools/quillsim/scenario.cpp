#include "scenario.h"

#include <cctype>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <system_error>

#include "usb/models/q417.h"

namespace quillsim {
namespace {

using nlohmann::json;
namespace fs = std::filesystem;

std::string Child(const std::string& path, const std::string& key) { return path + "/" + key; }

void OnlyKeys(const json& value, const std::string& path, const std::set<std::string>& keys) {
  if (!value.is_object()) throw ScenarioError(path, "expected an object");
  for (const auto& [key, item] : value.items()) {
    if (keys.count(key) == 0) throw ScenarioError(Child(path, key), "unknown key");
  }
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

int64_t Milliseconds(const json& value, const std::string& path) {
  if (!value.is_number_integer() || value.get<int64_t>() < 0) {
    throw ScenarioError(path, "expected milliseconds (an integer >= 0)");
  }
  return value.get<int64_t>();
}

winsim::MachineDescription ParseMachine(const json& value, const std::string& path,
                                        const fs::path& folder) {
  try {
    if (value.is_string()) {
      return winsim::LoadMachineDescription((folder / value.get<std::string>()).string());
    }
    return winsim::ParseMachineDescription(value.dump());
  } catch (const winsim::DescriptionError& error) {
    // The description's own path follows the scenario's.
    throw ScenarioError(path, error.what());
  }
}

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

Expectations ParseExpectations(const json& value, const std::string& path,
                               const std::string& device, bool atEnd);

Action ParseAction(const json& value, const std::string& path, const std::string& device) {
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
    if (found == kActionKeys.end()) throw ScenarioError(itemPath, "unknown action");
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
        action.text = String(item, itemPath);
        if (action.text != "Enter" && action.text != "Escape" && action.text != "Alt+F4") {
          throw ScenarioError(itemPath, "expected \"Enter\", \"Escape\" or \"Alt+F4\"");
        }
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
        action.allocation = String(item["kind"], Child(itemPath, "kind"));
        if (action.allocation != "GlobalAlloc" && action.allocation != "Heap" &&
            action.allocation != "Pool" && action.allocation != "Irp" &&
            action.allocation != "Mdl" && action.allocation != "UserRequest") {
          throw ScenarioError(Child(itemPath, "kind"),
                              "expected \"GlobalAlloc\", \"Heap\", \"Pool\", \"Irp\", "
                              "\"Mdl\" or \"UserRequest\"");
        }
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
            std::make_shared<const Expectations>(ParseExpectations(item, itemPath, device, false));
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
                                  const std::string& device) {
  OnlyKeys(value, path,
           {"port", "triggerRequests", "outTransfers", "pipeResets", "headers", "header", "blocks",
            "blockBytes", "sequence"});
  RequestExpectations expect;
  expect.port = value.contains("port") ? String(value["port"], Child(path, "port")) : device;
  if (expect.port.empty())
    throw ScenarioError(Child(path, "port"), "no Q417 in the machine: name a port");
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
const std::set<std::string> kControlNames = {"deviceList", "fileBox", "progressBar", "Program",
                                             "Refresh",    "Browse",  "Close",       "OK"};

Expectations ParseExpectations(const json& value, const std::string& path,
                               const std::string& device, bool atEnd) {
  std::set<std::string> keys = {"messageBoxes", "status",    "flash",    "deviceList", "trace",
                                "controls",     "selection", "progress", "requests",   "minimized"};
  if (atEnd) keys.insert({"findings", "applicationEnded"});
  if (!value.is_object()) throw ScenarioError(path, "expected an object");
  for (const auto& [key, item] : value.items()) {
    if (keys.count(key) == 0) {
      throw ScenarioError(Child(path, key), key == "findings" || key == "applicationEnded"
                                                ? "holds only at the end (/expect)"
                                                : "unknown key");
    }
  }
  Expectations expect;
  if (value.contains("messageBoxes")) {
    expect.messageBoxes = Strings(value["messageBoxes"], Child(path, "messageBoxes"));
  }
  if (value.contains("status")) expect.status = String(value["status"], Child(path, "status"));
  if (value.contains("flash")) {
    const json& flash = value["flash"];
    const std::string flashPath = Child(path, "flash");
    if (flash.is_object()) {
      for (const auto& [port, item] : flash.items()) {
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
      if (kControlNames.count(name) == 0) {
        throw ScenarioError(itemPath,
                            "expected deviceList, fileBox, progressBar or a button: "
                            "Program, Refresh, Browse, Close, OK");
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
            ParseRequests(requests[i], Child(requestsPath, std::to_string(i)), device));
      }
    } else {
      expect.requests.push_back(ParseRequests(requests, requestsPath, device));
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
  for (size_t i = 0; i < root["script"].size(); ++i) {
    scenario.script.push_back(
        ParseAction(root["script"][i], "/script/" + std::to_string(i), scenario.device));
    const Action& action = scenario.script.back();
    if (action.expect && !action.expect->flashes.empty() && scenario.image.empty()) {
      throw ScenarioError(Child(action.path, "expect/flash"), "needs an /image file");
    }
  }
  if (root.contains("expect")) {
    scenario.expect = ParseExpectations(root["expect"], "/expect", scenario.device, true);
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

std::string ResolveFile(const Scenario& scenario, const std::string& name) {
  auto found = scenario.files.find(name);
  return found != scenario.files.end() ? found->second.string() : name;
}

}  // namespace quillsim
