// winsim: verifier findings and fault injection.
#include "ground/verifier.h"

#include <algorithm>

#include "ground/ground.h"

namespace winsim {

void Verifier::Report(std::string_view ruleName, std::string place, std::string detail) {
  bool expected;
  {
    std::lock_guard lock(mutex_);
    expected = std::find(expected_.begin(), expected_.end(), ruleName) != expected_.end();
    findings_.push_back({std::string(ruleName), place, detail, expected});
  }
  if (Ground* machine = Ground::CurrentOrNull()) {
    machine->Log().Add(EventKind::Finding, detail,
                       {{"rule", std::string(ruleName)}, {"place", place}});
  }
}

void Verifier::Expect(std::string_view ruleName) {
  std::lock_guard lock(mutex_);
  expected_.emplace_back(ruleName);
  for (Finding& finding : findings_) {
    if (finding.rule == ruleName) finding.expected = true;
  }
}

std::vector<Finding> Verifier::Findings() const {
  std::lock_guard lock(mutex_);
  return findings_;
}

std::vector<Finding> Verifier::Unexpected() const {
  std::lock_guard lock(mutex_);
  std::vector<Finding> result;
  std::copy_if(findings_.begin(), findings_.end(), std::back_inserter(result),
               [](const Finding& finding) { return !finding.expected; });
  return result;
}

bool Verifier::Has(std::string_view ruleName) const {
  std::lock_guard lock(mutex_);
  return std::any_of(findings_.begin(), findings_.end(),
                     [&](const Finding& finding) { return finding.rule == ruleName; });
}

void FaultInjector::FailNth(AllocationKind kind, uint64_t ordinal, std::optional<ULONG> poolTag) {
  std::lock_guard lock(mutex_);
  plans_.push_back({kind, ordinal, poolTag});
}

bool FaultInjector::ShouldFail(AllocationKind kind, ULONG poolTag) {
  uint64_t ordinal = 0;
  bool fails = false;
  {
    std::lock_guard lock(mutex_);
    ordinal = ++counts_[kind];
    const uint64_t tagOrdinal = kind == AllocationKind::Pool ? ++poolTagCounts_[poolTag] : 0;
    fails = std::any_of(plans_.begin(), plans_.end(), [&](const Plan& plan) {
      if (plan.kind != kind) return false;
      if (plan.tag)
        return kind == AllocationKind::Pool && *plan.tag == poolTag && plan.ordinal == tagOrdinal;
      return plan.ordinal == ordinal;
    });
  }
  // A failure the plan brought about is on the record, to tell it from one
  // that came of itself.
  if (fails) {
    if (Ground* machine = Ground::CurrentOrNull()) {
      static constexpr const char* kNames[] = {"Pool", "Irp", "Mdl", "UserRequest"};
      std::vector<std::pair<std::string, std::string>> fields = {
          {"kind", kNames[static_cast<int>(kind)]}, {"ordinal", std::to_string(ordinal)}};
      if (kind == AllocationKind::Pool) fields.emplace_back("tag", PoolTagText(poolTag));
      machine->Log().Add(EventKind::Note, "allocation fails", std::move(fields));
    }
  }
  return fails;
}

uint64_t FaultInjector::Count(AllocationKind kind, std::optional<ULONG> poolTag) const {
  std::lock_guard lock(mutex_);
  if (poolTag) {
    auto it = poolTagCounts_.find(*poolTag);
    return it == poolTagCounts_.end() ? 0 : it->second;
  }
  auto it = counts_.find(kind);
  return it == counts_.end() ? 0 : it->second;
}

std::string PoolTagText(ULONG tag) {
  std::string text;
  for (int i = 0; i < 4; ++i) {
    const char c = char((tag >> (8 * i)) & 0xFF);
    text += (c >= 0x20 && c < 0x7F) ? c : '.';
  }
  return text;
}

}  // namespace winsim
