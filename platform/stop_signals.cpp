#include "platform/stop_signals.h"

#include <pthread.h>
#include <signal.h>

#include <cstdio>

namespace ordalen {
namespace {

constexpr int kStopSignals[] = {SIGTERM, SIGINT};

sigset_t& BlockedSet() {
  static sigset_t set;
  return set;
}

bool InheritedAsIgnored(int signal) {
  struct sigaction current {};
  return ::sigaction(signal, nullptr, &current) == 0 && current.sa_handler == SIG_IGN;
}

}  // namespace

bool BlockStopSignals() {
  sigset_t& set = BlockedSet();
  sigemptyset(&set);
  bool any = false;
  for (const int signal : kStopSignals) {
    // A blocked signal is queued even when its action is to ignore it, so an
    // ignored one must stay out of the set to stay ignored.
    if (InheritedAsIgnored(signal)) continue;
    sigaddset(&set, signal);
    any = true;
  }
  return any && ::pthread_sigmask(SIG_BLOCK, &set, nullptr) == 0;
}

int WaitForStopSignal() {
  int signal = 0;
  while (::sigwait(&BlockedSet(), &signal) != 0) {
  }
  return signal;
}

const char* StopSignalName(int signal) {
  switch (signal) {
    case SIGTERM:
      return "SIGTERM";
    case SIGINT:
      return "SIGINT";
    default: {
      static thread_local char text[32];
      std::snprintf(text, sizeof text, "signal %d", signal);
      return text;
    }
  }
}

}  // namespace ordalen
