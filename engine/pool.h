// The worker pool every phase runs its per-host work through: at most N workers
// at once, a slot refilled the moment its worker ends. Workers write only their
// own context; every merge runs on the dispatching thread, in completion order
// during dispatch and in slot order (0..N-1) during the drain, so the result
// store needs no lock.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace ordalen {

inline constexpr int kMinThreadCount = 1;
// Keeps every worker's descriptors below FD_SETSIZE for select()-based library code,
// and within the NetBIOS query's local port plan (a block of ports per job).
inline constexpr int kMaxThreadCount = 256;
// The ARP and ping sweeps keep their probes in flight on a few shared sockets
// (no thread per probe), so they may have many more at once.
inline constexpr int kMaxSweepThreadCount = 4096;
inline constexpr std::size_t kWorkerStackBytes = std::size_t{512} * 1024;

// The pool size actually used for a configured "Thread" value: 1..256 (the MIB
// phase and the host scan).
int EffectiveThreadCount(int configured);
// The probes in flight at once in the ARP and ping sweeps: 1..4096.
int EffectiveSweepThreadCount(int configured);

// Where a merge happens: in the dispatch loop, or in the final drain.
enum class MergeWhen { kDispatch, kDrain };

// Threads of one batch: N slots, each running at most one task; a finished task
// is reported through a completion queue. Slots start "finished" (an idle task
// that already ended) so the first N work items start at once.
class SlotThreads {
 public:
  explicit SlotThreads(int slots);
  ~SlotThreads();  // joins whatever still runs; logs how many threads failed to start
  SlotThreads(const SlotThreads&) = delete;
  SlotThreads& operator=(const SlotThreads&) = delete;

  // Runs `task` on a new thread for `slot`; false when no thread could be created
  // (the slot then stays empty).
  bool Start(int slot, std::function<void()> task);
  // The next slot whose task has ended (joined), or -1 when none is live.
  int WaitAny();
  // Whether the slot holds a task (running or ended) not yet collected.
  [[nodiscard]] bool Live(int slot) const { return live_[slot]; }
  // Whether any slot holds a task.
  [[nodiscard]] bool AnyLive() const;
  // Waits for the slot's task and collects it.
  void Collect(int slot);
  // Queues the slot as finished without a thread (its work ran on the caller).
  void MarkFinished(int slot);

 private:
  struct Handle;
  void Finished(int slot);
  // Joins the slot's ended thread and empties the slot.
  void Release(int slot);

  std::vector<std::unique_ptr<Handle>> threads_;
  std::vector<bool> live_;  // dispatching thread only
  int start_failures_ = 0;  // dispatching thread only
  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<int> done_;
};

// Runs `item_count` work items through `threads` slots (clamped to 1..256).
//   load(ctx, index, slot): prepares the slot's context for item `index`; items
//                           are loaded in ascending order (an item whose thread
//                           could not be created is loaded again into the next
//                           free slot);
//   work(ctx): the worker, on its own thread;
//   merge(ctx, when): on the dispatching thread, after the worker ended; must do
//                     nothing for a context that holds no result (idle slots).
// A slot whose thread cannot be created stays empty for the rest of the batch
// (logged) and the item goes to the next slot that frees up. Only when no worker
// runs at all does an item run on the dispatching thread, so none is ever lost.
template <class Ctx, class Load, class Work, class Merge>
void RunWorkerBatch(int threads, std::uint64_t item_count, Load&& load, Work&& work,
                    Merge&& merge) {
  threads = EffectiveThreadCount(threads);
  std::vector<Ctx> contexts(static_cast<std::size_t>(threads));
  SlotThreads slots(threads);
  std::uint64_t next = 0;
  for (;;) {
    const int r = slots.WaitAny();
    if (r < 0) break;
    Ctx& ctx = contexts[static_cast<std::size_t>(r)];
    merge(ctx, MergeWhen::kDispatch);
    if (next == item_count) break;
    load(ctx, next, r);
    if (slots.Start(r, [&work, &ctx] { work(ctx); })) {
      ++next;
      continue;
    }
    // Slot r stays empty; the item waits for the next slot that frees up.
    if (slots.AnyLive()) continue;
    // No worker left at all: run the item here; the slot comes round again and
    // the next item tries for a thread once more.
    work(ctx);
    ++next;
    slots.MarkFinished(r);
  }
  for (int j = 0; j < threads; ++j) {
    if (!slots.Live(j)) continue;
    slots.Collect(j);
    merge(contexts[static_cast<std::size_t>(j)], MergeWhen::kDrain);
  }
}

// Runs `item_count` work items with at most `limit` in flight (clamped to
// 1..4096), all on the calling thread, through something that keeps many probes
// going at once (an event loop over shared sockets):
//   load(ctx, index, slot): prepares the slot's context for item `index`; items
//                           are loaded and started in ascending order;
//   start(ctx, slot):       begins the item's work; it ends later (or at once);
//   wait(ended):            blocks until at least one started item has ended and
//                           appends the slots of the items that ended, in the
//                           order they ended; called only while items run;
//   merge(ctx):             after the item ended, in the order `wait` gave.
// A slot is loaded again only after its merge.
template <class Ctx, class Load, class Start, class Wait, class Merge>
void RunInFlightBatch(int limit, std::uint64_t item_count, Load&& load, Start&& start, Wait&& wait,
                      Merge&& merge) {
  limit = EffectiveSweepThreadCount(limit);
  if (static_cast<std::uint64_t>(limit) > item_count) limit = static_cast<int>(item_count);
  std::vector<Ctx> contexts(static_cast<std::size_t>(limit));
  std::vector<int> free_slots;  // taken from the back: slot 0 first
  for (int s = limit - 1; s >= 0; --s) free_slots.push_back(s);
  std::uint64_t next = 0;
  std::size_t running = 0;
  std::vector<int> ended;
  for (;;) {
    while (next < item_count && !free_slots.empty()) {
      const int slot = free_slots.back();
      free_slots.pop_back();
      Ctx& ctx = contexts[static_cast<std::size_t>(slot)];
      load(ctx, next++, slot);
      start(ctx, slot);
      ++running;
    }
    if (running == 0) break;
    ended.clear();
    wait(ended);
    for (const int slot : ended) {
      merge(contexts[static_cast<std::size_t>(slot)]);
      free_slots.push_back(slot);
      --running;
    }
  }
}

// Blocking calls (name lookups) run beside an event loop: tasks are queued and
// run on up to `max_threads` threads, started as the queue needs them; the loop
// collects the ids of the tasks that ended without blocking. A task that cannot
// get a thread runs on the caller.
class BackgroundTasks {
 public:
  explicit BackgroundTasks(int max_threads);
  ~BackgroundTasks();  // lets the queued tasks finish, then joins
  BackgroundTasks(const BackgroundTasks&) = delete;
  BackgroundTasks& operator=(const BackgroundTasks&) = delete;

  void Run(int id, std::function<void()> task);
  // Appends the ids of the tasks that ended since the last call, in the order
  // they ended.
  void TakeEnded(std::vector<int>& ended);
  // Whether a task is queued, running, or ended and not yet taken.
  [[nodiscard]] bool Busy();
  // The threads started so far (on the caller's thread only).
  [[nodiscard]] int Started() const { return static_cast<int>(threads_.size()); }

 private:
  void Loop();

  int max_threads_;
  std::vector<std::thread> threads_;
  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<std::pair<int, std::function<void()>>> queue_;
  std::vector<int> ended_;
  int running_ = 0;
  int idle_ = 0;
  bool stopping_ = false;
};

namespace pool_testing {
// Makes thread creation fail for the slots the hook returns true for (tests
// only; set and cleared on the thread that runs the batch). Null restores.
void SetThreadStartFailure(std::function<bool(int slot)> fail);
}  // namespace pool_testing

// Number of addresses in the inclusive range [first, last]; 0 when first > last.
constexpr std::uint64_t RangeCount(std::uint32_t first, std::uint32_t last) {
  return first > last ? 0 : std::uint64_t{last} - first + 1;
}

}  // namespace ordalen
