// winsim: the error of a wrong machine description (machine/
// machine_description.h), thrown by the description parser and by the device
// models reading their own sections (usb/description_reader.h): the JSON path
// ("/usb/controllers/0/ports/2/device/vendorId") and what is wrong there.
#pragma once

#include <stdexcept>
#include <string>

namespace winsim {

class DescriptionError : public std::runtime_error {
 public:
  DescriptionError(std::string path, const std::string& message)
      : std::runtime_error((path.empty() ? std::string("/") : path) + ": " + message),
        path_(std::move(path)) {}
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace winsim
