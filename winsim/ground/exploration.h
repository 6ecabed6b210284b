// winsim: schedule exploration. Windows runs any interleaving of its threads,
// on several processors; the default scheduler runs one (FIFO, a switch only
// where a thread blocks). Under exploration the scheduler may also switch at
// every switch point, where a thread calls into the simulated kernel or a
// driver (Scheduler::SwitchPoint), and picks which ready thread runs next.
//
// Two strategies, each reproducible:
// - PCT (probabilistic concurrency testing): each thread gets a random
//   priority at its creation, the highest-priority candidate runs, and at
//   d - 1 random decision steps (out of an estimate k of a run's steps) the
//   running thread drops below every other. One run finds a given fault of
//   depth d (d ordering constraints among n threads) with a probability of at
//   least 1 / (n * k^(d-1)). The seed decides everything.
// - Preemption bounding: a schedule is the default one plus at most
//   `bound` preemptions, each a (step, candidate) pair; PreemptionSearch
//   enumerates all of them depth-first. Threads that block hand over in FIFO
//   order as by default: only preemptions branch.
//
// A step is a decision with more than one candidate: a switch point with a
// thread ready besides the running one, or a dispatch with more than one
// thread ready.
#pragma once

#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

namespace winsim {

enum class ExploreStrategy { None, Pct, PreemptionBound };

// One preemption of a preemption-bounded schedule: at decision step `step`,
// candidate `choice` runs (0 is the running thread; 1.. the ready ones in
// their queue order).
struct Preemption {
  uint64_t step = 0;
  uint32_t choice = 0;
  bool operator==(const Preemption&) const = default;
};

struct ExploreConfig {
  ExploreStrategy strategy = ExploreStrategy::None;
  // PCT.
  uint64_t seed = 0;
  int depth = 3;         // d: d - 1 priority change points
  uint64_t steps = 400;  // k: where the change points may fall
  // Preemption bounding: this schedule's preemptions, by step.
  std::vector<Preemption> preemptions;
};

// A switch that differs from what the default scheduler would have done.
struct SwitchRecord {
  uint64_t step = 0;
  int64_t time = 0;   // virtual time, 100-ns units
  std::string where;  // the switch point ("KeSetEvent") or "dispatch"
  std::string from;   // thread names
  std::string to;
};

// "step 12 at 0.001000 s in KeSetEvent: 'main' -> 'dpc'".
std::string Describe(const SwitchRecord& record);
// "12:1,40:2"; parsed back by ParsePreemptions (nullopt when malformed).
std::string FormatPreemptions(const std::vector<Preemption>& preemptions);
std::optional<std::vector<Preemption>> ParsePreemptions(const std::string& text);

// The scheduler's policy under exploration. Called with the scheduler's lock
// held; threads are named by their ids.
class Explorer {
 public:
  explicit Explorer(ExploreConfig config);

  const ExploreConfig& Config() const { return config_; }
  void ThreadCreated(uint32_t id);
  // Picks among candidates (ids); `current` is the index of what the
  // default scheduler runs (the running thread at a switch point, the front
  // of the ready queue at a dispatch). `preemptive`: the running thread is
  // candidate 0 and would go on. Returns the index to run.
  size_t Choose(const std::vector<uint32_t>& candidates, bool preemptive);
  // Steps taken so far, and, under preemption bounding, how many candidates
  // each preemptive step had (for the search).
  uint64_t Steps() const { return step_; }
  const std::vector<std::pair<uint64_t, uint32_t>>& Widths() const { return widths_; }

 private:
  uint64_t Priority(uint32_t id);

  ExploreConfig config_;
  std::mt19937_64 random_;
  std::vector<uint64_t> changePoints_;  // PCT, ascending
  std::unordered_map<uint32_t, uint64_t> priorities_;
  uint64_t step_ = 0;
  size_t nextPreemption_ = 0;
  std::vector<std::pair<uint64_t, uint32_t>> widths_;
};

// Depth-first enumeration of the schedules with at most `bound` preemptions.
// Next() gives the schedule to run; Ran() takes the widths its run recorded
// (Explorer::Widths). The first schedule is the default one.
class PreemptionSearch {
 public:
  explicit PreemptionSearch(int bound) : bound_(bound) {}
  std::optional<std::vector<Preemption>> Next();
  void Ran(const std::vector<std::pair<uint64_t, uint32_t>>& widths);
  // Schedules handed out so far.
  uint64_t Count() const { return count_; }

 private:
  struct Frame {
    std::vector<Preemption> prefix;
    std::vector<Preemption> extensions;
    size_t next = 0;
  };
  int bound_;
  bool started_ = false;
  std::vector<Preemption> running_;
  std::vector<Frame> stack_;
  uint64_t count_ = 0;
};

}  // namespace winsim
