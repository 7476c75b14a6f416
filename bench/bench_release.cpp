// What releasing a document costs: drops values of several shapes and prints each time as a ratio to
// a deep copy of the same value (the walk that makes as many blocks as the release frees).
//   cmake -S . -B build/bench -DQUILLFEN_BUILD_BENCH=ON -DQUILLFEN_BUILD_PYTHON=OFF && cmake --build build/bench
//   build/bench/bench_release
#include <chrono>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "json_value/json_value.h"
#include "operations/operation.h"

using quillfen::ChildEntry;
using quillfen::JsonArray;
using quillfen::JsonMember;
using quillfen::JsonNumber;
using quillfen::JsonObject;
using quillfen::JsonValue;
using quillfen::Nested;
using quillfen::Operation;
using quillfen::Set;

namespace {

double seconds_of(void (*run)(double&, double&), double& copy_s) {
  double best_release = 1e9;
  double best_copy = 1e9;
  for (int round = 0; round < 5; ++round) {
    double release_s = 0;
    double c = 0;
    run(release_s, c);
    best_release = std::min(best_release, release_s);
    best_copy = std::min(best_copy, c);
  }
  copy_s = best_copy;
  return best_release;
}

double since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

JsonValue number(int i) { return JsonValue(JsonNumber::from_unsigned(static_cast<unsigned>(i))); }

// 100,000 records like a table of rows: {"_": "r<i>", "tags": ["a", "b"], "v": {"x": i, "y": [i]}}.
JsonValue records() {
  JsonArray rows;
  for (int i = 0; i < 100000; ++i) {
    JsonArray tags;
    tags.push_back(JsonValue("a"));
    tags.push_back(JsonValue("b"));
    JsonArray y;
    y.push_back(number(i));
    std::vector<JsonMember> v;
    v.push_back(JsonMember{"x", number(i)});
    v.push_back(JsonMember{"y", JsonValue(std::move(y))});
    std::vector<JsonMember> row;
    std::string serial = "r";
    serial += std::to_string(i);
    row.push_back(JsonMember{"_", JsonValue(std::move(serial))});
    row.push_back(JsonMember{"tags", JsonValue(std::move(tags))});
    row.push_back(JsonMember{"v", JsonValue(JsonObject::from_members(std::move(v)))});
    rows.push_back(JsonValue(JsonObject::from_members(std::move(row))));
  }
  return JsonValue(std::move(rows));
}

JsonValue chain() {
  JsonValue v = number(1);
  for (int i = 0; i < 1000000; ++i) {
    JsonArray a;
    a.push_back(std::move(v));
    v = JsonValue(std::move(a));
  }
  return v;
}

template <JsonValue (*Make)()>
void time_value(double& release_s, double& copy_s) {
  const JsonValue source = Make();
  auto start = std::chrono::steady_clock::now();
  JsonValue copy = source.copy();
  copy_s = since(start);
  start = std::chrono::steady_clock::now();
  { JsonValue dropped = std::move(copy); }
  release_s = since(start);
}

Operation nested_chain() {
  Operation op = Set{number(1)};
  for (int i = 0; i < 1000000; ++i) {
    std::vector<ChildEntry> children;
    children.push_back(ChildEntry{"k", std::move(op)});
    op = Nested(std::move(children));
  }
  return op;
}

Operation nested_wide() {
  std::vector<ChildEntry> children;
  for (int i = 0; i < 200000; ++i) {
    std::vector<ChildEntry> inner;
    inner.push_back(ChildEntry{"a", Set{number(i)}});
    std::vector<ChildEntry> leaf;
    leaf.push_back(ChildEntry{"c", Set{number(i)}});
    inner.push_back(ChildEntry{"b", Nested(std::move(leaf))});
    std::string key = "n";
    key += std::to_string(i);
    children.push_back(ChildEntry{std::move(key), Nested(std::move(inner))});
  }
  return Nested(std::move(children));
}

template <Operation (*Make)()>
void time_operation(double& release_s, double& copy_s) {
  const Operation source = Make();
  auto start = std::chrono::steady_clock::now();
  Operation copy = quillfen::copy_operation(source);
  copy_s = since(start);
  start = std::chrono::steady_clock::now();
  { Operation dropped = std::move(copy); }
  release_s = since(start);
}

}  // namespace

int main() {
  struct Row {
    const char* what;
    void (*run)(double&, double&);
  };
  const Row rows[] = {
      {"100,000 records (value)", time_value<records>},
      {"1,000,000-level chain (value)", time_value<chain>},
      {"200,000 wide Nested (operation)", time_operation<nested_wide>},
      {"1,000,000-level Nested (operation)", time_operation<nested_chain>},
  };
  std::printf("release time / deep copy time of the same value (best of 5)\n");
  for (const Row& r : rows) {
    double copy_s = 0;
    const double release_s = seconds_of(r.run, copy_s);
    std::printf("  %-36s %8.3f ms / %8.3f ms = %.2f\n", r.what, release_s * 1e3, copy_s * 1e3, release_s / copy_s);
  }
}
