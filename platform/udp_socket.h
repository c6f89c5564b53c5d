// A non-blocking IPv4 UDP socket bound to one local port on all addresses: send
// to an address text and port, receive whatever is waiting without blocking.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "platform/os_error.h"
#include "platform/unique_fd.h"

namespace ordalen {

// One datagram taken from the socket.
struct ReceivedDatagram {
  std::size_t size = 0;            // bytes stored in the buffer (a longer datagram is cut)
  std::uint32_t from_address = 0;  // sender, host byte order
  std::uint16_t from_port = 0;     // sender's port
};

// What a datagram exchange needs of a socket; CUDP is the real one.
class DatagramSocket {
 public:
  virtual ~DatagramSocket() = default;

  // Sends `data` as one datagram to `address_text` ("%d.%d.%d.%d") and `port`.
  virtual bool SendTo(std::span<const std::uint8_t> data, std::uint16_t port,
                      const std::string& address_text, OsError* error) = 0;

  // The next waiting datagram, or nullopt: with error->code 0 when nothing is
  // waiting, with the errno when the receive failed.
  virtual std::optional<ReceivedDatagram> ReceiveFrom(std::span<std::uint8_t> buffer,
                                                      OsError* error) = 0;
};

class CUDP final : public DatagramSocket {
 public:
  // A socket bound to `port` (0: any free port) on all local addresses.
  static std::optional<CUDP> Create(std::uint16_t port, OsError* error);

  CUDP(CUDP&&) noexcept = default;
  CUDP& operator=(CUDP&&) noexcept = default;

  bool SendTo(std::span<const std::uint8_t> data, std::uint16_t port,
              const std::string& address_text, OsError* error) override;
  std::optional<ReceivedDatagram> ReceiveFrom(std::span<std::uint8_t> buffer,
                                              OsError* error) override;

  // The bound local port.
  [[nodiscard]] std::uint16_t Port() const { return port_; }
  void Close() { fd_.reset(); }

 private:
  CUDP(UniqueFd fd, std::uint16_t port) : fd_(std::move(fd)), port_(port) {}

  UniqueFd fd_;
  std::uint16_t port_ = 0;
};

}  // namespace ordalen
