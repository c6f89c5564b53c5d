#include "platform/capabilities.h"

#include <endian.h>
#include <linux/capability.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstdint>

namespace ordalen {
namespace {

constexpr std::uint32_t kNetRawBit = 1U << CAP_NET_RAW;  // CAP_NET_RAW < 32: first word

}  // namespace

bool FileHasNetRawCapability(const std::string& path) {
  // The attribute is a vfs_cap_data (version 2) or vfs_ns_cap_data (version 3):
  // the magic and flags word, then permitted and inheritable per 32-bit word.
  vfs_ns_cap_data data{};
  const ssize_t n = ::getxattr(path.c_str(), "security.capability", &data, sizeof data);
  if (n < static_cast<ssize_t>(XATTR_CAPS_SZ_1)) return false;
  // Stored little-endian whatever the machine.
  const std::uint32_t magic_etc = le32toh(data.magic_etc);
  const std::uint32_t revision = magic_etc & VFS_CAP_REVISION_MASK;
  if (revision != VFS_CAP_REVISION_1 && revision != VFS_CAP_REVISION_2 &&
      revision != VFS_CAP_REVISION_3) {
    return false;
  }
  const bool effective = (magic_etc & VFS_CAP_FLAGS_EFFECTIVE) != 0;
  return effective && (le32toh(data.data[0].permitted) & kNetRawBit) != 0;
}

bool ProcessHasNetRawCapability() {
  __user_cap_header_struct header{};
  header.version = _LINUX_CAPABILITY_VERSION_3;
  header.pid = 0;
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
  if (::syscall(SYS_capget, &header, data) != 0) return false;
  return (data[0].effective & kNetRawBit) != 0;
}

}  // namespace ordalen
