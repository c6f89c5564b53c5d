#include "engine/pool.h"

#include <pthread.h>

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <system_error>

#include "app/log.h"
#include "platform/os_error.h"

namespace ordalen {
namespace {

std::function<bool(int)>& StartFailureHook() {
  static std::function<bool(int)> hook;
  return hook;
}

}  // namespace

namespace pool_testing {
void SetThreadStartFailure(std::function<bool(int slot)> fail) {
  StartFailureHook() = std::move(fail);
}
}  // namespace pool_testing

int EffectiveThreadCount(int configured) {
  if (configured < kMinThreadCount) return kMinThreadCount;
  if (configured > kMaxThreadCount) return kMaxThreadCount;
  return configured;
}

int EffectiveSweepThreadCount(int configured) {
  if (configured < kMinThreadCount) return kMinThreadCount;
  if (configured > kMaxSweepThreadCount) return kMaxSweepThreadCount;
  return configured;
}

// A joinable thread with a small stack (std::thread cannot set one).
struct SlotThreads::Handle {
  pthread_t thread{};
  std::function<void()> task;
  SlotThreads* owner = nullptr;
  int slot = 0;
  bool joinable = false;

  static void* Entry(void* self) {
    auto* h = static_cast<Handle*>(self);
    h->task();
    h->owner->Finished(h->slot);
    return nullptr;
  }
};

SlotThreads::SlotThreads(int slots)
    : threads_(static_cast<std::size_t>(slots)), live_(slots, true) {
  for (int i = 0; i < slots; ++i) {
    threads_[i] = std::make_unique<Handle>();
    done_.push_back(i);  // every slot starts as an idle task that has already ended
  }
}

SlotThreads::~SlotThreads() {
  for (auto& h : threads_) {
    if (h && h->joinable) pthread_join(h->thread, nullptr);
  }
  if (start_failures_ > 1)
    WriteLog("thread create error: %d threads could not be created", start_failures_);
}

bool SlotThreads::AnyLive() const {
  for (bool l : live_) {
    if (l) return true;
  }
  return false;
}

bool SlotThreads::Start(int slot, std::function<void()> task) {
  Handle& h = *threads_[slot];
  assert(!h.joinable && !live_[slot]);
  h.task = std::move(task);
  h.owner = this;
  h.slot = slot;
  int rc = EAGAIN;
  if (!StartFailureHook() || !StartFailureHook()(slot)) {
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, kWorkerStackBytes);
    rc = pthread_create(&h.thread, &attr, &Handle::Entry, &h);
    pthread_attr_destroy(&attr);
  }
  if (rc != 0) {
    h.task = nullptr;
    // The first failure says why; the rest are counted (a machine out of threads
    // would otherwise write one line per host).
    if (start_failures_++ == 0)
      WriteLog("thread create error[%d]: %s", rc, SystemErrorText(rc).c_str());
    return false;
  }
  h.joinable = true;
  live_[slot] = true;
  return true;
}

void SlotThreads::MarkFinished(int slot) {
  live_[slot] = true;
  Finished(slot);
}

void SlotThreads::Finished(int slot) {
  {
    std::lock_guard lock(mutex_);
    done_.push_back(slot);
  }
  cv_.notify_one();
}

int SlotThreads::WaitAny() {
  int slot = -1;
  {
    const bool any_live = AnyLive();
    std::unique_lock lock(mutex_);
    if (!any_live && done_.empty()) return -1;
    cv_.wait(lock, [this] { return !done_.empty(); });
    slot = done_.front();
    done_.pop_front();
  }
  Release(slot);
  return slot;
}

void SlotThreads::Release(int slot) {
  Handle& h = *threads_[slot];
  if (h.joinable) {
    pthread_join(h.thread, nullptr);
    h.joinable = false;
  }
  h.task = nullptr;
  live_[slot] = false;
}

void SlotThreads::Collect(int slot) {
  Release(slot);
  // Its completion entry may still sit in the queue; drop it.
  std::lock_guard lock(mutex_);
  std::erase(done_, slot);
}

BackgroundTasks::BackgroundTasks(int max_threads) : max_threads_(std::max(max_threads, 1)) {}

BackgroundTasks::~BackgroundTasks() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  cv_.notify_all();
  for (std::thread& t : threads_) t.join();
}

void BackgroundTasks::Run(int id, std::function<void()> task) {
  {
    std::lock_guard lock(mutex_);
    queue_.emplace_back(id, std::move(task));
    // A thread counts as idle until it wakes: two tasks queued before then need
    // two threads, or the second waits for the first behind a slow name server.
    if (static_cast<int>(queue_.size()) <= idle_ ||
        static_cast<int>(threads_.size()) >= max_threads_) {
      cv_.notify_one();
      return;
    }
  }
  try {
    threads_.emplace_back([this] { Loop(); });
    return;
  } catch (const std::system_error& e) {
    if (threads_.empty()) WriteLog("thread create error: %s", e.what());
  }
  if (!threads_.empty()) return;  // a thread that runs will take it
  // No thread at all: run what is queued here.
  std::unique_lock lock(mutex_);
  while (!queue_.empty()) {
    auto [queued_id, queued] = std::move(queue_.front());
    queue_.pop_front();
    lock.unlock();
    queued();
    lock.lock();
    ended_.push_back(queued_id);
  }
}

void BackgroundTasks::Loop() {
  std::unique_lock lock(mutex_);
  for (;;) {
    ++idle_;
    cv_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
    --idle_;
    if (queue_.empty()) return;  // stopping, nothing left
    auto [id, task] = std::move(queue_.front());
    queue_.pop_front();
    ++running_;
    lock.unlock();
    task();
    lock.lock();
    --running_;
    ended_.push_back(id);
  }
}

void BackgroundTasks::TakeEnded(std::vector<int>& ended) {
  std::lock_guard lock(mutex_);
  ended.insert(ended.end(), ended_.begin(), ended_.end());
  ended_.clear();
}

bool BackgroundTasks::Busy() {
  std::lock_guard lock(mutex_);
  return running_ > 0 || !queue_.empty() || !ended_.empty();
}

}  // namespace ordalen
