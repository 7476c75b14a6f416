#include "walks/inverse.h"

#include <algorithm>
#include <cstddef>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "operations/operation.h"
#include "patch/reserved_names.h"
#include "walks/apply.h"
#include "walks/apply_walk.h"
#include "walks/value_document.h"

namespace quillfen {

namespace {

using Change = ChangeRecord::Change;
using Kind = ChangeRecord::Change::Kind;
using Pass = ChangeRecord::Pass;

const JsonValue& set_value(const Change& change) { return std::get<Set>(change.entry->operation).value; }

bool carries_serial(const JsonValue& value) {
  if (!value.is_object()) return false;
  const JsonValue* serial = value.as_object().find(kSerialMember);
  return serial != nullptr && serial->is_string();
}

std::string position_key(std::size_t position) { return std::string("[").append(std::to_string(position)).append("]"); }

// The key that names an element in a path: its serial key, or its position.
std::string step_key(const Change& change) { return change.by_serial ? std::string(change.key) : position_key(change.position); }

// How the change at one member or element is undone: set back (Original), deleted (Absent), or
// changed back inside (Nested).
struct Undo {
  enum class Form { Original, Absent, Nested };
  Form form = Form::Nested;
  JsonValue original;
  ChildList children;
  const Change* first = nullptr;  // the change that reached it first
  bool keeps_serial = false;      // Original: the element put there carries its serial
  bool serial_changed = false;    // Nested: the pass below changed the element's "_"
  bool twice = false;             // reached by two entries
};

// What a pass's undo gives the change that entered it: its children, or the whole old value.
struct Delivered {
  ChildList children;
  std::optional<JsonValue> whole;
  bool serial_changed = false;
};

class UndoDerivation {
 public:
  explicit UndoDerivation(ChangeRecord& record)
      : record_(record), ignored_(record.passes.size(), false), delivered_(record.passes.size()) {}

  Result<Patch, Inexpressible> run() {
    if (std::optional<Inexpressible> refusal = first_refusal()) return std::move(*refusal);
    // Children come after their parents in the record: taken from the last, each pass's undo is
    // ready before the pass that entered it needs it.
    for (std::size_t i = record_.passes.size(); i-- > 0;)
      if (!ignored_[i]) delivered_[i] = deliver(record_.passes[i]);
    Patch patch(delivered_[0].children.size());
    for (ChildEntry& entry : delivered_[0].children) patch.insert(std::move(entry));
    return patch;
  }

 private:
  // The first refusal in the walk's order, passing over passes whose undo is not needed (the change
  // that entered them is set back whole). Marks those passes.
  std::optional<Inexpressible> first_refusal() {
    struct Open {
      std::size_t pass;
      std::size_t next;
      std::string step;  // the key that led into the pass (none for the root's)
      std::map<std::string_view, const Change*> members;  // the first change at each key
      std::map<std::size_t, const Change*> elements;       // the first Enter or Replace at each position
    };
    std::vector<Open> open;
    open.push_back(Open{0, 0, {}, {}, {}});
    // The key path to the innermost pass, made only for a refusal.
    const auto path_of = [&open] {
      std::vector<std::string> path;
      for (std::size_t i = 1; i < open.size(); ++i) path.push_back(open[i].step);
      return path;
    };
    while (!open.empty()) {
      Open& at = open.back();
      const Pass& pass = record_.passes[at.pass];
      if (at.next == pass.changes.size()) {
        if (pass.top && pass.serials_kept && !ignored_[at.pass])
          if (std::optional<Inexpressible> refusal = plan_root(pass)) return refusal;
        open.pop_back();
        continue;
      }
      const Change& change = pass.changes[at.next++];
      const bool ignored = ignored_[at.pass];
      const auto refuse = [&](std::string key, const char* reason) -> std::optional<Inexpressible> {
        if (ignored) return std::nullopt;
        std::vector<std::string> path = path_of();
        path.push_back(std::move(key));
        return Inexpressible("Cannot undo the change", std::move(path), reason);
      };
      std::optional<Inexpressible> refusal;
      bool seen = false;
      // Only a pass that reached something twice can meet a member or element again.
      if (!pass.is_array) {
        if (pass.reached_twice) {
          auto [it, added] = at.members.try_emplace(change.key, &change);
          seen = !added;
          if (seen && it->second->kind == Kind::Enter)
            refusal = refuse(std::string(change.key), change.kind == Kind::Enter ? "the member is changed inside twice"
                                                                                  : "the member is replaced after a change inside it");
        }
      } else if (change.kind == Kind::Enter || change.kind == Kind::Replace) {
        if (pass.reached_twice) {
          auto [it, added] = at.elements.try_emplace(change.position, &change);
          seen = !added;
          if (seen && (it->second->kind == Kind::Enter || !pass.top)) refusal = refuse(step_key(change), "the element is reached by two entries");
        }
      }
      if (refusal) return refusal;
      if (change.kind == Kind::Enter && change.inner != ChangeRecord::kNone) {
        ignored_[change.inner] = ignored || seen;
        open.push_back(Open{change.inner, 0, pass.is_array ? step_key(change) : std::string(change.key), {}, {}});  // `at` is stale now
      }
    }
    return std::nullopt;
  }

  // The undo of the first change that reached a member or element; later ones are refused or, for
  // a member set back whole, need nothing more.
  // The values of the record move into the undo: each is taken once.
  Undo first_undo(Change& change) {
    Undo undo;
    undo.first = &change;
    switch (change.kind) {
      case Kind::Enter: {
        if (change.inner == ChangeRecord::kNone) break;
        Delivered& inner = delivered_[change.inner];
        if (inner.whole) {
          undo.form = Undo::Form::Original;
          undo.original = std::move(*inner.whole);
          undo.keeps_serial = change.by_serial && undo.original.is_object();
        } else {
          undo.children = std::move(inner.children);
          undo.serial_changed = inner.serial_changed;
        }
        break;
      }
      case Kind::Put:
      case Kind::Remove:
      case Kind::Replace:
        if (!change.had_old) {
          undo.form = Undo::Form::Absent;
          break;
        }
        undo.form = Undo::Form::Original;
        undo.original = std::move(change.old);
        undo.keeps_serial = change.kind == Kind::Replace && change.by_serial && set_value(change).is_object();
        break;
      default: break;
    }
    return undo;
  }

  Delivered deliver(Pass& pass) {
    Delivered out;
    if (!pass.is_array) {
      out.serial_changed = pass.serial_changed;
      if (!pass.reached_twice) {  // one change per member: in key order once sorted (the root's go into a map)
        out.children.reserve(pass.changes.size());
        for (Change& change : pass.changes) {
          Undo undo = first_undo(change);
          append(out.children, std::string(change.key), undo);
        }
        if (&pass != &record_.passes.front())
          std::sort(out.children.begin(), out.children.end(), [](const ChildEntry& a, const ChildEntry& b) { return a.key < b.key; });
        return out;
      }
      std::map<std::string_view, Undo> members;  // in key order
      for (Change& change : pass.changes)
        if (members.find(change.key) == members.end()) members.emplace(change.key, first_undo(change));
      for (auto& [key, member] : members) append(out.children, std::string(key), member);
      return out;
    }
    std::map<std::size_t, Undo> elements;  // by position
    std::vector<const Change*> appended;
    bool serial_given = false;  // the root: an element was given a serial at its position
    for (Change& change : pass.changes) {
      if (change.kind == Kind::Append) {
        appended.push_back(&change);
        continue;
      }
      if (change.kind != Kind::Enter && change.kind != Kind::Replace) continue;
      auto it = elements.find(change.position);
      if (it != elements.end()) {
        it->second.twice = true;
        continue;
      }
      if (change.kind == Kind::Replace && !change.by_serial && carries_serial(set_value(change))) serial_given = true;
      elements.emplace(change.position, first_undo(change));
    }
    if (pass.top) {
      out.children = root_plan_.active ? reordered_root_undo(pass, elements) : array_root_undo(pass, elements, appended, serial_given);
      return out;
    }
    if (!keeps_serials(record_, pass)) {
      if (std::optional<ChildList> placed = placed_back(pass, elements, appended)) {
        out.children = std::move(*placed);
        return out;
      }
      out.whole = old_array(pass, elements);
      return out;
    }
    for (auto& [position, element] : elements) append(out.children, std::string(element.first->key), element);
    for (const Change* change : appended) out.children.push_back(ChildEntry{std::string(change->key), Delete{}});
    std::sort(out.children.begin(), out.children.end(), [](const ChildEntry& a, const ChildEntry& b) { return a.key < b.key; });
    return out;
  }

  static void append(ChildList& undo, std::string key, Undo& record) {
    switch (record.form) {
      case Undo::Form::Original: undo.push_back(ChildEntry{std::move(key), Set{std::move(record.original)}}); break;
      case Undo::Form::Absent: undo.push_back(ChildEntry{std::move(key), Delete{}}); break;
      case Undo::Form::Nested:
        if (!record.children.empty()) undo.push_back(ChildEntry{std::move(key), Nested(std::move(record.children))});
        break;
    }
  }

  // The root array's undo. Elements are reached at their serial where it still reaches them, else at
  // their position, which nothing in the pass moved.
  static ChildList array_root_undo(const Pass& pass, std::map<std::size_t, Undo>& elements, const std::vector<const Change*>& appended,
                                   bool serial_given) {
    bool some_serial_changed = serial_given;
    for (const auto& [position, element] : elements) some_serial_changed |= element.serial_changed;
    ChildList undo;
    for (auto& [position, element] : elements) {
      const Change& first = *element.first;
      const bool by_serial = first.by_serial && !element.twice && !some_serial_changed &&
                             (element.form == Undo::Form::Original ? element.keeps_serial : true);
      append(undo, by_serial ? std::string(first.key) : position_key(position), element);
    }
    // Appended elements stand after all others, in the order they came: an object carries its key
    // as serial, and the last element carrying a serial is the one its key reaches.
    for (std::size_t i = 0; i < appended.size(); ++i) {
      const Change& change = *appended[i];
      undo.push_back(ChildEntry{set_value(change).is_object() ? std::string(change.key) : position_key(pass.length + i), Delete{}});
    }
    return undo;
  }

  // A root array that lost or placed elements: where each element stands after the pass, and which
  // old elements the undo places back after their old predecessor (the removed and the moved ones).
  struct RootPlan {
    bool active = false;
    std::vector<std::size_t> final_at;  // each old element's position after the pass; kNone: removed
    std::vector<std::size_t> fresh_at;  // each new element's position after the pass (Append order)
    std::vector<bool> placed;
  };
  static constexpr std::size_t kGone = ~std::size_t{0};

  // Plans the undo of the root's pass, or refuses it: placing back needs the element's serial as a
  // key and its old predecessor's as the anchor, each carried by one element only and unchanged by
  // the pass (the anchors are looked up as the undo's pass begins).
  std::optional<Inexpressible> plan_root(const Pass& pass) {
    const std::size_t n = pass.length;
    RootPlan& plan = root_plan_;
    plan.final_at.assign(n, kGone);
    std::size_t fresh = 0;
    for (const Change& change : pass.changes) fresh += change.kind == Kind::Append ? 1 : 0;
    plan.fresh_at.assign(fresh, kGone);
    if (pass.arranged) {
      for (std::size_t k = 0; k < pass.arrangement.order.size(); ++k) {
        const ArraySlot slot = pass.arrangement.order[k];
        (slot.fresh ? plan.fresh_at : plan.final_at)[slot.index] = k;
      }
    } else {
      std::vector<bool> removed(n, false);
      for (const Change& change : pass.changes)
        if (change.kind == Kind::RemoveElement) removed[change.position] = true;
      std::size_t k = 0;
      for (std::size_t i = 0; i < n; ++i)
        if (!removed[i]) plan.final_at[i] = k++;
      for (std::size_t j = 0; j < fresh; ++j) plan.fresh_at[j] = k++;
    }
    // The kept elements that no placement moved keep their order among themselves: the others go
    // back after their old predecessors, so a move's undo is a move back.
    plan.placed.assign(n, false);
    for (std::size_t i = 0; i < n; ++i) plan.placed[i] = plan.final_at[i] == kGone || (pass.arranged && pass.arrangement.moved[i]);

    const auto refuse = [&pass](std::size_t position, const char* reason) {
      const auto named = std::find_if(pass.changes.begin(), pass.changes.end(), [position](const Change& c) {
        return c.kind != Kind::Append && c.position == position;
      });
      return Inexpressible("Cannot undo the change", {named != pass.changes.end() ? step_key(*named) : position_key(position)}, reason);
    };
    if (pass.reached_twice) return refuse(pass.changes.front().position, "the element is reached by two entries");
    std::map<std::string_view, std::size_t> carriers;  // how many old elements carry each serial
    for (const std::optional<std::string>& serial : pass.serials)
      if (serial) ++carriers[*serial];
    // An element whose serial the pass changed cannot be named by it as the undo begins; nor can
    // one whose serial the pass gave another element (a value set at a position carries its own,
    // and a change inside may write any).
    std::vector<bool> renamed(n, false);
    std::set<std::string_view> given;
    bool rewritten = false;
    for (const Change& change : pass.changes) {
      if (change.kind == Kind::Replace) {
        // A set at a serial stamps an object with it; at a position the value carries its own.
        const JsonValue& now = set_value(change);
        const std::optional<std::string>& was = pass.serials[change.position];
        const std::string* carried = serial_of(now);
        renamed[change.position] = change.by_serial ? !now.is_object() : !(carried != nullptr && was && *carried == *was);
        if (!change.by_serial && carried != nullptr && renamed[change.position]) given.insert(*carried);
      } else if (change.kind == Kind::Enter && change.inner != ChangeRecord::kNone && record_.passes[change.inner].serial_changed) {
        renamed[change.position] = rewritten = true;
      }
    }
    const auto nameable = [&](std::size_t i) { return pass.serials[i] && carriers[*pass.serials[i]] == 1 && !renamed[i]; };
    const auto taken = [&](std::size_t i) { return pass.serials[i] && (rewritten || given.count(*pass.serials[i]) != 0); };
    for (std::size_t i = 0; i < n; ++i) {
      if (!plan.placed[i]) continue;
      if (!nameable(i) || !is_top_level_serial_key(*pass.serials[i]))
        return refuse(i, "an element without a serial of its own cannot be put back at its position");
      if (i > 0 && !nameable(i - 1)) return refuse(i, "the element before it has no serial of its own to put it back after");
      if (taken(i) || (i > 0 && taken(i - 1))) return refuse(i, "the change may give its serial, or its predecessor's, to another element");
    }
    plan.active = true;
    return std::nullopt;
  }

  // The undo of a root that lost or placed elements (plan_root): new elements deleted where they
  // stand, the others changed back at their position after the pass, or at their serial when they
  // go back after their old predecessor (or first), removed ones set back so.
  ChildList reordered_root_undo(Pass& pass, std::map<std::size_t, Undo>& elements) {
    const RootPlan& plan = root_plan_;
    ChildList undo;
    for (const std::size_t at : plan.fresh_at) undo.push_back(ChildEntry{position_key(at), Delete{}});
    const auto placement = [&pass](std::size_t i) {
      return std::make_unique<Placement>(Placement{i == 0 ? std::nullopt : std::optional<std::string>(*pass.serials[i - 1])});
    };
    for (Change& change : pass.changes) {
      if (change.kind != Kind::RemoveElement) continue;
      const std::size_t i = change.position;
      undo.push_back(ChildEntry{*pass.serials[i], Set{std::move(change.old)}, placement(i)});
    }
    for (std::size_t i = 0; i < pass.length; ++i) {
      if (plan.final_at[i] == kGone) continue;
      auto it = elements.find(i);
      if (!plan.placed[i]) {
        if (it != elements.end()) append(undo, position_key(plan.final_at[i]), it->second);
        continue;
      }
      ChildList one;
      if (it != elements.end()) append(one, *pass.serials[i], it->second);
      if (one.empty()) one.push_back(ChildEntry{*pass.serials[i], Nested(), nullptr});
      one.back().placement = placement(i);
      undo.push_back(std::move(one.back()));
    }
    return undo;
  }

  // The undo of an array below the top level that lost or placed elements, by serial: new elements
  // deleted, the others changed back, each removed or moved one set or placed back right after its
  // old predecessor (or first). None where serials cannot say it: an element without a serial of its
  // own, or whose serial the pass changed, a new element that is no object, a serial set twice, or
  // an element reached twice; the array is then set back whole.
  std::optional<ChildList> placed_back(Pass& pass, std::map<std::size_t, Undo>& elements, const std::vector<const Change*>& appended) {
    if (!pass.elements_kept || pass.reached_twice || pass.elements.size() != pass.length) return std::nullopt;
    const std::size_t n = pass.length;
    std::vector<std::string> serials(n);
    std::set<std::string_view> seen;
    for (std::size_t i = 0; i < n; ++i) {
      const auto it = elements.find(i);
      if (it != elements.end() && (it->second.serial_changed || (it->second.form == Undo::Form::Original && !it->second.keeps_serial)))
        return std::nullopt;
      const JsonValue& was = it != elements.end() && it->second.form == Undo::Form::Original ? it->second.original : pass.elements[i];
      const std::string* serial = serial_of(was);
      if (serial == nullptr) return std::nullopt;
      serials[i] = *serial;
    }
    for (const std::string& serial : serials)
      if (!seen.insert(serial).second) return std::nullopt;
    for (const Change* change : appended)
      if (!set_value(*change).is_object() || !seen.insert(change->key).second) return std::nullopt;

    std::vector<bool> removed(n, false);
    for (const Change& change : pass.changes)
      if (change.kind == Kind::RemoveElement) removed[change.position] = true;
    const auto placement = [&serials](std::size_t i) {
      return std::make_unique<Placement>(Placement{i == 0 ? std::nullopt : std::optional<std::string>(serials[i - 1])});
    };
    ChildList undo;
    for (const Change* change : appended) undo.push_back(ChildEntry{std::string(change->key), Delete{}});
    for (std::size_t i = 0; i < n; ++i) {
      if (removed[i]) {
        undo.push_back(ChildEntry{serials[i], Set{std::move(pass.elements[i])}, placement(i)});
        continue;
      }
      ChildList one;
      if (const auto it = elements.find(i); it != elements.end()) append(one, serials[i], it->second);
      if (pass.arranged && pass.arrangement.moved[i]) {
        if (one.empty()) one.push_back(ChildEntry{serials[i], Nested(), nullptr});
        one.back().placement = placement(i);
      }
      for (ChildEntry& entry : one) undo.push_back(std::move(entry));
    }
    std::sort(undo.begin(), undo.end(), [](const ChildEntry& a, const ChildEntry& b) { return a.key < b.key; });
    return undo;
  }

  // The array as it was before the pass: its elements as the pass closed, with each element the pass
  // replaced set back and each it changed inside changed back.
  JsonValue old_array(Pass& pass, std::map<std::size_t, Undo>& elements) const {
    JsonArray old;
    old.reserve(pass.length);
    for (std::size_t i = 0; i < pass.length && i < pass.elements.size(); ++i) {
      auto it = elements.find(i);
      if (it != elements.end() && it->second.form == Undo::Form::Original) {
        old.push_back(std::move(it->second.original));
        continue;
      }
      JsonValue value = std::move(pass.elements[i]);
      // An element changed inside is changed back, when the walk wrote (else it is as it was).
      if (record_.written && it != elements.end() && !it->second.children.empty())
        (void)apply_nested(value, it->second.children);  // the undo of a pass that completed applies
      old.push_back(std::move(value));
    }
    return JsonValue(std::move(old));
  }

  ChangeRecord& record_;
  RootPlan root_plan_;
  std::vector<bool> ignored_;
  std::vector<Delivered> delivered_;
};

}  // namespace

Result<Patch, Inexpressible> undo_of(ChangeRecord record) { return UndoDerivation(record).run(); }

Result<Patch, std::variant<PatchError, Inexpressible>> inverse_of(const Patch& patch, const JsonValue& document) {
  using Outcome = Result<Patch, std::variant<PatchError, Inexpressible>>;
  if (!document.is_container()) return Outcome(PatchError::invalid_operation("Can only patch objects and arrays"));
  JsonValue copy = document.copy();
  ValueDocument json;
  ChangeRecorder<ValueDocument> recorder(json, true);
  if (std::optional<ApplyStop> stop = ApplyWalk<ValueDocument, ChangeRecorder<ValueDocument>>(json, recorder).run(patch, &copy))
    return Outcome(std::get<PatchError>(std::move(*stop)));  // a ValueDocument never fails on its own
  Result<Patch, Inexpressible> undo = undo_of(recorder.take());
  if (!undo.ok()) return Outcome(undo.error());
  return Outcome(std::move(undo).value());
}

}  // namespace quillfen
