#include "engine/pool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

namespace ordalen {
namespace {

struct Ctx {
  bool has_item = false;
  std::uint64_t item = 0;
  int slot = -1;
  std::uint64_t result = 0;
};

struct BatchRun {
  std::vector<std::uint64_t> merged;
  std::vector<MergeWhen> when;
  std::vector<std::thread::id> merge_threads;
  int max_running = 0;
};

BatchRun RunBatch(int threads, std::uint64_t count, int sleep_us_mod = 0) {
  BatchRun run;
  std::atomic<int> running{0};
  std::atomic<int> max_running{0};
  RunWorkerBatch<Ctx>(
      threads, count,
      [](Ctx& ctx, std::uint64_t index, int slot) {
        ctx.has_item = true;
        ctx.item = index;
        ctx.slot = slot;
        ctx.result = 0;
      },
      [&](Ctx& ctx) {
        const int now = ++running;
        int seen = max_running.load();
        while (now > seen && !max_running.compare_exchange_weak(seen, now)) {
        }
        if (sleep_us_mod > 0) {
          std::this_thread::sleep_for(std::chrono::microseconds((ctx.item * 37) % sleep_us_mod));
        }
        ctx.result = ctx.item * 2 + 1;
        --running;
      },
      [&](Ctx& ctx, MergeWhen when) {
        if (!ctx.has_item) return;
        EXPECT_EQ(ctx.result, ctx.item * 2 + 1);
        run.merged.push_back(ctx.item);
        run.when.push_back(when);
        run.merge_threads.push_back(std::this_thread::get_id());
        ctx.has_item = false;
      });
  run.max_running = max_running.load();
  return run;
}

TEST(WorkerBatchTest, EveryItemIsMergedExactlyOnceOnTheDispatchingThread) {
  struct Case {
    int threads;
    std::uint64_t count;
  } cases[] = {{1, 1}, {1, 5}, {4, 1}, {4, 3}, {12, 500}, {64, 1000}, {256, 300}, {3, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << "threads=" << c.threads << " count=" << c.count);
    const BatchRun run = RunBatch(c.threads, c.count, 500);
    std::map<std::uint64_t, int> seen;
    for (auto item : run.merged) ++seen[item];
    EXPECT_EQ(seen.size(), c.count);
    for (const auto& [item, times] : seen) {
      EXPECT_LT(item, c.count);
      EXPECT_EQ(times, 1) << item;
    }
    for (auto id : run.merge_threads) EXPECT_EQ(id, std::this_thread::get_id());
    EXPECT_LE(run.max_running, c.threads);
  }
}

TEST(WorkerBatchTest, AtMostNRunAndTheLastAreMergedInTheDrain) {
  const BatchRun run = RunBatch(4, 40, 2000);
  ASSERT_EQ(run.merged.size(), 40u);
  int drained = 0;
  for (auto w : run.when) drained += w == MergeWhen::kDrain ? 1 : 0;
  // Once the list is exhausted the loop stops; what still runs is merged by the drain.
  EXPECT_GE(drained, 1);
  EXPECT_LE(drained, 4);
  EXPECT_LE(run.max_running, 4);
}

TEST(WorkerBatchTest, ItemsStartInAscendingOrder) {
  std::vector<std::uint64_t> started;
  RunWorkerBatch<Ctx>(
      3, 20,
      [&](Ctx& ctx, std::uint64_t index, int) { started.push_back(index), ctx.item = index; },
      [](Ctx&) {}, [](Ctx&, MergeWhen) {});
  ASSERT_EQ(started.size(), 20u);
  for (std::size_t i = 0; i < started.size(); ++i) EXPECT_EQ(started[i], i);
}

TEST(WorkerBatchTest, OutOfRangeThreadCountsStillRunEveryItem) {
  // 0 and -1 run with one worker, 257 with 256: never a phase that probes nothing.
  struct Case {
    int threads;
    int max_expected;
  } cases[] = {{0, 1}, {-1, 1}, {-1000, 1}, {257, 256}, {100000, 256}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.threads);
    const BatchRun run = RunBatch(c.threads, 300, 300);
    EXPECT_EQ(run.merged.size(), 300u);
    EXPECT_LE(run.max_running, c.max_expected);
    EXPECT_GE(run.max_running, 1);
  }
}

// Thread creation made to fail for some slots: those stay empty, every item is
// still merged once, on the dispatching thread.
class ThreadStartFailureTest : public ::testing::Test {
 protected:
  void TearDown() override { pool_testing::SetThreadStartFailure(nullptr); }
};

TEST_F(ThreadStartFailureTest, FailedSlotsStayEmptyAndNoItemIsLost) {
  struct Case {
    const char* what;
    int threads;
    std::function<bool(int)> fail;
    int max_running;  // workers that can run at once
  } cases[] = {
      {"one slot of four", 4, [](int slot) { return slot == 2; }, 3},
      {"all but slot 0", 8, [](int slot) { return slot != 0; }, 1},
      {"every slot", 4, [](int) { return true; }, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::set<int> slots_used;
    pool_testing::SetThreadStartFailure([&, fail = c.fail](int slot) {
      const bool failed = fail(slot);
      if (!failed) slots_used.insert(slot);
      return failed;
    });
    const BatchRun run = RunBatch(c.threads, 50, 200);
    pool_testing::SetThreadStartFailure(nullptr);
    std::map<std::uint64_t, int> seen;
    for (auto item : run.merged) ++seen[item];
    EXPECT_EQ(seen.size(), 50u);
    for (const auto& [item, times] : seen) EXPECT_EQ(times, 1) << item;
    for (auto id : run.merge_threads) EXPECT_EQ(id, std::this_thread::get_id());
    EXPECT_LE(run.max_running, c.max_running == 0 ? 1 : c.max_running);
    for (int slot : slots_used) EXPECT_FALSE(c.fail(slot)) << slot;
  }
}

TEST_F(ThreadStartFailureTest, WithNoThreadAtAllItemsRunInOrderOnTheCaller) {
  pool_testing::SetThreadStartFailure([](int) { return true; });
  std::vector<std::uint64_t> worked;
  std::vector<std::thread::id> work_threads;
  RunWorkerBatch<Ctx>(
      3, 6, [](Ctx& ctx, std::uint64_t index, int) { ctx.item = index, ctx.has_item = true; },
      [&](Ctx& ctx) {
        worked.push_back(ctx.item);
        work_threads.push_back(std::this_thread::get_id());
      },
      [](Ctx& ctx, MergeWhen) { ctx.has_item = false; });
  EXPECT_EQ(worked, (std::vector<std::uint64_t>{0, 1, 2, 3, 4, 5}));
  for (auto id : work_threads) EXPECT_EQ(id, std::this_thread::get_id());
}

TEST(ThreadCountTest, WorkersClampTo256AndSweepsTo4096) {
  struct Case {
    int configured;
    int workers;
    int sweep;
  } cases[] = {{0, 1, 1},         {-1, 1, 1},        {1, 1, 1},
               {12, 12, 12},      {256, 256, 256},   {257, 256, 257},
               {4096, 256, 4096}, {4097, 256, 4096}, {1 << 30, 256, 4096}};
  for (const auto& c : cases) {
    EXPECT_EQ(EffectiveThreadCount(c.configured), c.workers) << c.configured;
    EXPECT_EQ(EffectiveSweepThreadCount(c.configured), c.sweep) << c.configured;
  }
}

// An event loop stand-in: items end after a number of waits of their own, so
// they end out of order; a wait ends at least one.
struct InFlightRun {
  std::vector<std::uint64_t> started;
  std::vector<std::uint64_t> ended_order;
  std::vector<std::uint64_t> merged;
  std::size_t most_in_flight = 0;
  bool reloaded_before_merge = false;
};

InFlightRun RunInFlight(int limit, std::uint64_t count) {
  InFlightRun run;
  struct Running {
    int slot;
    std::uint64_t item;
    int waits_left;
  };
  std::vector<Running> running;
  std::set<int> busy;
  RunInFlightBatch<Ctx>(
      limit, count,
      [&](Ctx& ctx, std::uint64_t index, int slot) {
        if (busy.contains(slot)) run.reloaded_before_merge = true;
        ctx.item = index;
        ctx.slot = slot;
        ctx.has_item = true;
      },
      [&](Ctx& ctx, int slot) {
        run.started.push_back(ctx.item);
        busy.insert(slot);
        running.push_back(Running{slot, ctx.item, static_cast<int>((ctx.item * 7) % 5)});
        run.most_in_flight = std::max(run.most_in_flight, running.size());
      },
      [&](std::vector<int>& ended) {
        EXPECT_FALSE(running.empty());
        while (ended.empty()) {
          for (auto it = running.begin(); it != running.end();) {
            if (it->waits_left-- > 0) {
              ++it;
              continue;
            }
            ended.push_back(it->slot);
            run.ended_order.push_back(it->item);
            it = running.erase(it);
          }
        }
      },
      [&](Ctx& ctx) {
        EXPECT_TRUE(ctx.has_item);
        run.merged.push_back(ctx.item);
        busy.erase(ctx.slot);
        ctx.has_item = false;
      });
  return run;
}

TEST(InFlightBatchTest, StartsInOrderMergesInEndOrderAndKeepsAtMostTheLimit) {
  struct Case {
    int limit;
    std::uint64_t count;
    std::size_t most;
  } cases[] = {{1, 5, 1},  {4, 3, 3}, {12, 500, 12}, {4096, 4094, 4094}, {100000, 5000, 4096},
               {0, 10, 1}, {5, 0, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << "limit=" << c.limit << " count=" << c.count);
    const InFlightRun run = RunInFlight(c.limit, c.count);
    ASSERT_EQ(run.started.size(), c.count);
    for (std::size_t i = 0; i < run.started.size(); ++i) EXPECT_EQ(run.started[i], i);
    EXPECT_EQ(run.merged, run.ended_order);
    EXPECT_EQ(run.most_in_flight, c.most);
    EXPECT_FALSE(run.reloaded_before_merge);
  }
}

TEST(BackgroundTasksTest, EveryTaskEndsOnceOffTheCallerWithinItsThreads) {
  std::mutex mutex;
  std::set<std::thread::id> threads;
  std::atomic<int> running{0};
  std::atomic<int> most{0};
  std::vector<int> ended;
  {
    BackgroundTasks tasks(3);
    for (int id = 0; id < 40; ++id) {
      tasks.Run(id, [&] {
        const int now = ++running;
        int seen = most.load();
        while (now > seen && !most.compare_exchange_weak(seen, now)) {
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        --running;
        std::lock_guard lock(mutex);
        threads.insert(std::this_thread::get_id());
      });
    }
    while (ended.size() < 40) {
      EXPECT_TRUE(tasks.Busy());
      tasks.TakeEnded(ended);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_FALSE(tasks.Busy());
  }
  std::ranges::sort(ended);
  for (int id = 0; id < 40; ++id) EXPECT_EQ(ended[static_cast<std::size_t>(id)], id);
  EXPECT_LE(most.load(), 3);
  EXPECT_LE(threads.size(), 3u);
  EXPECT_FALSE(threads.contains(std::this_thread::get_id()));
}

TEST(BackgroundTasksTest, TasksQueuedBeforeAnIdleThreadWakesRunAtOnceEach) {
  BackgroundTasks tasks(4);
  // One thread, idle once its task has ended (it counts itself idle before the
  // end can be taken).
  tasks.Run(0, [] {});
  std::vector<int> ended;
  while (ended.empty()) {
    tasks.TakeEnded(ended);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_EQ(tasks.Started(), 1);
  // Two slow lookups asked at once, before the idle thread can have woken for
  // the first: each must run now, not the second behind the first.
  std::mutex mutex;
  std::condition_variable cv;
  int blocked = 0;
  bool release = false;
  const auto slow = [&] {
    std::unique_lock lock(mutex);
    ++blocked;
    cv.notify_all();
    cv.wait(lock, [&] { return release; });
  };
  tasks.Run(1, slow);
  tasks.Run(2, slow);
  EXPECT_EQ(tasks.Started(), 2);
  {
    std::unique_lock lock(mutex);
    EXPECT_TRUE(cv.wait_for(lock, std::chrono::seconds(10), [&] { return blocked == 2; }))
        << "only " << blocked << " of the two ran";
    release = true;
  }
  cv.notify_all();
}

TEST(RangeCountTest, InclusiveAndEmptyWhenReversed) {
  EXPECT_EQ(RangeCount(5, 5), 1u);
  EXPECT_EQ(RangeCount(6, 5), 0u);
  EXPECT_EQ(RangeCount(0, 0xFFFFFFFF), 0x100000000ull);
  EXPECT_EQ(RangeCount(0xFFFFFFFE, 0xFFFFFFFF), 2u);
}

}  // namespace
}  // namespace ordalen
