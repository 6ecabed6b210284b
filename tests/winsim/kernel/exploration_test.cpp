// Schedule exploration: a lost update between two threads, which only an
// explored schedule shows; replay from a seed; the default schedule kept.
#include <gtest/gtest.h>
#include <wdm.h>

#include <string>
#include <vector>

#include "ground/exploration.h"
#include "machine/machine.h"

namespace {

using winsim::ExploreConfig;
using winsim::ExploreStrategy;

winsim::MachineConfig Config(const ExploreConfig& explore) {
  winsim::MachineConfig config;
  config.explore = explore;
  return config;
}

struct LostUpdateRun {
  LONG counter = 0;
  std::vector<std::string> order;  // which adder ran its steps when
  std::vector<std::string> switches;
  std::vector<std::pair<uint64_t, uint32_t>> widths;
};

// Two threads add one each by a read and a write, both interlocked (so both
// switch points), but not one atomic step: a switch between them loses one.
LostUpdateRun RunLostUpdate(const ExploreConfig& explore) {
  winsim::Machine machine(Config(explore));
  LostUpdateRun run;
  EXPECT_TRUE(machine.Run([&] {
    for (const char* name : {"first", "second"}) {
      machine.Sched().CreateThread(name, [&run, name] {
        const LONG seen = InterlockedExchangeAdd(&run.counter, 0);
        run.order.push_back(std::string(name) + " read");
        InterlockedExchange(&run.counter, seen + 1);
        run.order.push_back(std::string(name) + " wrote");
      });
    }
  }));
  for (const auto& record : machine.Sched().Switches()) run.switches.push_back(Describe(record));
  if (const auto* explorer = machine.Sched().Exploring()) run.widths = explorer->Widths();
  return run;
}

ExploreConfig Pct(uint64_t seed) {
  ExploreConfig config;
  config.strategy = ExploreStrategy::Pct;
  config.seed = seed;
  config.steps = 8;
  return config;
}

TEST(Exploration, WithoutItThreadsRunInCreationOrderUntilTheyBlock) {
  const LostUpdateRun run = RunLostUpdate({});
  EXPECT_EQ(run.counter, 2);
  EXPECT_EQ(run.order,
            (std::vector<std::string>{"first read", "first wrote", "second read", "second wrote"}));
  EXPECT_TRUE(run.switches.empty());
}

TEST(Exploration, PctFindsTheLostUpdateAndASeedReplaysItsSchedule) {
  int lost = 0;
  for (uint64_t seed = 1; seed <= 40; ++seed) {
    const LostUpdateRun run = RunLostUpdate(Pct(seed));
    const LostUpdateRun again = RunLostUpdate(Pct(seed));
    EXPECT_EQ(again.order, run.order) << "seed " << seed;
    EXPECT_EQ(again.switches, run.switches) << "seed " << seed;
    if (run.counter == 1) {
      ++lost;
      EXPECT_FALSE(run.switches.empty());
    }
  }
  // Depth 2 (one thread reads, the other writes in between): at least
  // 1 / (n k) = 1/16 of the seeds, in expectation.
  EXPECT_GE(lost, 3);
}

struct SearchResult {
  uint64_t schedules = 0;
  std::vector<std::string> lost;  // the preemption lists that lost the update
};

// Every schedule with at most `bound` preemptions.
SearchResult SearchLostUpdates(int bound) {
  winsim::PreemptionSearch search(bound);
  SearchResult result;
  while (const auto preemptions = search.Next()) {
    ExploreConfig config;
    config.strategy = ExploreStrategy::PreemptionBound;
    config.preemptions = *preemptions;
    const LostUpdateRun run = RunLostUpdate(config);
    EXPECT_EQ(run.switches.size(), preemptions->size()) << FormatPreemptions(*preemptions);
    if (run.counter == 1) result.lost.push_back(FormatPreemptions(*preemptions));
    search.Ran(run.widths);
    if (search.Count() > 100) break;  // a search that does not end
  }
  result.schedules = search.Count();
  return result;
}

TEST(Exploration, PreemptionBoundingEnumeratesEverySchedulesWithinTheBound) {
  // Bound 0 is the default schedule alone. The first thread has two switch
  // points with the second ready; one preemption at its write loses the
  // update: step 3 (step 1 is the dispatch that starts the first thread,
  // with both ready). Two preemptions add the schedules that switch back.
  EXPECT_EQ(SearchLostUpdates(0).schedules, 1u);
  EXPECT_TRUE(SearchLostUpdates(0).lost.empty());
  EXPECT_EQ(SearchLostUpdates(1).schedules, 3u);
  EXPECT_EQ(SearchLostUpdates(1).lost, std::vector<std::string>{"3:1"});
  const SearchResult two = SearchLostUpdates(2);
  EXPECT_GT(two.schedules, 3u);
  EXPECT_LE(two.schedules, 100u);
  EXPECT_GE(two.lost.size(), 2u);
}

// A thread that yields while it waits for another is not picked again at
// once, whatever its priority: the other runs.
TEST(Exploration, AYieldingThreadLetsAnotherRunUnderPct) {
  for (uint64_t seed = 1; seed <= 10; ++seed) {
    winsim::Machine machine(Config(Pct(seed)));
    bool set = false;
    int polls = 0;
    EXPECT_TRUE(machine.Run([&] {
      machine.Sched().CreateThread("poller", [&] {
        while (!set && polls < 1000) {
          ++polls;
          machine.Sched().Yield();
        }
      });
      machine.Sched().CreateThread("setter", [&] { set = true; });
    }));
    EXPECT_TRUE(set);
    EXPECT_LT(polls, 1000) << "seed " << seed;
  }
}

TEST(Exploration, PreemptionListsReadBackAndMalformedOnesAreRefused) {
  const std::vector<winsim::Preemption> list = {{12, 1}, {40, 2}};
  EXPECT_EQ(winsim::FormatPreemptions(list), "12:1,40:2");
  EXPECT_EQ(winsim::ParsePreemptions("12:1,40:2"), list);
  EXPECT_EQ(winsim::ParsePreemptions(""), std::vector<winsim::Preemption>{});
  for (const char* bad : {"12", "12:0", "40:1,12:1", "12:1x", "a:b", "12:1,12:2"}) {
    EXPECT_EQ(winsim::ParsePreemptions(bad), std::nullopt) << bad;
  }
}

}  // namespace
