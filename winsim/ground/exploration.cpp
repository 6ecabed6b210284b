// winsim: schedule exploration policies (PCT, preemption bounding).
#include "ground/exploration.h"

#include <algorithm>
#include <cstdio>
#include <sstream>

namespace winsim {

std::string Describe(const SwitchRecord& record) {
  char time[32];
  std::snprintf(time, sizeof time, "%.6f s", static_cast<double>(record.time) / 1e7);
  return "step " + std::to_string(record.step) + " at " + time + " in " + record.where + ": '" +
         record.from + "' -> '" + record.to + "'";
}

std::string FormatPreemptions(const std::vector<Preemption>& preemptions) {
  std::string text;
  for (const Preemption& p : preemptions) {
    if (!text.empty()) text += ',';
    text += std::to_string(p.step) + ':' + std::to_string(p.choice);
  }
  return text;
}

std::optional<std::vector<Preemption>> ParsePreemptions(const std::string& text) {
  std::vector<Preemption> result;
  std::istringstream in(text);
  std::string item;
  while (std::getline(in, item, ',')) {
    unsigned long long step = 0;
    unsigned choice = 0;
    char extra = 0;
    if (std::sscanf(item.c_str(), "%llu:%u%c", &step, &choice, &extra) != 2 || choice == 0) {
      return std::nullopt;
    }
    if (!result.empty() && step <= result.back().step) return std::nullopt;
    result.push_back({step, choice});
  }
  return result;
}

Explorer::Explorer(ExploreConfig config) : config_(std::move(config)), random_(config_.seed) {
  if (config_.strategy == ExploreStrategy::Pct) {
    const uint64_t k = std::max<uint64_t>(config_.steps, 1);
    for (int i = 1; i < config_.depth; ++i) changePoints_.push_back(1 + random_() % k);
    std::sort(changePoints_.begin(), changePoints_.end());
  }
}

void Explorer::ThreadCreated(uint32_t id) {
  if (config_.strategy != ExploreStrategy::Pct) return;
  // Above every change point's priority (those are 1 .. d - 1); a random
  // order among threads, ties broken by id (below).
  priorities_[id] = static_cast<uint64_t>(config_.depth) + 1 + (random_() >> 16);
}

uint64_t Explorer::Priority(uint32_t id) {
  auto found = priorities_.find(id);
  return found == priorities_.end() ? 0 : found->second;
}

size_t Explorer::Choose(const std::vector<uint32_t>& candidates, bool preemptive) {
  if (candidates.size() < 2) return 0;
  ++step_;
  if (config_.strategy == ExploreStrategy::PreemptionBound) {
    if (!preemptive) return 0;  // FIFO hand-over
    widths_.emplace_back(step_, static_cast<uint32_t>(candidates.size()));
    const auto& wanted = config_.preemptions;
    while (nextPreemption_ < wanted.size() && wanted[nextPreemption_].step < step_) {
      ++nextPreemption_;
    }
    if (nextPreemption_ < wanted.size() && wanted[nextPreemption_].step == step_) {
      return std::min<size_t>(wanted[nextPreemption_].choice, candidates.size() - 1);
    }
    return 0;
  }
  // PCT: the highest priority runs; at a change point the thread that
  // would run drops below every other, and the choice is made again.
  auto best = [&] {
    size_t chosen = 0;
    for (size_t i = 1; i < candidates.size(); ++i) {
      const uint64_t mine = Priority(candidates[i]);
      const uint64_t theirs = Priority(candidates[chosen]);
      if (mine > theirs || (mine == theirs && candidates[i] < candidates[chosen])) chosen = i;
    }
    return chosen;
  };
  size_t chosen = best();
  for (size_t i = 0; i < changePoints_.size(); ++i) {
    if (changePoints_[i] != step_) continue;
    priorities_[candidates[chosen]] = static_cast<uint64_t>(config_.depth) - 1 - i;
    chosen = best();
  }
  return chosen;
}

std::optional<std::vector<Preemption>> PreemptionSearch::Next() {
  if (!started_) {
    started_ = true;
    running_.clear();
    ++count_;
    return running_;
  }
  while (!stack_.empty()) {
    Frame& top = stack_.back();
    if (top.next < top.extensions.size()) {
      running_ = top.prefix;
      running_.push_back(top.extensions[top.next++]);
      ++count_;
      return running_;
    }
    stack_.pop_back();
  }
  return std::nullopt;
}

void PreemptionSearch::Ran(const std::vector<std::pair<uint64_t, uint32_t>>& widths) {
  if (static_cast<int>(running_.size()) >= bound_) return;
  // A run follows its prefix's run up to its last preemption: new
  // preemptions go after it.
  const uint64_t after = running_.empty() ? 0 : running_.back().step;
  Frame frame;
  frame.prefix = running_;
  for (const auto& [step, width] : widths) {
    if (step <= after) continue;
    for (uint32_t choice = 1; choice < width; ++choice) frame.extensions.push_back({step, choice});
  }
  if (!frame.extensions.empty()) stack_.push_back(std::move(frame));
}

}  // namespace winsim
