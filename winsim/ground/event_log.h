// winsim: the machine's event log: one ordered, thread-safe record of what
// is observable (DbgPrint lines, IRPs, verifier findings, hangs, and what the
// bus, Plug and Play and user mode add later). Tests query it; quillsim
// prints it.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace winsim {

enum class EventKind {
  DbgPrint,      // text: the formatted line
  IrpSent,       // fields: irp, device, driver, major, minor, ioctl
  IrpCompleted,  // fields: irp, major, minor, ioctl, status, information
  Finding,       // fields: rule, place; text: detail
  Hang,          // text: what is waiting, where
  Scheduler,     // thread starts and ends, clock jumps
  Urb,           // USB request blocks (the bus)
  UsbPacket,     // a transfer's submission or completion, as a capture records it
  Pnp,           // Plug and Play and power manager
  User,          // user-mode calls, windows, messages, handles
  Note,          // anything else
  BugCheck,      // the machine stopped; fields: code, parameters (hexadecimal)
};

std::string_view EventKindName(EventKind kind);

struct Event {
  uint64_t sequence = 0;
  int64_t time = 0;  // virtual time in 100-ns units since the machine started
  std::string thread;
  EventKind kind = EventKind::Note;
  std::string text;
  std::vector<std::pair<std::string, std::string>> fields;

  // The value of a field, or "" when absent.
  std::string Field(std::string_view name) const;
  // One readable line: "[time] thread kind: text {fields}".
  std::string Format() const;
};

class EventLog {
 public:
  // Appends an event stamped with the next sequence number, the virtual time
  // and the current simulated thread's name. Any thread may call it.
  void Add(EventKind kind, std::string text,
           std::vector<std::pair<std::string, std::string>> fields = {});

  std::vector<Event> All() const;
  // The events from index `first` on (a reader that follows the log copies
  // only what is new).
  std::vector<Event> Since(size_t first) const;
  // The same, only the events `keep` accepts, appended to `into` (a reader
  // that follows a busy log copies only what it reads). Returns the log's
  // size: where the next look starts.
  size_t Since(size_t first, bool (*keep)(const Event&), std::vector<Event>& into) const;
  std::vector<Event> OfKind(EventKind kind) const;
  // The texts of the events of one kind, in order (e.g. the DbgPrint lines).
  std::vector<std::string> Texts(EventKind kind) const;
  size_t Size() const;
  void Clear();

 private:
  mutable std::mutex mutex_;
  std::vector<Event> events_;
};

}  // namespace winsim
