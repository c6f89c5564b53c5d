// Test peers on loopback addresses: a UDP socket bound to one address and port
// (127.0.0.1 and 127.0.0.2 both live on lo) and a TCP listener.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace ordalen::test {

// True when the test runs without a network namespace of its own and must not open sockets.
bool NoNetworkNamespace();

struct PeerDatagram {
  std::vector<std::uint8_t> bytes;
  std::string from_address;
  std::uint16_t from_port = 0;
};

class UdpPeer {
 public:
  // Bound to `address`:`port` (port 0: any); throws std::runtime_error on failure.
  UdpPeer(const std::string& address, std::uint16_t port);
  ~UdpPeer();
  UdpPeer(const UdpPeer&) = delete;
  UdpPeer& operator=(const UdpPeer&) = delete;

  [[nodiscard]] std::uint16_t port() const { return port_; }
  void SendTo(const std::vector<std::uint8_t>& bytes, const std::string& address,
              std::uint16_t port);
  // The next datagram within `limit`, or nullopt.
  std::optional<PeerDatagram> Receive(std::chrono::milliseconds limit);

 private:
  int fd_ = -1;
  std::uint16_t port_ = 0;
};

class TcpListener {
 public:
  // Listening on `address`:`port` (0: any) with the given backlog; throws on failure.
  TcpListener(const std::string& address, std::uint16_t port, int backlog = 16);
  ~TcpListener();
  TcpListener(const TcpListener&) = delete;
  TcpListener& operator=(const TcpListener&) = delete;
  [[nodiscard]] std::uint16_t port() const { return port_; }

 private:
  int fd_ = -1;
  std::uint16_t port_ = 0;
};

// A UDP port free on 127.0.0.1 at the moment of asking.
std::uint16_t FreeUdpPort();

}  // namespace ordalen::test
