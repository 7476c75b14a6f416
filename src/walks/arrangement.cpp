#include "walks/arrangement.h"

#include <algorithm>
#include <cstdint>
#include <utility>

namespace quillfen {

namespace {

constexpr std::size_t kNone = ~std::size_t{0};

// The last placement of one element, and where it leads.
struct Placed {
  std::size_t node;    // old elements 0..length-1, new ones after them
  std::size_t rank;    // the placement's place in the pass's entry order
  std::size_t parent;  // the node it stands after, the head (first), or kNone (passed over)
};

}  // namespace

Arrangement arrange(std::size_t length, const std::vector<std::size_t>& removals, std::size_t fresh,
                    const std::vector<PlacedElement>& placed) {
  // Work in proportion to the placements, with one bit per element to find them: a long array with
  // a few placements costs little more than one pass over its order.
  const std::size_t nodes = length + fresh;
  const std::size_t head = nodes;
  const auto node_of = [length](ArraySlot slot) { return slot.fresh ? length + slot.index : slot.index; };

  // Each element's last placement, found by node.
  std::vector<Placed> last;
  last.reserve(placed.size());
  for (std::size_t r = 0; r < placed.size(); ++r) last.push_back(Placed{node_of(placed[r].element), r, kNone});
  std::sort(last.begin(), last.end(), [](const Placed& a, const Placed& b) { return a.node != b.node ? a.node < b.node : a.rank > b.rank; });
  last.erase(std::unique(last.begin(), last.end(), [](const Placed& a, const Placed& b) { return a.node == b.node; }), last.end());
  const auto find = [&last](std::size_t node) -> Placed* {
    auto it = std::lower_bound(last.begin(), last.end(), node, [](const Placed& p, std::size_t n) { return p.node < n; });
    return it != last.end() && it->node == node ? &*it : nullptr;
  };
  for (Placed& p : last) {
    const PlacedElement& e = placed[p.rank];
    if (e.kind == PlacedElement::Anchor::First) p.parent = head;
    if (e.kind == PlacedElement::Anchor::Element) p.parent = node_of(e.anchor);
  }

  // Loops: follow each chain of placed elements up; a chain that comes back to itself is a loop, and
  // its member placed first is passed over. Each element is walked once.
  std::vector<std::uint8_t> state(last.size(), 0);  // 0 unseen, 1 on the chain being walked, 2 done
  std::vector<std::size_t> chain;                   // indices into `last`
  std::vector<std::size_t> by_rank(last.size());
  for (std::size_t i = 0; i < last.size(); ++i) by_rank[i] = i;
  std::sort(by_rank.begin(), by_rank.end(), [&last](std::size_t a, std::size_t b) { return last[a].rank < last[b].rank; });
  for (const std::size_t start : by_rank) {
    chain.clear();
    std::size_t at = start;
    while (at != kNone && state[at] == 0 && last[at].parent != kNone && last[at].parent != head) {
      state[at] = 1;
      chain.push_back(at);
      const Placed* up = find(last[at].parent);
      at = up != nullptr ? static_cast<std::size_t>(up - last.data()) : kNone;
    }
    if (at != kNone && state[at] == 1) {
      std::size_t first = at;
      for (auto it = std::find(chain.begin(), chain.end(), at); it != chain.end(); ++it)
        if (last[*it].rank < last[first].rank) first = *it;
      last[first].parent = kNone;
    }
    for (const std::size_t i : chain) state[i] = 2;
  }

  // The elements placed after each node, in entry order; bits for the nodes that stand elsewhere and
  // for those that have followers.
  std::vector<Placed> followers;
  followers.reserve(last.size());
  std::vector<bool> elsewhere(nodes, false), followed(nodes + 1, false);
  for (const Placed& p : last) {
    if (p.parent == kNone) continue;
    followers.push_back(p);
    elsewhere[p.node] = true;
    followed[p.parent] = true;
  }
  std::sort(followers.begin(), followers.end(), [](const Placed& a, const Placed& b) { return a.parent != b.parent ? a.parent < b.parent : a.rank < b.rank; });

  Arrangement out;
  std::vector<ArraySlot>& order = out.order;
  order.reserve(nodes - removals.size());
  const auto slot_of = [length](std::size_t node) { return node < length ? ArraySlot{node, false} : ArraySlot{node - length, true}; };
  std::vector<std::pair<std::vector<Placed>::const_iterator, std::vector<Placed>::const_iterator>> stack;  // followers still to emit
  const auto after = [&followers](std::size_t node) {
    return std::equal_range(followers.cbegin(), followers.cend(), Placed{0, 0, node},
                            [](const Placed& a, const Placed& b) { return a.parent < b.parent; });
  };
  const auto emit_followers = [&](std::size_t root) {  // depth first, each follower before its own
    stack.push_back(after(root));
    while (!stack.empty()) {
      auto& [next, end] = stack.back();
      if (next == end) {
        stack.pop_back();
        continue;
      }
      const std::size_t node = (next++)->node;
      order.push_back(slot_of(node));
      if (followed[node]) stack.push_back(after(node));  // `next` and `end` are stale now
    }
  };
  if (followed[head]) emit_followers(head);
  auto removal = removals.begin();
  for (std::size_t i = 0; i < nodes; ++i) {
    if (i < length && removal != removals.end() && *removal == i) {
      ++removal;
      continue;
    }
    if (elsewhere[i]) continue;  // stands after its anchor
    order.push_back(slot_of(i));
    if (followed[i]) emit_followers(i);
  }
  out.moved.assign(length, false);
  for (const Placed& p : followers)
    if (p.node < length) out.moved[p.node] = true;
  return out;
}

}  // namespace quillfen
