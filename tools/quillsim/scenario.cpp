#include "scenario.h"

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
};

Action ParseAction(const json& value, const std::string& path) {
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
      case ActionKind::CancelBrowse:
      case ActionKind::CloseBox:
      case ActionKind::About:
      case ActionKind::WaitIdle:
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

Expectations ParseExpectations(const json& value, const std::string& path) {
  OnlyKeys(
      value, path,
      {"messageBoxes", "status", "flash", "deviceList", "trace", "findings", "applicationEnded"});
  Expectations expect;
  if (value.contains("messageBoxes")) {
    expect.messageBoxes = Strings(value["messageBoxes"], Child(path, "messageBoxes"));
  }
  if (value.contains("status")) expect.status = String(value["status"], Child(path, "status"));
  if (value.contains("flash")) {
    expect.flash = String(value["flash"], Child(path, "flash"));
    if (*expect.flash != "image" && *expect.flash != "untouched") {
      throw ScenarioError(Child(path, "flash"), "expected \"image\" or \"untouched\"");
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
    scenario.script.push_back(ParseAction(root["script"][i], "/script/" + std::to_string(i)));
  }
  if (root.contains("expect")) scenario.expect = ParseExpectations(root["expect"], "/expect");
  if (scenario.expect.flash && (scenario.device.empty() || scenario.image.empty())) {
    throw ScenarioError("/expect/flash", "needs a Q417 in the machine and an /image file");
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
