// winsim: text made safe for the XML files the harness and its tools write
// (SVG snapshots, JUnit reports).
#pragma once

#include <string>
#include <string_view>

namespace winsim {

// Text as XML 1.0 character data, fit for element text and quoted
// attributes: markup characters escaped, line ends and tabs as character
// references (an attribute keeps them), and other control characters XML
// cannot carry, or bytes that are not UTF-8, as '?'.
std::string XmlText(std::string_view text);

}  // namespace winsim
