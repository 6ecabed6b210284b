// winsim: the machine's event log.
#include "ground/event_log.h"

#include <algorithm>
#include <atomic>
#include <cstdio>

#include "ground/event_recording.h"
#include "ground/ground.h"

namespace winsim {

std::string_view EventKindName(EventKind kind) {
  switch (kind) {
    case EventKind::DbgPrint:
      return "DbgPrint";
    case EventKind::IrpSent:
      return "IrpSent";
    case EventKind::IrpCompleted:
      return "IrpCompleted";
    case EventKind::Finding:
      return "Finding";
    case EventKind::Hang:
      return "Hang";
    case EventKind::Scheduler:
      return "Scheduler";
    case EventKind::Urb:
      return "Urb";
    case EventKind::UsbPacket:
      return "UsbPacket";
    case EventKind::Pnp:
      return "Pnp";
    case EventKind::User:
      return "User";
    case EventKind::BugCheck:
      return "BugCheck";
    case EventKind::Note:
      return "Note";
  }
  return "?";
}

std::string Event::Field(std::string_view name) const {
  for (const auto& [key, value] : fields) {
    if (key == name) return value;
  }
  return {};
}

std::string Event::Format() const {
  char stamp[48];
  std::snprintf(stamp, sizeof stamp, "[%lld.%04lld ms] ", static_cast<long long>(time / 10'000),
                static_cast<long long>(time % 10'000));
  std::string line = stamp + thread + " " + std::string(EventKindName(kind)) + ": " + text;
  if (!fields.empty()) {
    line += " {";
    for (size_t i = 0; i < fields.size(); ++i) {
      line += (i ? ", " : "") + fields[i].first + "=" + fields[i].second;
    }
    line += "}";
  }
  return line;
}

namespace {

std::atomic<bool> recording = true;

}  // namespace

void SetEventRecording(bool on) { recording = on; }

bool EventRecording() { return recording.load(std::memory_order_relaxed); }

void EventLog::Add(EventKind kind, std::string text,
                   std::vector<std::pair<std::string, std::string>> fields) {
  if (!EventRecording()) return;
  Event event;
  event.kind = kind;
  event.text = std::move(text);
  event.fields = std::move(fields);
  event.thread = Scheduler::CurrentName();
  if (Ground* machine = Ground::CurrentOrNull()) event.time = machine->Sched().Now();
  std::lock_guard lock(mutex_);
  event.sequence = events_.size() + 1;
  events_.push_back(std::move(event));
}

std::vector<Event> EventLog::All() const {
  std::lock_guard lock(mutex_);
  return events_;
}

std::vector<Event> EventLog::Since(size_t first) const {
  std::lock_guard lock(mutex_);
  if (first >= events_.size()) return {};
  return std::vector<Event>(events_.begin() + static_cast<std::ptrdiff_t>(first), events_.end());
}

size_t EventLog::Since(size_t first, bool (*keep)(const Event&), std::vector<Event>& into) const {
  std::lock_guard lock(mutex_);
  for (size_t i = first; i < events_.size(); ++i) {
    if (keep(events_[i])) into.push_back(events_[i]);
  }
  return std::max(first, events_.size());
}

std::vector<Event> EventLog::OfKind(EventKind kind) const {
  std::lock_guard lock(mutex_);
  std::vector<Event> result;
  for (const Event& event : events_) {
    if (event.kind == kind) result.push_back(event);
  }
  return result;
}

std::vector<std::string> EventLog::Texts(EventKind kind) const {
  std::vector<std::string> texts;
  for (const Event& event : OfKind(kind)) texts.push_back(event.text);
  return texts;
}

size_t EventLog::Size() const {
  std::lock_guard lock(mutex_);
  return events_.size();
}

void EventLog::Clear() {
  std::lock_guard lock(mutex_);
  events_.clear();
}

}  // namespace winsim
