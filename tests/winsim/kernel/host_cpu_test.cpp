// Where a machine's host threads run: all on the processor its run started
// on, picked again at each run, and let go when the machine goes.
#include <dirent.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "ground/scheduler.h"
#include "machine/machine.h"

namespace {

using Cpus = std::vector<int>;

Cpus CpusOf(const cpu_set_t& mask) {
  Cpus cpus;
  for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
    if (CPU_ISSET(cpu, &mask)) cpus.push_back(cpu);
  }
  return cpus;
}

Cpus CallerCpus() {
  cpu_set_t mask;
  EXPECT_EQ(pthread_getaffinity_np(pthread_self(), sizeof mask, &mask), 0);
  return CpusOf(mask);
}

void KeepCallerTo(const Cpus& cpus) {
  cpu_set_t mask;
  CPU_ZERO(&mask);
  for (int cpu : cpus) CPU_SET(cpu, &mask);
  ASSERT_EQ(pthread_setaffinity_np(pthread_self(), sizeof mask, &mask), 0);
}

// The masks of a run's simulated threads: the first, before and after a
// thread it starts runs, and that thread.
std::vector<Cpus> RunMasks(winsim::Machine& machine) {
  std::vector<Cpus> masks;
  EXPECT_TRUE(machine.Run([&] {
    masks.push_back(CallerCpus());
    machine.Sched().CreateThread("second", [&] { masks.push_back(CallerCpus()); });
    machine.Sched().Yield();
    masks.push_back(CallerCpus());
  }));
  EXPECT_EQ(masks.size(), 3u);
  return masks;
}

class HostCpuTest : public ::testing::Test {
 protected:
  void SetUp() override {
    allowed_ = CallerCpus();
    if (allowed_.size() < 2) GTEST_SKIP() << "a single processor leaves nothing to pick";
    winsim::Scheduler::KeepHostThreadsToOneCpu(true);  // whatever QUILL_SIM_ONE_CPU says
  }
  void TearDown() override {
    KeepCallerTo(allowed_);
    winsim::Scheduler::KeepHostThreadsToOneCpu(true);
  }
  Cpus allowed_;
};

TEST_F(HostCpuTest, EveryThreadOfARunKeepsToOneProcessorTheCallerMayUse) {
  winsim::Machine machine;
  const std::vector<Cpus> masks = RunMasks(machine);
  ASSERT_EQ(masks.front().size(), 1u);
  EXPECT_NE(std::find(allowed_.begin(), allowed_.end(), masks.front().front()), allowed_.end());
  for (const Cpus& mask : masks) EXPECT_EQ(mask, masks.front());
}

TEST_F(HostCpuTest, EachRunPicksAgainWhereItsCallerRuns) {
  winsim::Machine machine;
  RunMasks(machine);  // its host threads made while the caller may run anywhere
  for (int cpu : {allowed_.front(), allowed_.back(), allowed_.front()}) {
    SCOPED_TRACE("caller on " + std::to_string(cpu));
    KeepCallerTo({cpu});
    for (const Cpus& mask : RunMasks(machine)) EXPECT_EQ(mask, Cpus{cpu});
  }
}

TEST_F(HostCpuTest, SwitchedOffThreadsRunWhereTheCallerMayEvenAfterAPinnedMachine) {
  RunMasks(*std::make_unique<winsim::Machine>());  // leaves its host threads in the pool
  winsim::Scheduler::KeepHostThreadsToOneCpu(false);
  winsim::Machine machine;
  for (const Cpus& mask : RunMasks(machine)) EXPECT_EQ(mask, allowed_);
}

TEST_F(HostCpuTest, NoHostThreadStaysPinnedOnceItsMachineHasGone) {
  {
    winsim::Machine machine;
    RunMasks(machine);
  }
  DIR* tasks = opendir("/proc/self/task");
  ASSERT_NE(tasks, nullptr);
  int threads = 0;
  while (const dirent* entry = readdir(tasks)) {
    if (entry->d_name[0] == '.') continue;
    cpu_set_t mask;
    ASSERT_EQ(sched_getaffinity(std::atoi(entry->d_name), sizeof mask, &mask), 0);
    EXPECT_EQ(CpusOf(mask), allowed_) << "thread " << entry->d_name;
    ++threads;
  }
  closedir(tasks);
  EXPECT_GT(threads, 1);  // the pool's parked threads among them
}

}  // namespace
