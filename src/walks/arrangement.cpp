#include "walks/arrangement.h"

#include <algorithm>
#include <cstdint>
#include <utility>

namespace quillfen {

Arrangement arrange(std::size_t length, const std::vector<std::size_t>& removals, std::size_t fresh,
                               const std::vector<PlacedElement>& placed) {
  // Nodes: old elements 0..length-1, new ones after them, and the head (first) at `head`.
  const std::size_t nodes = length + fresh;
  const std::size_t head = nodes;
  constexpr std::size_t kNone = ~std::size_t{0};
  const auto node_of = [length](ArraySlot slot) { return slot.fresh ? length + slot.index : slot.index; };

  // Each node's placement: the rank (in entry order) of the last that names it, and its parent.
  std::vector<std::size_t> rank(nodes, kNone);
  for (std::size_t r = 0; r < placed.size(); ++r) rank[node_of(placed[r].element)] = r;
  std::vector<std::size_t> parent(nodes, kNone);  // kNone: not placed, or its anchor is missing
  for (std::size_t r = 0; r < placed.size(); ++r) {
    const PlacedElement& p = placed[r];
    const std::size_t node = node_of(p.element);
    if (rank[node] != r) continue;  // a later placement of the element counts
    if (p.kind == PlacedElement::Anchor::First) parent[node] = head;
    if (p.kind == PlacedElement::Anchor::Element) parent[node] = node_of(p.anchor);
  }

  // Loops: follow each chain of placed elements up; a chain that comes back to itself is a loop,
  // and its member placed first stays unplaced. Each node is walked once.
  std::vector<std::uint8_t> state(nodes, 0);  // 0 unseen, 1 on the chain being walked, 2 done
  std::vector<std::size_t> chain;
  for (std::size_t r = 0; r < placed.size(); ++r) {
    std::size_t node = node_of(placed[r].element);
    if (rank[node] != r) continue;
    chain.clear();
    while (node != head && node != kNone && state[node] == 0 && parent[node] != kNone) {
      state[node] = 1;
      chain.push_back(node);
      node = parent[node];
    }
    if (node != head && node != kNone && state[node] == 1) {
      const auto start = std::find(chain.begin(), chain.end(), node);
      std::size_t first = node;
      for (auto it = start; it != chain.end(); ++it)
        if (rank[*it] < rank[first]) first = *it;
      parent[first] = kNone;
    }
    for (std::size_t n : chain) state[n] = 2;
  }

  // The elements placed after each node, in entry order, as one flat list per node.
  std::vector<std::size_t> begin(nodes + 2, 0);
  for (std::size_t r = 0; r < placed.size(); ++r) {
    const std::size_t node = node_of(placed[r].element);
    if (rank[node] == r && parent[node] != kNone) ++begin[parent[node] + 1];
  }
  for (std::size_t i = 0; i + 1 < begin.size(); ++i) begin[i + 1] += begin[i];
  std::vector<std::size_t> followers(begin.back());
  std::vector<std::size_t> filled(begin.begin(), begin.end() - 1);
  for (std::size_t r = 0; r < placed.size(); ++r) {
    const std::size_t node = node_of(placed[r].element);
    if (rank[node] == r && parent[node] != kNone) followers[filled[parent[node]]++] = node;
  }

  Arrangement out;
  std::vector<ArraySlot>& order = out.order;
  order.reserve(nodes - removals.size());
  out.moved.assign(length, false);
  for (std::size_t i = 0; i < length; ++i) out.moved[i] = rank[i] != kNone && parent[i] != kNone;
  std::vector<std::pair<std::size_t, std::size_t>> stack;  // a node and its next follower
  const auto emit = [&](std::size_t root) {  // `root` (unless the head), then its followers, depth first
    if (root != head) order.push_back(root < length ? ArraySlot{root, false} : ArraySlot{root - length, true});
    stack.emplace_back(root, begin[root]);
    while (!stack.empty()) {
      auto& [node, next] = stack.back();
      if (next == begin[node + 1]) {
        stack.pop_back();
        continue;
      }
      const std::size_t follower = followers[next++];
      order.push_back(follower < length ? ArraySlot{follower, false} : ArraySlot{follower - length, true});
      stack.emplace_back(follower, begin[follower]);  // `node` and `next` are stale now
    }
  };
  emit(head);
  auto removal = removals.begin();
  for (std::size_t i = 0; i < nodes; ++i) {
    if (i < length && removal != removals.end() && *removal == i) {
      ++removal;
      continue;
    }
    if (rank[i] != kNone && parent[i] != kNone) continue;  // stands after its anchor
    emit(i);
  }
  return out;
}

}  // namespace quillfen
