#include "platform/deadline.h"

namespace ordalen {
namespace {

constexpr std::chrono::milliseconds::rep kMaxWaitMilliseconds = 1'000'000'000;

}  // namespace

int MillisecondsLeft(std::chrono::steady_clock::time_point deadline) {
  const auto left = deadline - std::chrono::steady_clock::now();
  if (left <= std::chrono::steady_clock::duration::zero()) return 0;
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
  return ms > kMaxWaitMilliseconds ? static_cast<int>(kMaxWaitMilliseconds) : static_cast<int>(ms);
}

}  // namespace ordalen
