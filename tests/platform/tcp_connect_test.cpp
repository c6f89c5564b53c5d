#include "platform/tcp_connect.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <vector>

#include "support/loopback_peer.h"

namespace ordalen {
namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kLoopback = 0x7F000001;

class ConnectProbeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (test::NoNetworkNamespace()) GTEST_SKIP() << "no network namespace of our own";
  }
};

TEST_F(ConnectProbeTest, AcceptingRefusingAndImpossiblePorts) {
  test::TcpListener listener("127.0.0.1", 0);
  std::uint16_t closed = 0;
  {
    test::TcpListener gone("127.0.0.1", 0);
    closed = gone.port();
  }
  struct Case {
    const char* what;
    std::uint32_t address;
    std::uint32_t port;
    bool accepts;
  } cases[] = {
      {"listening", kLoopback, listener.port(), true},
      {"closed: refused at once", kLoopback, closed, false},
      {"port 0", kLoopback, 0, false},
      {"port above 65535", kLoopback, 65536u + listener.port(), false},
      {"no route (only lo exists)", 0x0A4D01C8, 3389, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const auto started = Clock::now();
    EXPECT_EQ(ConnectProbe(c.address, c.port), c.accepts);
    EXPECT_LT(Clock::now() - started, milliseconds(500));
  }
}

TEST_F(ConnectProbeTest, SilentPortEndsAtTheTimeLimit) {
  // A listener whose accept queue is full drops further connection requests
  // without an answer, as a filtered port does.
  test::TcpListener listener("127.0.0.1", 0, 0);
  int accepted = 0;
  for (int i = 0; i < 8 && accepted == i; ++i)
    accepted += ConnectProbe(kLoopback, listener.port(), milliseconds(200)) ? 1 : 0;
  ASSERT_GE(accepted, 1);
  ASSERT_LT(accepted, 8) << "the accept queue never filled";
  const auto started = Clock::now();
  EXPECT_FALSE(ConnectProbe(kLoopback, listener.port(), milliseconds(300)));
  const auto took = Clock::now() - started;
  EXPECT_GE(took, milliseconds(290));
  EXPECT_LT(took, milliseconds(900));
}

}  // namespace
}  // namespace ordalen
