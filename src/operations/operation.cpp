#include "operations/operation.h"

#include <algorithm>
#include <type_traits>
#include <utility>

namespace quillfen {

Nested::Nested(ChildList c) noexcept : children(std::move(c)) {}
Nested::Nested(Nested&&) noexcept = default;
Nested& Nested::operator=(Nested&& other) noexcept {
  if (this != &other) {
    Nested old(std::move(*this));  // freed by its own destructor, without recursion
    children = std::move(other.children);
  }
  return *this;
}

namespace {

// The child list of `op` when it is a Nested that has children; null otherwise.
ChildList* filled_children(Operation& op) noexcept {
  Nested* n = std::get_if<Nested>(&op);
  return n != nullptr && !n->children.empty() ? &n->children : nullptr;
}

}  // namespace

// Frees the subtree without recursing and without allocating (it may run while std::bad_alloc
// unwinds). The lists still to free are kept in the tree itself: when the last entry of the list
// being emptied holds children, that child list takes its place, and the emptied list is parked in
// the first entry of the child list (whose operation moves to where the child list was). So the
// first entry of each list in the chain leads back to the one to resume. Each entry is dropped once
// and each list parked once: linear time.
Nested::~Nested() {
  if (std::none_of(children.begin(), children.end(), [](ChildEntry& c) { return filled_children(c.operation) != nullptr; }))
    return;  // the list's own destructor frees it, one level deep
  ChildList current = std::move(children);
  std::size_t parked = 0;  // lists in the chain below `current`; its first entry leads to the next when > 0
  for (;;) {
    while (current.size() > (parked > 0 ? 1 : 0)) {
      ChildList* below = filled_children(current.back().operation);
      if (below == nullptr) {
        current.pop_back();  // holds no filled list: dropping it does not recurse
        continue;
      }
      ChildList child = std::move(*below);
      Operation& first = child.front().operation;
      current.back().operation = std::move(first);  // replaces an empty Nested: nothing to free
      first = Nested(std::move(current));
      current = std::move(child);
      ++parked;
    }
    if (parked == 0) return;
    ChildList next = std::move(std::get<Nested>(current.front().operation).children);
    current = std::move(next);  // the old list holds one empty entry now
    --parked;
  }
}

namespace {

// The operation itself for every variant but Nested; for Nested, an empty one whose list has
// room for the source's children.
Operation shallow_copy(const Operation& op) {
  return std::visit(
      [](const auto& source) -> Operation {
        using Op = std::decay_t<decltype(source)>;
        if constexpr (std::is_same_v<Op, Set> || std::is_same_v<Op, Test>) {
          return Op{source.value.copy()};
        } else if constexpr (std::is_same_v<Op, Nested>) {
          ChildList children;
          children.reserve(source.children.size());
          return Nested(std::move(children));
        } else {
          static_assert(std::is_same_v<Op, Delete> || std::is_same_v<Op, Move> || std::is_same_v<Op, Copy>);
          return source;  // nothing below it to copy
        }
      },
      op);
}

}  // namespace

ChildList copy_children(const ChildList& children) {
  ChildList root;
  root.reserve(children.size());
  struct Step {
    const ChildList* source;
    ChildList* target;  // reserved at the source's size, so its entries never move
  };
  std::vector<Step> pending{{&children, &root}};
  while (!pending.empty()) {
    Step step = pending.back();
    pending.pop_back();
    for (const ChildEntry& child : *step.source) {
      step.target->push_back(ChildEntry{child.key, shallow_copy(child.operation), copy_placement(child.placement)});
      if (const Nested* n = std::get_if<Nested>(&child.operation); n != nullptr && !n->children.empty())
        pending.push_back({&n->children, &std::get<Nested>(step.target->back().operation).children});
    }
  }
  return root;
}

std::unique_ptr<Placement> copy_placement(const std::unique_ptr<Placement>& placement) {
  return placement ? std::make_unique<Placement>(*placement) : nullptr;
}

Operation copy_operation(const Operation& op) {
  if (const Nested* n = std::get_if<Nested>(&op)) return Nested(copy_children(n->children));
  return shallow_copy(op);
}

}  // namespace quillfen
