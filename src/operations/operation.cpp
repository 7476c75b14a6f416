#include "operations/operation.h"

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

Nested::~Nested() {
  // Child lists of nested entries are moved out into a work list before their parent list is
  // freed, so no destructor here sees a filled list below it.
  auto take_lists = [](ChildList& list, std::vector<ChildList>& pending) {
    for (ChildEntry& child : list)
      if (Nested* n = std::get_if<Nested>(&child.operation); n != nullptr && !n->children.empty())
        pending.push_back(std::move(n->children));
  };
  std::vector<ChildList> pending;
  take_lists(children, pending);
  while (!pending.empty()) {
    ChildList list = std::move(pending.back());
    pending.pop_back();
    take_lists(list, pending);
  }
}

namespace {

// The operation itself for every variant but Nested; for Nested, an empty one whose list has
// room for the source's children.
Operation shallow_copy(const Operation& op) {
  switch (op.index()) {
    case 0: return Set{std::get<Set>(op).value.copy()};
    case 1: return Delete{};
    case 2: {
      ChildList children;
      children.reserve(std::get<Nested>(op).children.size());
      return Nested(std::move(children));
    }
    case 3: return std::get<Move>(op);
    case 4: return std::get<Copy>(op);
    default: return Test{std::get<Test>(op).value.copy()};
  }
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
      step.target->push_back(ChildEntry{child.key, shallow_copy(child.operation)});
      if (const Nested* n = std::get_if<Nested>(&child.operation); n != nullptr && !n->children.empty())
        pending.push_back({&n->children, &std::get<Nested>(step.target->back().operation).children});
    }
  }
  return root;
}

Operation copy_operation(const Operation& op) {
  if (const Nested* n = std::get_if<Nested>(&op)) return Nested(copy_children(n->children));
  return shallow_copy(op);
}

}  // namespace quillfen
