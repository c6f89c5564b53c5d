// What every fuzz target shares: the libFuzzer entry point it defines, and a
// check that stops the run (a finding) when a parser breaks a promise its
// header makes, not only when it crashes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

#define FUZZ_CHECK(condition)                                                                   \
  do {                                                                                          \
    if (!(condition)) {                                                                         \
      std::fprintf(stderr, "fuzz check failed at %s:%d: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                             \
    }                                                                                           \
  } while (0)

namespace ordalen::fuzz {

inline std::span<const std::uint8_t> Bytes(const std::uint8_t* data, std::size_t size) {
  return {data, size};
}

inline std::string_view Text(const std::uint8_t* data, std::size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

// A scan log in a folder of its own for the targets whose code may log (removed
// at exit), so that neither a fuzz run nor a replay writes beside the caller.
void UsePrivateLogFolder();

}  // namespace ordalen::fuzz
