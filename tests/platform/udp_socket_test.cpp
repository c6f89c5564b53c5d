#include "platform/udp_socket.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <thread>
#include <vector>

#include "support/loopback_peer.h"

namespace ordalen {
namespace {

class UdpSocketTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (test::NoNetworkNamespace()) GTEST_SKIP() << "no network namespace of our own";
  }
};

TEST_F(UdpSocketTest, SendsReceivesAndReportsNothingWaiting) {
  OsError error;
  auto socket = CUDP::Create(0, &error);
  ASSERT_TRUE(socket) << error.message;
  ASSERT_NE(socket->Port(), 0);
  test::UdpPeer peer("127.0.0.2", 0);

  std::array<std::uint8_t, 16> buffer{};
  EXPECT_FALSE(socket->ReceiveFrom(buffer, &error));
  EXPECT_EQ(error.code, 0) << "nothing waiting is not an error";

  const std::vector<std::uint8_t> hello = {'h', 'e', 'l', 'l', 'o'};
  ASSERT_TRUE(socket->SendTo(hello, peer.port(), "127.0.0.2", &error)) << error.message;
  const auto seen = peer.Receive(std::chrono::milliseconds(1000));
  ASSERT_TRUE(seen);
  EXPECT_EQ(seen->bytes, hello);
  EXPECT_EQ(seen->from_port, socket->Port());

  // A longer datagram than the buffer is cut to the buffer.
  peer.SendTo(std::vector<std::uint8_t>(40, 0x5A), "127.0.0.1", socket->Port());
  std::optional<ReceivedDatagram> got;
  for (int i = 0; i < 100 && !got; ++i) {
    got = socket->ReceiveFrom(buffer, &error);
    if (!got) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_TRUE(got);
  EXPECT_EQ(got->size, buffer.size());
  EXPECT_EQ(got->from_address, 0x7F000002u);
  EXPECT_EQ(got->from_port, peer.port());
  EXPECT_FALSE(socket->ReceiveFrom(buffer, &error));
  EXPECT_EQ(error.code, 0);
}

TEST_F(UdpSocketTest, FailuresComeBackWithTheirCause) {
  OsError error;
  test::UdpPeer holder("0.0.0.0", 0);
  EXPECT_FALSE(CUDP::Create(holder.port(), &error));
  EXPECT_EQ(error.code, EADDRINUSE);
  EXPECT_NE(error.message.find(std::to_string(holder.port())), std::string::npos) << error.message;

  auto socket = CUDP::Create(0, &error);
  ASSERT_TRUE(socket);
  const std::uint8_t byte = 0;
  struct Case {
    const char* address;
    int code;
  } cases[] = {{"not an address", EINVAL}, {"10.1", EINVAL}, {"10.77.1.20", ENETUNREACH}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.address);
    error = OsError{};
    EXPECT_FALSE(socket->SendTo(std::span<const std::uint8_t>(&byte, 1), 137, c.address, &error));
    EXPECT_EQ(error.code, c.code);
  }
}

}  // namespace
}  // namespace ordalen
