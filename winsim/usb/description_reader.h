// winsim: reading machine descriptions (machine/machine_description.h): the checked
// JSON object and the readers that device models (usb/models/models.h)
// share to read a section of their own.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <sstream>
#include <string>
#include <vector>

#include "usb/description_error.h"
#include "usb/device_script.h"

namespace winsim::description {

using nlohmann::json;

// One JSON object being read: every key must be known; values are checked
// with their path.
class Object {
 public:
  Object(const json& value, std::string path, std::initializer_list<const char*> keys)
      : Object(value, std::move(path), std::vector<std::string>(keys.begin(), keys.end())) {}

  Object(const json& value, std::string path, const std::vector<std::string>& keys)
      : value_(value), path_(std::move(path)) {
    if (!value_.is_object()) {
      throw DescriptionError(path_, "expected an object");
    }
    for (const auto& [key, item] : value_.items()) {
      bool known = false;
      for (const std::string& allowed : keys) {
        known = known || key == allowed;
      }
      if (!known) {
        throw DescriptionError(path_ + "/" + key, "unknown key");
      }
    }
  }

  bool Has(const char* key) const { return value_.contains(key); }
  const json& At(const char* key) const { return value_.at(key); }
  std::string PathOf(const char* key) const { return path_ + "/" + key; }
  const std::string& Path() const { return path_; }

  int64_t Integer(const char* key, int64_t minimum, int64_t maximum, int64_t fallback) const {
    if (!Has(key)) {
      return fallback;
    }
    return IntegerValue(At(key), PathOf(key), minimum, maximum);
  }

  static int64_t IntegerValue(const json& item, const std::string& path, int64_t minimum,
                              int64_t maximum) {
    // Numbers, or hexadecimal strings ("0xC0000001") for statuses and ids.
    int64_t value = 0;
    bool ok = false;
    if (item.is_number_integer()) {
      value = item.get<int64_t>();
      ok = true;
    } else if (item.is_string()) {
      const std::string text = item.get<std::string>();
      if (text.size() > 2 && text.size() <= 10 && text[0] == '0' &&
          (text[1] == 'x' || text[1] == 'X') &&
          text.find_first_not_of("0123456789abcdefABCDEF", 2) == std::string::npos) {
        value = static_cast<int64_t>(std::stoull(text.substr(2), nullptr, 16));
        ok = true;
      }
    }
    if (!ok || value < minimum || value > maximum) {
      std::ostringstream message;
      message << "expected an integer " << minimum << ".." << maximum;
      throw DescriptionError(path, message.str());
    }
    return value;
  }

  bool Boolean(const char* key, bool fallback) const {
    if (!Has(key)) {
      return fallback;
    }
    if (!At(key).is_boolean()) {
      throw DescriptionError(PathOf(key), "expected true or false");
    }
    return At(key).get<bool>();
  }

  std::string String(const char* key, const std::string& fallback, size_t maximum = 255) const {
    if (!Has(key)) {
      return fallback;
    }
    if (!At(key).is_string()) {
      throw DescriptionError(PathOf(key), "expected a string");
    }
    std::string text = At(key).get<std::string>();
    if (text.size() > maximum) {
      throw DescriptionError(PathOf(key), "longer than " + std::to_string(maximum) + " characters");
    }
    return text;
  }

  template <typename T>
  T Choice(const char* key, std::initializer_list<std::pair<const char*, T>> choices,
           T fallback) const {
    if (!Has(key)) {
      return fallback;
    }
    std::string names;
    if (At(key).is_string()) {
      const std::string text = At(key).get<std::string>();
      for (const auto& [name, value] : choices) {
        if (text == name) {
          return value;
        }
      }
    }
    for (const auto& [name, value] : choices) {
      names += (names.empty() ? "\"" : ", \"") + std::string(name) + "\"";
    }
    throw DescriptionError(PathOf(key), "expected one of " + names);
  }

  // Calls read(element, path) for each element of an array.
  void Array(const char* key, size_t maximum,
             const std::function<void(const json&, const std::string&)>& read) const {
    if (!Has(key)) {
      return;
    }
    if (!At(key).is_array()) {
      throw DescriptionError(PathOf(key), "expected an array");
    }
    if (At(key).size() > maximum) {
      throw DescriptionError(PathOf(key),
                             "expected at most " + std::to_string(maximum) + " elements");
    }
    for (size_t i = 0; i < At(key).size(); ++i) {
      read(At(key)[i], PathOf(key) + "/" + std::to_string(i));
    }
  }

 private:
  const json& value_;
  std::string path_;
};

uint32_t Ordinal(const json& item, const std::string& path);
usb::Failure ReadFailure(const json& item, const std::string& path);
// The keys every device takes (each model's section among them).
const std::vector<std::string>& DeviceKeys();
// The identity and behaviour keys every device takes, into script.
void ReadDeviceFields(const Object& object, usb::DeviceScript& script);

}  // namespace winsim::description
