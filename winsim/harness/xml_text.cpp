// winsim: text made safe for XML files (see xml_text.h).
#include "harness/xml_text.h"

namespace winsim {

std::string XmlText(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x80) {
      // Well-formed UTF-8 only: no overlong forms, surrogates or code
      // points past U+10FFFF, which an XML parser would refuse.
      const size_t length = c >= 0xC2 && c < 0xE0   ? 2
                            : c >= 0xE0 && c < 0xF0 ? 3
                            : c >= 0xF0 && c < 0xF5 ? 4
                                                    : 0;
      const auto at = [&text](size_t k) { return static_cast<unsigned char>(text[k]); };
      bool valid = length != 0 && i + length <= text.size();
      for (size_t k = 1; valid && k < length; ++k) {
        valid = (at(i + k) & 0xC0) == 0x80;
      }
      if (valid && length > 2) {
        const unsigned second = at(i + 1);
        valid = !(c == 0xE0 && second < 0xA0) && !(c == 0xED && second >= 0xA0) &&
                !(c == 0xF0 && second < 0x90) && !(c == 0xF4 && second >= 0x90);
      }
      if (!valid) {
        out += '?';
        continue;
      }
      out.append(text.substr(i, length));
      i += length - 1;
      continue;
    }
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\n':
        out += "&#10;";  // kept in attributes
        break;
      case '\r':
        out += "&#13;";
        break;
      case '\t':
        out += "&#9;";
        break;
      default:
        out += c < 0x20 ? '?' : static_cast<char>(c);
    }
  }
  return out;
}

}  // namespace winsim
