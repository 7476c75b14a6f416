// Releasing values and operations: it runs while std::bad_alloc unwinds, so it must never allocate,
// and it must free everything, whatever the shape. This file replaces the global allocation
// functions of the test program to count every allocation and every free.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>
#include <utility>

#include "helpers.h"
#include "json_value/json_value.h"
#include "operations/operation.h"
#include "patch/patch.h"

namespace {

std::atomic<long> allocations{0};
std::atomic<long> frees{0};

void* counted_allocation(std::size_t size) {
  void* p = std::malloc(size == 0 ? 1 : size);
  if (p == nullptr) throw std::bad_alloc();
  allocations.fetch_add(1, std::memory_order_relaxed);
  return p;
}

void counted_free(void* p) noexcept {
  if (p == nullptr) return;
  frees.fetch_add(1, std::memory_order_relaxed);
  std::free(p);
}

}  // namespace

void* operator new(std::size_t size) { return counted_allocation(size); }
void* operator new[](std::size_t size) { return counted_allocation(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  void* p = std::malloc(size == 0 ? 1 : size);
  if (p != nullptr) allocations.fetch_add(1, std::memory_order_relaxed);
  return p;
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept { return operator new(size, tag); }
void operator delete(void* p) noexcept { counted_free(p); }
void operator delete[](void* p) noexcept { counted_free(p); }
void operator delete(void* p, std::size_t) noexcept { counted_free(p); }
void operator delete[](void* p, std::size_t) noexcept { counted_free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { counted_free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { counted_free(p); }

namespace quillfen {
namespace {

using test_util::J;

// Runs make() and drops what it made; checks that dropping allocated nothing and that every block
// allocated while making it was freed.
template <class Make>
void expect_released_without_allocating(Make make) {
  const long live_before = allocations.load() - frees.load();
  {
    auto made = make();
    const long allocations_before_drop = allocations.load();
    { auto dropped = std::move(made); }
    EXPECT_EQ(allocations.load(), allocations_before_drop) << "releasing allocated";
  }
  EXPECT_EQ(allocations.load() - frees.load(), live_before) << "blocks left behind";
}

JsonValue array_of(JsonValue a, JsonValue b) {
  JsonArray items;
  items.push_back(std::move(a));
  items.push_back(std::move(b));
  return JsonValue(std::move(items));
}

JsonValue object_of(JsonValue a, JsonValue b) {
  std::vector<JsonMember> members;
  members.push_back(JsonMember{"a", std::move(a)});
  members.push_back(JsonMember{"b", std::move(b)});
  return JsonValue(JsonObject::from_members(std::move(members)));
}

// Every shape of tree a teardown could get wrong: chains (deep in the first slot or the last),
// wide and bushy trees, arrays and objects alternating, empty containers beside filled ones.
JsonValue tree(int shape, int depth) {
  JsonValue v = J("[1,\"s\"]");
  switch (shape) {
    case 0:  // a chain of one-element arrays
      for (int i = 0; i < depth; ++i) {
        JsonArray a;
        a.push_back(std::move(v));
        v = JsonValue(std::move(a));
      }
      return v;
    case 1:  // objects, the deep member first, then last
      for (int i = 0; i < depth; ++i) v = i % 2 ? object_of(std::move(v), J("{}")) : object_of(J("[[],{}]"), std::move(v));
      return v;
    case 2: {  // wide: many small filled containers in one array
      JsonArray items;
      for (int i = 0; i < depth; ++i) items.push_back(J("[[1],{\"a\":[2,{\"b\":{}}]},\"t\"]"));
      return JsonValue(std::move(items));
    }
    default: {  // a full binary tree, arrays and objects alternating by level
      if (depth == 0) return v;
      return depth % 2 ? array_of(tree(3, depth - 1), tree(3, depth - 1)) : object_of(tree(3, depth - 1), tree(3, depth - 1));
    }
  }
}

TEST(Release, ValuesOfEveryShapeAreFreedWholeWithoutAllocating) {
  for (const std::pair<int, int>& row : {std::pair{0, 200000}, {1, 200000}, {2, 20000}, {3, 14}}) {
    const int shape = row.first;  // plain variables: a lambda may capture them under every compiler
    const int depth = row.second;
    SCOPED_TRACE(shape);
    expect_released_without_allocating([&] { return tree(shape, depth); });
    expect_released_without_allocating([&] {  // the same tree as an object member
      JsonObject o;
      o.append_in_order("k", tree(shape, depth));
      return JsonValue(std::move(o));
    });
  }
}

Operation nested_of(std::vector<ChildEntry> children) { return Nested(std::move(children)); }

Operation operation_tree(int shape, int depth) {
  Operation op = Set{J("[[1],{\"a\":{}}]")};
  switch (shape) {
    case 0:  // a chain of one-child Nested entries
      for (int i = 0; i < depth; ++i) {
        std::vector<ChildEntry> children;
        children.push_back(ChildEntry{"k", std::move(op)});
        op = nested_of(std::move(children));
      }
      return op;
    case 1: {  // wide, with every variant beside the filled lists
      std::vector<ChildEntry> children;
      for (int i = 0; i < depth; ++i) {
        std::vector<ChildEntry> inner;
        inner.push_back(ChildEntry{"a", Nested()});
        inner.push_back(ChildEntry{"b", Test{J("{\"t\":[1]}")}});
        inner.push_back(ChildEntry{"c", nested_of({})});
        inner.push_back(ChildEntry{"d", Move{"x", "y"}});
        children.push_back(ChildEntry{"n", nested_of(std::move(inner))});
        children.push_back(ChildEntry{"m", Delete{}});
      }
      return nested_of(std::move(children));
    }
    default: {  // a full binary tree
      if (depth == 0) return op;
      std::vector<ChildEntry> children;
      children.push_back(ChildEntry{"l", operation_tree(2, depth - 1)});
      children.push_back(ChildEntry{"r", operation_tree(2, depth - 1)});
      return nested_of(std::move(children));
    }
  }
}

TEST(Release, OperationsAndPatchesOfEveryShapeAreFreedWholeWithoutAllocating) {
  for (const std::pair<int, int>& row : {std::pair{0, 200000}, {1, 20000}, {2, 14}}) {
    const int shape = row.first;  // plain variables: a lambda may capture them under every compiler
    const int depth = row.second;
    SCOPED_TRACE(shape);
    expect_released_without_allocating([&] { return operation_tree(shape, depth); });
    expect_released_without_allocating([&] {
      Patch p;
      (void)p.insert("k", operation_tree(shape, depth));
      (void)p.insert("j", Set{tree(3, 4)});
      return p;
    });
  }
}

}  // namespace
}  // namespace quillfen
