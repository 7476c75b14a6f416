// Why objects are sorted vectors: builds, walks, copies, searches and drops an object of N members held
// as a JsonObject (sorted vector) and as a std::map, and prints each time as a ratio to the map's.
//   cmake -S . -B build/bench -DQUILLFEN_BUILD_BENCH=ON -DQUILLFEN_BUILD_PYTHON=OFF && cmake --build build/bench
//   build/bench/bench_object_container
#include <chrono>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "json_value/json_value.h"

using quillfen::JsonMember;
using quillfen::JsonNumber;
using quillfen::JsonObject;
using quillfen::JsonValue;

namespace {

template <class F>
double seconds(F&& f) {
  double best = 1e9;
  for (int round = 0; round < 5; ++round) {
    auto start = std::chrono::steady_clock::now();
    f();
    best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  return best;
}

}  // namespace

int main() {
  constexpr int kMembers = 100000;
  std::mt19937_64 rng(42);
  std::vector<std::string> keys;
  for (int i = 0; i < kMembers; ++i) keys.push_back("member_" + std::to_string(rng() % 1000000000));

  auto make_members = [&] {
    std::vector<JsonMember> members;
    members.reserve(keys.size());
    for (std::size_t i = 0; i < keys.size(); ++i) members.push_back({keys[i], JsonValue(JsonNumber::from_unsigned(i))});
    return members;
  };
  auto make_map = [&] {
    std::map<std::string, JsonValue> m;
    for (std::size_t i = 0; i < keys.size(); ++i) m.insert_or_assign(keys[i], JsonValue(JsonNumber::from_unsigned(i)));
    return m;
  };

  JsonObject object = JsonObject::from_members(make_members());
  std::map<std::string, JsonValue> map = make_map();
  std::size_t sink = 0;

  struct Row {
    const char* what;
    double vector_s;
    double map_s;
  };
  std::vector<Row> rows;
  rows.push_back({"build from unordered members", seconds([&] { sink += JsonObject::from_members(make_members()).size(); }),
                  seconds([&] { sink += make_map().size(); })});
  rows.push_back({"walk in key order", seconds([&] {
                    for (const JsonMember& m : object) sink += m.key.size();
                  }),
                  seconds([&] {
                    for (const auto& [k, v] : map) sink += k.size();
                  })});
  const JsonValue whole(JsonObject::from_members(make_members()));
  rows.push_back({"deep copy", seconds([&] { sink += whole.copy().as_object().size(); }),
                  seconds([&] {
                    std::map<std::string, JsonValue> copy;
                    for (const auto& [k, v] : map) copy.emplace_hint(copy.end(), k, v.copy());
                    sink += copy.size();
                  })});
  rows.push_back({"find every key", seconds([&] {
                    for (const std::string& k : keys) sink += object.find(k) != nullptr;
                  }),
                  seconds([&] {
                    for (const std::string& k : keys) sink += map.find(k) != map.end();
                  })});
  std::printf("object of %d members: sorted vector time / std::map time (lower favours the vector)\n", kMembers);
  for (const Row& r : rows) std::printf("  %-30s %6.3f ms / %6.3f ms = %.2f\n", r.what, r.vector_s * 1e3, r.map_s * 1e3, r.vector_s / r.map_s);
  std::printf("(checksum %zu)\n", sink);
}
