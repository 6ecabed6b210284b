// winsim: SVG snapshots of windows (see snapshot.h).
#include "harness/snapshot.h"

#include <commctrl.h>

#include <algorithm>
#include <cstdio>
#include <sstream>

#include "harness/xml_text.h"
#include "user32/user32_internal.h"

namespace winsim {

using namespace user32;

namespace {

constexpr const char* kFace = "#c0c0c0";
constexpr const char* kLight = "#ffffff";
constexpr const char* kShadow = "#808080";
constexpr const char* kDark = "#000000";
constexpr const char* kCaption = "#000080";
constexpr const char* kFont =
    "font-family=\"MS Sans Serif, Microsoft Sans Serif, Tahoma, Arial, sans-serif\" "
    "font-size=\"11\"";

std::string Colour(uint32_t rgb) {
  char text[8];
  std::snprintf(text, sizeof text, "#%06x", rgb & 0xFFFFFF);
  return text;
}

class Svg {
 public:
  void Rect(int x, int y, int w, int h, std::string_view fill, std::string_view stroke = "") {
    if (w <= 0 || h <= 0) return;
    out_ << "<rect x=\"" << x << "\" y=\"" << y << "\" width=\"" << w << "\" height=\"" << h
         << "\" fill=\"" << fill << "\"";
    if (!stroke.empty()) out_ << " stroke=\"" << stroke << "\"";
    out_ << "/>\n";
  }
  void Line(int x1, int y1, int x2, int y2, std::string_view colour) {
    out_ << "<line x1=\"" << x1 << "\" y1=\"" << y1 << "\" x2=\"" << x2 << "\" y2=\"" << y2
         << "\" stroke=\"" << colour << "\"/>\n";
  }
  // A 3D frame: raised (light top-left) or sunken.
  void Bevel(int x, int y, int w, int h, bool raised) {
    const char* topLeft = raised ? kLight : kShadow;
    const char* bottomRight = raised ? kDark : kLight;
    Line(x, y, x + w - 1, y, topLeft);
    Line(x, y, x, y + h - 1, topLeft);
    Line(x, y + h - 1, x + w - 1, y + h - 1, bottomRight);
    Line(x + w - 1, y, x + w - 1, y + h - 1, bottomRight);
  }
  void Text(int x, int y, std::string_view text, std::string_view anchor, std::string_view colour,
            bool bold = false) {
    if (text.empty()) return;
    out_ << "<text x=\"" << x << "\" y=\"" << y << "\" " << kFont << " fill=\"" << colour
         << "\" text-anchor=\"" << anchor << "\"" << (bold ? " font-weight=\"bold\"" : "") << ">"
         << XmlText(text) << "</text>\n";
  }
  void Raw(std::string_view text) { out_ << text; }
  std::string Str() const { return out_.str(); }

 private:
  std::ostringstream out_;
};

std::string ShownLabel(std::string text) {
  // '&' marks a mnemonic ("&&" a real ampersand); the snapshot shows the text.
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '&' && i + 1 < text.size()) ++i;
    out += text[i];
  }
  return out;
}

// Pixels of a picture as rectangles, one per run of one colour in a row.
void DrawPixels(Svg& svg, int x, int y, int width, int height,
                const std::function<bool(int, int, uint32_t&)>& pixel) {
  for (int row = 0; row < height; ++row) {
    int column = 0;
    while (column < width) {
      uint32_t colour = 0;
      if (!pixel(column, row, colour)) {
        ++column;
        continue;
      }
      int end = column + 1;
      uint32_t next = 0;
      while (end < width && pixel(end, row, next) && next == colour) ++end;
      svg.Rect(x + column, y + row, end - column, 1, Colour(colour));
      column = end;
    }
  }
}

void DrawIconAt(Svg& svg, HICON handle, int x, int y) {
  const Icon* icon = FindIcon(handle);
  if (icon == nullptr) return;
  if (icon->image) {
    const resources::IconImage& image = *icon->image;
    DrawPixels(svg, x, y, image.width, image.height, [&](int px, int py, uint32_t& colour) {
      if (image.TransparentAt(px, py)) return false;
      colour = image.ColorAt(px, py);
      return true;
    });
    return;
  }
  // The system's icons, drawn as their symbols.
  if (icon->name == "IDI_EXCLAMATION") {
    svg.Raw("<polygon points=\"" + std::to_string(x + 16) + "," + std::to_string(y + 2) + " " +
            std::to_string(x + 31) + "," + std::to_string(y + 29) + " " + std::to_string(x + 1) +
            "," + std::to_string(y + 29) + "\" fill=\"#ffff00\" stroke=\"#000000\"/>\n");
    svg.Text(x + 16, y + 26, "!", "middle", kDark, true);
  } else {
    const bool hand = icon->name == "IDI_HAND";
    const char* fill = hand ? "#ff0000" : icon->name == "IDI_QUESTION" ? "#ffffff" : "#0000ff";
    svg.Raw("<circle cx=\"" + std::to_string(x + 16) + "\" cy=\"" + std::to_string(y + 16) +
            "\" r=\"15\" fill=\"" + fill + "\" stroke=\"#000000\"/>\n");
    const char* symbol = hand ? "X" : icon->name == "IDI_QUESTION" ? "?" : "i";
    svg.Text(x + 16, y + 21, symbol, "middle", icon->name == "IDI_QUESTION" ? kDark : kLight, true);
  }
}

void DrawControl(Svg& svg, const Window& control, int x, int y) {
  const int w = control.rect.right - control.rect.left;
  const int h = control.rect.bottom - control.rect.top;
  const bool enabled = (control.style & WS_DISABLED) == 0;
  const std::string cls = control.cls != nullptr ? control.cls->name : "";
  const char* textColour = enabled ? kDark : kShadow;
  const int baseline = y + h / 2 + 4;

  if (cls == "Button") {
    const bool isDefault = (control.style & BS_TYPEMASK) == BS_DEFPUSHBUTTON;
    svg.Rect(x, y, w, h, kFace);
    if (isDefault) {
      svg.Rect(x, y, w, h, "none", kDark);
      svg.Bevel(x + 1, y + 1, w - 2, h - 2, true);
    } else {
      svg.Bevel(x, y, w, h, true);
    }
    if (!enabled) svg.Text(x + w / 2 + 1, baseline + 1, ShownLabel(control.text), "middle", kLight);
    svg.Text(x + w / 2, baseline, ShownLabel(control.text), "middle", textColour);
    return;
  }
  if (cls == "Edit") {
    svg.Rect(x, y, w, h, enabled ? kLight : kFace);
    svg.Bevel(x, y, w, h, false);
    svg.Text(x + 3, baseline, control.text, "start", textColour);
    return;
  }
  if (cls == "ComboBox") {
    // The closed drop-down list: its box with the selected item and the
    // button that opens it.
    const int boxHeight = std::min(h, 21);
    svg.Rect(x, y, w, boxHeight, enabled ? kLight : kFace);
    svg.Bevel(x, y, w, boxHeight, false);
    const auto* data = dynamic_cast<const ComboData*>(control.control.get());
    if (data != nullptr && data->selection >= 0) {
      svg.Text(x + 3, y + boxHeight / 2 + 4, data->items[static_cast<size_t>(data->selection)],
               "start", textColour);
    }
    const int button = boxHeight - 4;
    svg.Rect(x + w - 2 - button, y + 2, button, button, kFace);
    svg.Bevel(x + w - 2 - button, y + 2, button, button, true);
    const int cx = x + w - 2 - button / 2;
    const int cy = y + 2 + button / 2;
    svg.Raw("<polygon points=\"" + std::to_string(cx - 3) + "," + std::to_string(cy - 1) + " " +
            std::to_string(cx + 4) + "," + std::to_string(cy - 1) + " " + std::to_string(cx) + "," +
            std::to_string(cy + 3) + "\" fill=\"" + textColour + "\"/>\n");
    return;
  }
  if (cls == "msctls_progress32") {
    svg.Rect(x, y, w, h, kFace);
    if ((control.style & WS_BORDER) != 0) svg.Rect(x, y, w, h, "none", kShadow);
    const auto* data = dynamic_cast<const ProgressData*>(control.control.get());
    if (data != nullptr && data->high > data->low) {
      const int inner = w - 4;
      const int filled = static_cast<int>(static_cast<long long>(inner) * (data->pos - data->low) /
                                          (data->high - data->low));
      // Chunks of the classic bar.
      for (int chunk = 0; chunk < filled; chunk += 10) {
        svg.Rect(x + 2 + chunk, y + 2, std::min(8, filled - chunk), h - 4, kCaption);
      }
    }
    return;
  }
  if (cls == "SysAnimate32") {
    if ((control.style & WS_BORDER) != 0) svg.Rect(x, y, w, h, "none", kShadow);
    const auto* data = dynamic_cast<const AnimateData*>(control.control.get());
    if (data != nullptr && data->clip && !data->pixels.empty()) {
      const resources::AviClip& clip = *data->clip;
      const std::vector<uint32_t>& palette = clip.Palette();
      // ACS_CENTER centres the frame; otherwise it sits in the corner.
      int left = x;
      int top = y;
      if ((control.style & ACS_CENTER) != 0) {
        left = x + (w - clip.Width()) / 2;
        top = y + (h - clip.Height()) / 2;
      }
      svg.Raw("<g>\n");
      DrawPixels(svg, left, top, clip.Width(), clip.Height(),
                 [&](int px, int py, uint32_t& colour) {
                   if (px < 0 || py < 0 || left + px < x || top + py < y || left + px >= x + w ||
                       top + py >= y + h) {
                     return false;
                   }
                   const uint8_t index = data->pixels[static_cast<size_t>(py) * clip.Width() + px];
                   colour = index < palette.size() ? palette[index] : 0;
                   return true;
                 });
      svg.Raw("</g>\n");
    }
    return;
  }
  if (cls == "Static") {
    const auto* data = dynamic_cast<const StaticData*>(control.control.get());
    if ((control.style & SS_TYPEMASK) == SS_ICON) {
      if (data != nullptr) DrawIconAt(svg, data->icon, x, y);
      return;
    }
    const DWORD align = control.style & SS_TYPEMASK;
    const bool middle = (control.style & SS_CENTERIMAGE) != 0;
    const std::string text =
        (control.style & SS_NOPREFIX) != 0 ? control.text : ShownLabel(control.text);
    // Lines break where the text does.
    std::istringstream lines(text);
    std::string line;
    int lineY = middle ? baseline : y + 10;
    while (std::getline(lines, line)) {
      if (align == SS_CENTER) {
        svg.Text(x + w / 2, lineY, line, "middle", textColour);
      } else if (align == SS_RIGHT) {
        svg.Text(x + w, lineY, line, "end", textColour);
      } else {
        svg.Text(x, lineY, line, "start", textColour);
      }
      lineY += 13;
    }
    return;
  }
  // A class winsim does not draw: its outline and name.
  svg.Rect(x, y, w, h, "none", kShadow);
  svg.Text(x + 2, y + 11, cls, "start", kShadow);
}

void DrawWindow(Svg& svg, const Window& window, int originX, int originY) {
  const int x = window.rect.left - originX;
  const int y = window.rect.top - originY;
  const bool minimized = (window.style & WS_MINIMIZE) != 0;
  const int w =
      minimized ? window.ClientWidth() + 2 * window.frameX : window.rect.right - window.rect.left;
  const int h = minimized ? window.ClientHeight() + window.frameTop + window.frameBottom
                          : window.rect.bottom - window.rect.top;
  svg.Raw("<g id=\"" + Hex(reinterpret_cast<uintptr_t>(window.handle)) + "\">\n");
  svg.Rect(x, y, w, h, kFace);
  if (window.frameX > 0) svg.Bevel(x, y, w, h, true);
  if ((window.style & WS_CAPTION) == WS_CAPTION) {
    const int captionX = x + window.frameX;
    const int captionY = y + window.frameX;
    const int captionW = w - 2 * window.frameX;
    const int captionH = window.frameTop - window.frameX - 1;
    svg.Rect(captionX, captionY, captionW, captionH, kCaption);
    int textX = captionX + 3;
    if (window.smallIcon != nullptr) {
      svg.Raw("<g transform=\"translate(" + std::to_string(captionX + 1) + "," +
              std::to_string(captionY + 1) + ") scale(0.5)\">\n");
      DrawIconAt(svg, window.smallIcon, 0, 0);
      svg.Raw("</g>\n");
      textX += 17;
    }
    svg.Text(textX, captionY + captionH / 2 + 4, window.text, "start", kLight, true);
    if ((window.style & WS_SYSMENU) != 0 && !minimized) {
      const int box = captionH - 4;
      const int boxX = captionX + captionW - box - 2;
      svg.Rect(boxX, captionY + 2, box, box, kFace);
      svg.Bevel(boxX, captionY + 2, box, box, true);
      svg.Text(boxX + box / 2, captionY + 2 + box - 3, "x", "middle", kDark, true);
    }
  }
  const int clientX = x + window.frameX;
  const int clientY = y + window.frameTop;
  if (minimized) {
    for (const DrawnIcon& icon : window.drawnIcons) {
      DrawIconAt(svg, icon.icon, clientX + icon.x, clientY + icon.y);
    }
  } else {
    for (HWND child : window.children) {
      const Window* control = Find(child);
      if (control == nullptr || (control->style & WS_VISIBLE) == 0) continue;
      DrawControl(svg, *control, clientX + control->rect.left, clientY + control->rect.top);
    }
  }
  svg.Raw("</g>\n");
}

std::string Document(int width, int height, const std::string& body) {
  std::ostringstream out;
  out << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << width << "\" height=\"" << height
      << "\" viewBox=\"0 0 " << width << " " << height << "\">\n"
      << body << "</svg>\n";
  return out.str();
}

}  // namespace

std::string SnapshotWindow(HWND handle) {
  const Window* window = Find(handle);
  if (window == nullptr) return {};
  Svg svg;
  DrawWindow(svg, *window, window->rect.left, window->rect.top);
  const bool minimized = (window->style & WS_MINIMIZE) != 0;
  const int width = minimized ? window->ClientWidth() + 2 * window->frameX
                              : window->rect.right - window->rect.left;
  const int height = minimized ? window->ClientHeight() + window->frameTop + window->frameBottom
                               : window->rect.bottom - window->rect.top;
  return Document(width, height, svg.Str());
}

std::string SnapshotScreen() {
  Svg svg;
  svg.Rect(0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN), "#008080");
  for (HWND top : System().topLevel) {
    const Window* window = Find(top);
    if (window != nullptr && IsVisible(*window)) DrawWindow(svg, *window, 0, 0);
  }
  return Document(GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN), svg.Str());
}

}  // namespace winsim
