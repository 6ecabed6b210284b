// The HTML report of a run (report.h).
#include "report.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "harness/xml_text.h"

namespace quillsim {
namespace {

std::string Html(const std::string& text) { return winsim::XmlText(text); }

std::string Seconds(int64_t time) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f s", static_cast<double>(time) / 1e7);
  return text;
}

std::string WallSeconds(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2f s", seconds);
  return text;
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::string Base64(const std::string& bytes) {
  static const char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (size_t i = 0; i < bytes.size(); i += 3) {
    uint32_t chunk = static_cast<uint8_t>(bytes[i]) << 16;
    if (i + 1 < bytes.size()) chunk |= static_cast<uint8_t>(bytes[i + 1]) << 8;
    if (i + 2 < bytes.size()) chunk |= static_cast<uint8_t>(bytes[i + 2]);
    out += kDigits[(chunk >> 18) & 63];
    out += kDigits[(chunk >> 12) & 63];
    out += i + 1 < bytes.size() ? kDigits[(chunk >> 6) & 63] : '=';
    out += i + 2 < bytes.size() ? kDigits[chunk & 63] : '=';
  }
  return out;
}

std::string StepName(int step) {
  return step < 0 ? std::string("before or after the script")
                  : "step " + std::to_string(step) + " (/script/" + std::to_string(step) + ")";
}

// Snapshots draw each window as a group; a screen without one is the
// empty desktop.
bool HasWindow(const Picture& picture) { return picture.svg.find("<g ") != std::string::npos; }

// The screen the user saw when an outcome was checked: an `expect` step's
// or a refused action's ("step N (...)") is the last picture up to that
// step; the end's is the last one with a window on it (the end checks what
// the program showed last, not the desktop it left).
int PictureOf(const Outcome& outcome, const std::vector<Picture>& pictures) {
  int step = -1;
  if (std::sscanf(outcome.name.c_str(), "step %d", &step) != 1) {
    for (size_t i = pictures.size(); i-- > 0;) {
      if (HasWindow(pictures[i])) return static_cast<int>(i);
    }
    return static_cast<int>(pictures.size()) - 1;
  }
  int found = -1;
  bool started = false;
  for (size_t i = 0; i < pictures.size(); ++i) {
    if (pictures[i].step > step || (started && pictures[i].step < 0)) break;
    started = started || pictures[i].step >= 0;
    found = static_cast<int>(i);
  }
  return found;
}

const char* kStyle = R"(
body { font: 14px/1.4 system-ui, sans-serif; margin: 0 2em 4em; color: #222; }
h1 { margin-bottom: 0.2em; }
.verdict { display: inline-block; min-width: 5.5em; text-align: center; padding: 0 0.4em;
  border-radius: 3px; font-weight: bold; color: #fff; }
.verdict.passed { background: #2a7d2a; } .verdict.failed { background: #b42318; }
.verdict.error { background: #8a4b00; }
nav.filter button { margin-right: 0.5em; }
nav.filter button[aria-pressed=true] { font-weight: bold; }
ol.index { columns: 2; }
section.scenario { border-top: 2px solid #ccc; margin-top: 2em; }
section.scenario[hidden] { display: none; }
p.error { white-space: pre-wrap; color: #8a4b00; }
table { border-collapse: collapse; margin: 0.5em 0; }
td, th { border: 1px solid #ddd; padding: 2px 6px; vertical-align: top; text-align: left; }
table.usb { font: 12px monospace; }
tr.held td.result { color: #2a7d2a; } tr.failed td.result { color: #b42318; font-weight: bold; }
.diff { font: 12px monospace; white-space: pre; border: 1px solid #ddd; padding: 4px; }
.diff .removed { background: #fde2e1; } .diff .added { background: #dcf5dc; }
.failure-detail { display: flex; gap: 1em; flex-wrap: wrap; }
.timeline-view { display: flex; gap: 1em; align-items: flex-start; }
ol.timeline { list-style: none; padding: 0; margin: 0; max-height: 40em; overflow-y: auto;
  flex: 1 1 40%; font: 12px monospace; }
ol.timeline li { padding: 1px 4px; cursor: pointer; white-space: pre-wrap; }
ol.timeline li.user { font-weight: bold; }
ol.timeline li.failed { color: #b42318; }
ol.timeline li.selected { background: #ffe9a8; }
ol.timeline li.new-screen { border-left: 3px solid #4a7ab5; }
ol.timeline li:not(.new-screen) { border-left: 3px solid transparent; }
ol.timeline time { color: #666; margin-right: 0.6em; }
figure { margin: 0; }
figure.viewer { flex: 1 1 55%; position: sticky; top: 0; }
figcaption { font-weight: bold; margin-bottom: 0.3em; }
.screen svg { max-width: 100%; height: auto; border: 1px solid #999; }
.timeline-view > *, .failure-detail > * { min-width: 0; }
.failure-detail figure { flex: 1 1 400px; }
pre.account { font: 12px monospace; max-height: 30em; overflow: auto; }
)";

const char* kScript = R"(
'use strict';
(function () {
  function showPicture(section, index) {
    var meta = section.querySelector('ol.pictures li[data-picture="' + index + '"]');
    var viewer = section.querySelector('figure.viewer');
    if (!meta || !viewer) return;
    var template = section.querySelector('template[data-svg="' + meta.dataset.svg + '"]');
    var screen = viewer.querySelector('.screen');
    screen.replaceChildren(template.content.cloneNode(true));
    viewer.dataset.picture = index;
    viewer.dataset.step = meta.dataset.step;
    viewer.querySelector('figcaption').textContent =
        'picture ' + (Number(index) + 1) + ' of ' + section.querySelectorAll('ol.pictures li').length +
        ': ' + meta.dataset.stepName + ', at ' + meta.dataset.time;
  }
  function select(section, item) {
    section.querySelectorAll('ol.timeline li.selected').forEach(function (li) {
      li.classList.remove('selected');
    });
    item.classList.add('selected');
    if (item.dataset.picture !== undefined) showPicture(section, item.dataset.picture);
  }
  document.querySelectorAll('section.scenario').forEach(function (section) {
    var timeline = section.querySelector('ol.timeline');
    if (timeline) {
      timeline.addEventListener('click', function (event) {
        var item = event.target.closest('li');
        if (item) select(section, item);
      });
    }
    // At first the program's last screen: the last picture with a window.
    var count = section.querySelectorAll('ol.pictures li').length;
    var windows = section.querySelectorAll('ol.pictures li[data-window]');
    if (windows.length > 0) showPicture(section, windows[windows.length - 1].dataset.picture);
    else if (count > 0) showPicture(section, count - 1);
    section.querySelectorAll('button.step').forEach(function (button) {
      button.addEventListener('click', function () {
        var viewer = section.querySelector('figure.viewer');
        var next = Number(viewer.dataset.picture || 0) + Number(button.dataset.by);
        if (next >= 0 && next < count) showPicture(section, next);
      });
    });
    section.querySelectorAll('.on-screen[data-svg]').forEach(function (screen) {
      var template = section.querySelector('template[data-svg="' + screen.dataset.svg + '"]');
      screen.replaceChildren(template.content.cloneNode(true));
    });
  });
  document.querySelectorAll('nav.filter button').forEach(function (button) {
    button.addEventListener('click', function () {
      var only = button.dataset.filter;
      document.querySelectorAll('nav.filter button').forEach(function (other) {
        other.setAttribute('aria-pressed', String(other === button));
      });
      document.querySelectorAll('section.scenario').forEach(function (section) {
        section.hidden = only !== 'all' && section.dataset.verdict === 'passed';
      });
    });
  });
})();
)";

class Page {
 public:
  std::string Build(const std::vector<ScenarioResult>& results) {
    size_t passed = 0;
    size_t failed = 0;
    size_t errors = 0;
    for (const ScenarioResult& result : results) {
      passed += result.verdict == Verdict::Passed ? 1 : 0;
      failed += result.verdict == Verdict::Failed ? 1 : 0;
      errors += result.verdict == Verdict::Error ? 1 : 0;
    }
    out_ << "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
         // Nothing may come from elsewhere: the page is the whole report.
         << "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; "
            "style-src 'unsafe-inline'; script-src 'unsafe-inline'; img-src data:\">\n"
         << "<title>quillsim: " << results.size() << " scenarios, " << passed << " passed</title>\n"
         << "<style>" << kStyle << "</style>\n</head>\n<body>\n"
         << "<h1>quillsim report</h1>\n<p class=\"summary\">" << results.size()
         << " scenarios: <span class=\"passed-count\">" << passed << " passed</span>, "
         << "<span class=\"failed-count\">" << failed << " failed</span>, "
         << "<span class=\"error-count\">" << errors << " could not be read or run</span></p>\n"
         << "<nav class=\"filter\">Show: <button data-filter=\"all\" aria-pressed=\"true\">every "
            "scenario</button><button data-filter=\"failing\" aria-pressed=\"false\">failed "
            "and unreadable only</button></nav>\n<ol class=\"index\">\n";
    for (size_t i = 0; i < results.size(); ++i) {
      out_ << "<li>" << Badge(results[i].verdict) << " <a href=\"#scenario-" << i << "\">"
           << Html(results[i].name) << "</a></li>\n";
    }
    out_ << "</ol>\n";
    for (size_t i = 0; i < results.size(); ++i) Scenario(i, results[i]);
    out_ << "<script>" << kScript << "</script>\n</body>\n</html>\n";
    return out_.str();
  }

 private:
  static std::string Badge(Verdict verdict) {
    const std::string name = VerdictName(verdict);
    const std::string label = verdict == Verdict::Passed   ? "PASSED"
                              : verdict == Verdict::Failed ? "FAILED"
                                                           : "ERROR";
    return "<span class=\"verdict " + name + "\">" + label + "</span>";
  }

  void Scenario(size_t index, const ScenarioResult& result) {
    out_ << "<section class=\"scenario\" id=\"scenario-" << index << "\" data-name=\""
         << Html(result.name) << "\" data-verdict=\"" << VerdictName(result.verdict) << "\">\n"
         << "<h2>" << Badge(result.verdict) << " " << Html(result.name) << "</h2>\n<p>"
         << Html(result.file) << "; ran " << WallSeconds(result.seconds);
    if (result.verdict != Verdict::Error) out_ << ", " << Seconds(result.endTime) << " virtual";
    out_ << "</p>\n";
    if (!result.title.empty()) out_ << "<p><b>" << Html(result.title) << "</b></p>\n";
    if (!result.description.empty()) out_ << "<p>" << Html(result.description) << "</p>\n";
    if (!result.error.empty()) out_ << "<p class=\"error\">" << Html(result.error) << "</p>\n";

    // Each distinct picture once; pictures and failures refer to it.
    std::map<std::string, size_t> svgs;
    std::vector<size_t> svgOf;
    for (const Picture& picture : result.pictures) {
      svgOf.push_back(svgs.emplace(picture.svg, svgs.size()).first->second);
    }
    Expectations(result, svgOf);
    Timeline(result, svgOf);
    Transfers(result);
    out_ << "<details><summary>The account as printed</summary><pre class=\"account\">"
         << Html(result.output) << "</pre></details>\n";
    for (const auto& [svg, id] : svgs) {
      out_ << "<template data-svg=\"" << id << "\">" << svg << "</template>\n";
    }
    out_ << "</section>\n";
  }

  void Expectations(const ScenarioResult& result, const std::vector<size_t>& svgOf) {
    if (result.outcomes.empty()) return;
    out_ << "<h3>Expectations</h3>\n<table class=\"expectations\">\n"
         << "<tr><th>verdict</th><th>expectation</th><th>what was wrong</th></tr>\n";
    for (const Outcome& outcome : result.outcomes) {
      const bool held = outcome.failure.empty();
      out_ << "<tr class=\"" << (held ? "held" : "failed") << "\"><td class=\"result\">"
           << (held ? "held" : "FAILED") << "</td><td>" << Html(outcome.name) << "</td><td>"
           << Html(outcome.failure) << "</td></tr>\n";
      if (held) continue;
      out_ << "<tr class=\"failure-detail-row\"><td colspan=\"3\"><div class=\"failure-detail\">";
      if (!outcome.expected.empty() || !outcome.actual.empty()) {
        out_ << "<div><b>expected (-) and seen (+)</b><div class=\"diff\">";
        for (const DiffLine& line : LineDiff(outcome.expected, outcome.actual)) {
          const char* kind = line.kind == '-' ? "removed" : line.kind == '+' ? "added" : "same";
          out_ << "<div class=\"" << kind << "\">" << line.kind << ' ' << Html(line.text)
               << "</div>";
        }
        out_ << "</div></div>";
      }
      const int picture = PictureOf(outcome, result.pictures);
      if (picture >= 0) {
        const Picture& shown = result.pictures[static_cast<size_t>(picture)];
        out_ << "<figure><figcaption>on screen: " << Html(StepName(shown.step)) << ", at "
             << Seconds(shown.time) << "</figcaption><div class=\"screen on-screen\" data-svg=\""
             << svgOf[static_cast<size_t>(picture)] << "\"></div></figure>";
      }
      out_ << "</div></td></tr>\n";
    }
    out_ << "</table>\n";
  }

  void Timeline(const ScenarioResult& result, const std::vector<size_t>& svgOf) {
    if (result.lines.empty()) return;
    out_ << "<h3>Timeline</h3>\n<p>A click on a line shows the screen once it had happened; a "
            "blue edge marks where the screen changed.</p>\n<div class=\"timeline-view\">\n"
            "<ol class=\"timeline\">\n";
    // A line shows the screen once it had been told: the first picture
    // taken after it.
    size_t picture = 0;
    size_t shownBefore = result.pictures.size();
    for (size_t i = 0; i < result.lines.size(); ++i) {
      const AccountLine& line = result.lines[i];
      while (picture < result.pictures.size() && result.pictures[picture].lines <= i) ++picture;
      const bool user = line.text.rfind("user: ", 0) == 0;
      const bool failed = line.text.find("FAILED") != std::string::npos;
      // The first line a picture shows is where the screen changed.
      const bool changed = picture < result.pictures.size() && picture != shownBefore;
      shownBefore = picture;
      out_ << "<li class=\"" << (user ? "user" : "") << (failed ? " failed" : "")
           << (changed ? " new-screen" : "") << "\" data-step=\"" << line.step << "\"";
      if (!result.pictures.empty()) {
        out_ << " data-picture=\"" << std::min(picture, result.pictures.size() - 1) << "\"";
      }
      out_ << "><time>" << Seconds(line.time) << "</time>" << Html(line.text) << "</li>\n";
    }
    out_ << "</ol>\n<figure class=\"viewer\"><figcaption></figcaption>"
         << "<button class=\"step\" data-by=\"-1\">previous picture</button> "
         << "<button class=\"step\" data-by=\"1\">next picture</button>"
         << "<div class=\"screen\"></div></figure>\n</div>\n<ol class=\"pictures\" hidden>\n";
    for (size_t i = 0; i < result.pictures.size(); ++i) {
      const Picture& shown = result.pictures[i];
      out_ << "<li data-picture=\"" << i << "\" data-svg=\"" << svgOf[i] << "\" data-step=\""
           << shown.step << "\"" << (HasWindow(shown) ? " data-window" : "") << " data-step-name=\""
           << Html(StepName(shown.step)) << "\" data-time=\"" << Seconds(shown.time)
           << "\"></li>\n";
    }
    out_ << "</ol>\n";
  }

  void Transfers(const ScenarioResult& result) {
    out_ << "<h3>USB requests</h3>\n";
    if (!result.capture.empty()) {
      std::ifstream in(result.capture, std::ios::binary);
      std::stringstream bytes;
      bytes << in.rdbuf();
      const std::string name = std::filesystem::path(result.capture).filename().string();
      out_ << "<p class=\"capture\">The capture: <a download=\"" << Html(name)
           << "\" href=\"data:application/vnd.tcpdump.pcap;base64," << Base64(bytes.str()) << "\">"
           << Html(name) << "</a> (" << Html(result.capture)
           << "); the frames are its records.</p>\n";
    }
    if (result.transfers.empty()) {
      out_ << "<p>No USB transfers.</p>\n";
      return;
    }
    out_ << "<table class=\"usb\">\n<tr><th>frames</th><th>submitted</th><th>completed</th>"
            "<th>device</th><th>endpoint</th><th>transfer</th><th>URB function</th>"
            "<th>setup</th><th>bytes</th><th>data</th><th>USBD status</th></tr>\n";
    for (const UsbTransfer& row : result.transfers) {
      out_ << "<tr><td>" << row.submitFrame;
      if (row.completeFrame != 0) out_ << ", " << row.completeFrame;
      out_ << "</td><td>" << Seconds(row.submitted) << "</td><td>"
           << (row.completed >= 0 ? Seconds(row.completed) : "never") << "</td><td>"
           << Html(row.device) << "</td><td>" << Html(row.endpoint) << "</td><td>"
           << Html(row.transfer) << "</td><td>" << Html(row.function) << "</td><td>"
           << Html(row.setup) << "</td><td>" << row.length << "</td><td>" << Html(row.data)
           << "</td><td>" << Html(row.status) << "</td></tr>\n";
    }
    out_ << "</table>\n";
  }

  std::ostringstream out_;
};

}  // namespace

std::vector<DiffLine> LineDiff(const std::string& expected, const std::string& actual) {
  const std::vector<std::string> a = SplitLines(expected);
  const std::vector<std::string> b = SplitLines(actual);
  // Longest common subsequence, from the ends.
  std::vector<std::vector<size_t>> common(a.size() + 1, std::vector<size_t>(b.size() + 1, 0));
  for (size_t i = a.size(); i-- > 0;) {
    for (size_t j = b.size(); j-- > 0;) {
      common[i][j] =
          a[i] == b[j] ? common[i + 1][j + 1] + 1 : std::max(common[i + 1][j], common[i][j + 1]);
    }
  }
  std::vector<DiffLine> diff;
  size_t i = 0;
  size_t j = 0;
  while (i < a.size() || j < b.size()) {
    if (i < a.size() && j < b.size() && a[i] == b[j]) {
      diff.push_back({' ', a[i]});
      ++i;
      ++j;
    } else if (i < a.size() && (j == b.size() || common[i + 1][j] >= common[i][j + 1])) {
      diff.push_back({'-', a[i++]});
    } else {
      diff.push_back({'+', b[j++]});
    }
  }
  return diff;
}

std::string ReportHtml(const std::vector<ScenarioResult>& results) { return Page().Build(results); }

bool WriteReport(const std::string& path, const std::vector<ScenarioResult>& results) {
  std::ofstream out(path, std::ios::trunc | std::ios::binary);
  out << ReportHtml(results);
  return static_cast<bool>(out);
}

}  // namespace quillsim
