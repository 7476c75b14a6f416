#include "patch/patch.h"

#include <sys/random.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <utility>

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
    if (getrandom(&s, sizeof s, 0) != static_cast<ssize_t>(sizeof s)) {
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

std::size_t table_size_for(std::size_t capacity) noexcept {
  std::size_t size = 16;
  while (size < capacity * 2) size *= 2;  // at most half full
  return size;
}

}  // namespace

std::uint64_t new_key_seed() noexcept { return next_map_seed(); }
std::uint64_t keyed_hash(std::string_view key, std::uint64_t seed) noexcept { return hash_key(key, seed); }

Patch::Patch() : Patch(7) {}

Patch::Patch(std::size_t capacity) : slots_(table_size_for(capacity), 0), seed_(next_map_seed()) {
  entries_.reserve(capacity);
  hashes_.reserve(capacity);
}

Patch Patch::copy() const {
  Patch out(entries_.size());
  for_each([&out](const Entry& e) { out.insert(e.key, copy_operation(e.operation)); });
  return out;
}

std::size_t Patch::find_slot(std::string_view key, std::uint64_t hash) const noexcept {
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
    const std::uint32_t slot = slots_[i];
    if (slot == 0) return i;
    if (hashes_[slot - 1] == hash && entries_[slot - 1].key == key) return i;
  }
}

std::optional<Operation> Patch::insert(std::string key, Operation operation) {
  if (slots_.empty()) slots_.assign(table_size_for(0), 0);  // a moved-from patch, used again
  const std::uint64_t hash = hash_key(key, seed_);
  std::size_t i = find_slot(key, hash);
  if (slots_[i] != 0) return std::exchange(entries_[slots_[i] - 1].operation, std::move(operation));
  // Room in both vectors first: an allocation failure must not leave an entry without its hash.
  if (entries_.size() == entries_.capacity()) entries_.reserve(entries_.size() * 2 + 1);
  if (hashes_.size() == hashes_.capacity()) hashes_.reserve(hashes_.size() * 2 + 1);
  if ((entries_.size() + 1) * 2 > slots_.size()) {
    grow();
    i = find_slot(key, hash);
  }
  entries_.push_back(Entry{std::move(key), std::move(operation)});
  hashes_.push_back(hash);
  slots_[i] = static_cast<std::uint32_t>(entries_.size());
  return std::nullopt;
}

const Operation* Patch::find(std::string_view key) const noexcept {
  if (slots_.empty()) return nullptr;
  const std::size_t i = find_slot(key, hash_key(key, seed_));
  return slots_[i] == 0 ? nullptr : &entries_[slots_[i] - 1].operation;
}

Operation* Patch::find(std::string_view key) noexcept {
  return const_cast<Operation*>(static_cast<const Patch*>(this)->find(key));
}

void Patch::grow() {
  std::vector<std::uint32_t> slots(slots_.size() * 2, 0);
  const std::size_t mask = slots.size() - 1;
  for (std::size_t e = 0; e < entries_.size(); ++e) {
    std::size_t i = hashes_[e] & mask;
    while (slots[i] != 0) i = (i + 1) & mask;
    slots[i] = static_cast<std::uint32_t>(e + 1);
  }
  slots_ = std::move(slots);
}

std::vector<Patch::Entry> Patch::take_entries() && {
  std::vector<Entry> out;
  out.reserve(entries_.size());
  for (std::uint32_t slot : slots_)
    if (slot != 0) out.push_back(std::move(entries_[slot - 1]));
  entries_.clear();
  hashes_.clear();
  std::fill(slots_.begin(), slots_.end(), 0);
  return out;
}

}  // namespace quillfen
