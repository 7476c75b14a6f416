#include "base/key_table.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>

namespace quillfen {

namespace {

std::uint64_t splitmix64(std::uint64_t x) noexcept {
  x += 0x9e3779b97f4a7c15ULL;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
  return x ^ (x >> 31);
}

// Drawn from the operating system once per process.
std::uint64_t process_seed() noexcept {
  static const std::uint64_t seed = [] {
    std::uint64_t s = 0;
    // The system call, not glibc's getrandom() (2.25): the wheels link against glibc 2.17.
    if (syscall(SYS_getrandom, &s, sizeof s, 0) != static_cast<long>(sizeof s)) {
      // No random source: still differ between runs.
      s = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
          reinterpret_cast<std::uintptr_t>(&s);
    }
    return s;
  }();
  return seed;
}

// A new seed for each map, stretched from the process seed without another system call.
std::uint64_t next_map_seed() noexcept {
  static std::atomic<std::uint64_t> counter{0};
  return splitmix64(process_seed() ^ splitmix64(counter.fetch_add(1, std::memory_order_relaxed)));
}

std::uint64_t fold_multiply(std::uint64_t a, std::uint64_t b) noexcept {
  const unsigned __int128 r = static_cast<unsigned __int128>(a) * b;
  return static_cast<std::uint64_t>(r) ^ static_cast<std::uint64_t>(r >> 64);
}

std::uint64_t read64(const unsigned char* p) noexcept {
  std::uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

std::uint64_t read32(const unsigned char* p) noexcept {
  std::uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

constexpr std::uint64_t kMix0 = 0xa0761d6478bd642fULL;
constexpr std::uint64_t kMix1 = 0xe7037ed1a0b428dbULL;
constexpr std::uint64_t kMix2 = 0x8ebc6af09c88c6e3ULL;

// A keyed hash of the key's bytes: 16 bytes per round of a folded 128-bit multiply.
std::uint64_t hash_key(std::string_view key, std::uint64_t seed) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(key.data());
  std::size_t n = key.size();
  std::uint64_t h = seed ^ fold_multiply(n ^ kMix0, seed ^ kMix1);
  while (n > 16) {
    h = fold_multiply(read64(p) ^ kMix1 ^ h, read64(p + 8) ^ kMix2 ^ seed);
    p += 16;
    n -= 16;
  }
  std::uint64_t a = 0;
  std::uint64_t b = 0;
  if (n >= 8) {
    a = read64(p);
    b = read64(p + n - 8);
  } else if (n >= 4) {
    a = read32(p);
    b = read32(p + n - 4);
  } else if (n > 0) {
    a = (std::uint64_t{p[0]} << 16) | (std::uint64_t{p[n >> 1]} << 8) | p[n - 1];
  }
  return fold_multiply(fold_multiply(a ^ kMix1 ^ h, b ^ kMix2 ^ seed) ^ kMix0, key.size() ^ kMix1);
}

}  // namespace

std::uint64_t new_key_seed() noexcept { return next_map_seed(); }
std::uint64_t keyed_hash(std::string_view key, std::uint64_t seed) noexcept { return hash_key(key, seed); }

}  // namespace quillfen
