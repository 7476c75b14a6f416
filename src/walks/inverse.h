// The patch that undoes another, worked out while that patch is applied: an observer of the
// applying walk (apply_walk.h), written once for any kind of document.
//
// What the undo patch holds, level by level:
// - on an object, a member the patch replaced or removed is set back to its old value, and one it
//   added is deleted; a member it changed inside gets a nested undo;
// - on the array root, an element is set back, or changed back inside, at its serial where that
//   serial still reaches it afterwards, else at its position ("[3]"); an appended element is deleted
//   at its serial, or at its new position when it carries none. Elements removed from the root
//   cannot be put back at their positions: that refusal is the only one;
// - below the top level, where elements are reached by serial only, an array is changed back element
//   by element when that is exact (each element set back or changed back at its serial, each
//   appended object deleted at its serial); where an element was removed, reached twice, given a
//   value that no longer carries its serial, or had its serial changed, or a value that carries none
//   was appended, the undo sets the whole array back instead.
// Every Nested of the undo patch lists its children in key order, with no key twice and none under
// "*", so the exact document form carries it unchanged.
//
// The observer reads what is there before each change, converting it through the adapter:
//   bool to_value(const Member&, JsonValue& out)
// and, for an array set back whole, the elements still there when its pass closes; the adapter says
// whether the walk writes at all:
//   bool changes_data()   // false: every read sees the document as it was before the walk
// A walk that does not write is exact unless a member or element is reached twice in one pass
// (reached_twice() then tells the caller to run it again, writing).
#pragma once

#include <algorithm>
#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "json_value/json_value.h"
#include "operations/operation.h"
#include "patch/inexpressible.h"
#include "patch/patch.h"
#include "patch/reserved_names.h"
#include "walks/apply.h"

namespace quillfen {

// The patch that undoes `patch` on `document`: applied to what `patch` makes of `document`, it gives
// `document` back (inverse.h says how it is built). Fails with the PatchError that applying `patch`
// fails with, or with Inexpressible where no patch undoes the change (elements removed from an
// array root; an element or member that two entries of one pass reach, where the first changed it
// inside).
Result<Patch, std::variant<PatchError, Inexpressible>> inverse_of(const Patch& patch, const JsonValue& document);

template <class Document>
class InverseBuilder {
  using Member = typename Document::Member;
  using ObjectPass = typename Document::ObjectPass;
  using ArrayPass = typename Document::ArrayPass;

 public:
  explicit InverseBuilder(Document& document) : doc_(document) {}

  // After the walk completed: the undo patch, or why no patch undoes the change.
  Result<Patch, Inexpressible> take() {
    if (refusal_) return std::move(*refusal_);
    return std::move(result_);
  }

  // Whether some member or element was reached by two entries of one pass: a walk that does not
  // write must then be run again, writing, for the undo to see what the first change made.
  bool reached_twice() const noexcept { return reached_twice_; }

  // The walk's observer.

  bool opened_object(ObjectPass&) {
    push(false, false, 0);
    return true;
  }
  bool opened_array(ArrayPass& pass, bool top) {
    push(true, top, doc_.length(pass));
    return true;
  }

  bool entering_member(ObjectPass&, std::string_view key) {
    Frame& frame = frames_.back();
    auto [it, added] = frame.members.try_emplace(std::string(key));
    if (!added) reached_twice_ = true;
    if (!added && it->second.kind == Undo::Kind::Nested) refuse(frame, std::string(key), "the member is changed inside twice");
    if (added) it->second.kind = Undo::Kind::Nested;
    entering_ = Entering{&it->second, std::string(key), !added};
    return true;
  }

  bool reaching_again(ArrayPass&, std::size_t) {
    reached_twice_ = true;
    return true;
  }

  bool entering_element(ArrayPass&, std::size_t position, const std::string* serial) {
    Frame& frame = frames_.back();
    auto [it, added] = frame.elements.try_emplace(position);
    Undo& undo = it->second;
    if (added) {
      undo.kind = Undo::Kind::Nested;
      undo.serial = serial;
    } else {
      note_reached_twice(frame, undo, step_key(position, serial));
    }
    entering_ = Entering{&undo, step_key(position, serial), !added};
    return true;
  }

  bool changing_member(ObjectPass&, std::string_view key, const Member& old) {
    Frame& frame = frames_.back();
    if (key == kSerialMember) frame.serial_changed = true;
    auto [it, added] = frame.members.try_emplace(std::string(key));
    if (!added) {
      reached_twice_ = true;
      // What the member held before the first change is known, unless the first was inside it.
      if (it->second.kind == Undo::Kind::Nested)
        refuse(frame, std::string(key), "the member is replaced after a change inside it");
      return true;
    }
    Undo& undo = it->second;
    if (!old) {
      undo.kind = Undo::Kind::Absent;
      return true;
    }
    undo.kind = Undo::Kind::Original;
    return doc_.to_value(old, undo.original);
  }

  bool replacing_element(ArrayPass&, std::size_t position, const std::string* serial, const Member& old, const JsonValue& value) {
    Frame& frame = frames_.back();
    auto [it, added] = frame.elements.try_emplace(position);
    Undo& undo = it->second;
    if (!added) {
      note_reached_twice(frame, undo, step_key(position, serial));
      return true;
    }
    undo.kind = Undo::Kind::Original;
    undo.serial = serial;
    undo.keeps_serial = serial != nullptr && value.is_object();  // its stamped copy carries the serial
    // A value put at a position that carries a serial may now be the element that serial reaches.
    if (serial == nullptr && carries_serial(value)) frame.serial_changed = true;
    return doc_.to_value(old, undo.original);
  }

  bool removing_element(ArrayPass&, std::size_t position, const std::string* serial) {
    Frame& frame = frames_.back();
    frame.removed.push_back(position);
    if (frame.top && !refusal_)
      refuse(frame, step_key(position, serial), "an element removed from the array root cannot be put back at its position");
    return true;
  }

  bool appending(ArrayPass&, std::string_view key, const JsonValue& value) {
    frames_.back().appended.push_back(Appended{std::string(key), value.is_object()});
    return true;
  }

  bool closing_object(ObjectPass&) {
    Frame frame = pop();
    ChildList undo;
    for (auto& [key, member] : frame.members) {  // in key order
      switch (member.kind) {
        case Undo::Kind::Original: undo.push_back(ChildEntry{key, Set{std::move(member.original)}}); break;
        case Undo::Kind::Absent: undo.push_back(ChildEntry{key, Delete{}}); break;
        case Undo::Kind::Nested:
          if (!member.children.empty()) undo.push_back(ChildEntry{key, Nested(std::move(member.children))});
          break;
      }
    }
    deliver(frame, std::move(undo), std::nullopt);
    return true;
  }

  bool closing_array(ArrayPass& pass) {
    Frame frame = pop();
    if (frame.top) {
      deliver(frame, array_root_undo(frame), std::nullopt);
      return true;
    }
    if (!element_by_element(frame)) {
      JsonValue whole;
      if (!old_array(pass, frame, whole)) return false;
      deliver(frame, ChildList(), std::move(whole));
      return true;
    }
    ChildList undo;
    for (auto& [position, element] : frame.elements) {
      const std::string& serial = *element.serial;
      if (element.kind == Undo::Kind::Original)
        undo.push_back(ChildEntry{serial, Set{std::move(element.original)}});  // it carries its serial: stamping keeps it
      else if (!element.children.empty())
        undo.push_back(ChildEntry{serial, Nested(std::move(element.children))});
    }
    for (Appended& appended : frame.appended) undo.push_back(ChildEntry{std::move(appended.key), Delete{}});
    std::sort(undo.begin(), undo.end(), [](const ChildEntry& a, const ChildEntry& b) { return a.key < b.key; });
    deliver(frame, std::move(undo), std::nullopt);
    return true;
  }

  void stopped() { frames_.clear(); }

 private:
  // How the change at one member or element is undone.
  struct Undo {
    enum class Kind { Original, Absent, Nested };
    Kind kind = Kind::Nested;
    JsonValue original;                  // Original: the value before the first change
    ChildList children;                  // Nested: the undo of the pass below
    const std::string* serial = nullptr;  // an element reached by this serial key (null: an index key)
    bool keeps_serial = false;           // Original: the element put there carries the serial
    bool serial_changed = false;         // Nested: the pass below changed the element's "_"
    bool twice = false;                  // the element was reached by two entries
  };
  struct Appended {
    std::string key;
    bool object;  // its stamped copy carries the key as its serial
  };
  struct Frame {
    bool is_array;
    bool top;
    std::size_t length;
    Undo* parent;      // the record in the parent frame that this pass's undo fills; null for the root
    bool ignored;      // the parent sets the whole value back: this undo is not needed
    std::vector<std::string> path;
    std::map<std::string, Undo> members;   // object passes, in key order
    std::map<std::size_t, Undo> elements;  // array passes, by position
    std::vector<std::size_t> removed;
    std::vector<Appended> appended;
    bool serial_changed = false;  // object passes: the member "_" was put or removed; the root: an
                                  // element was given a serial at its position
  };
  struct Entering {
    Undo* undo;
    std::string key;
    bool ignored;
  };

  static std::string step_key(std::size_t position, const std::string* serial) {
    return serial != nullptr ? *serial : std::string("[").append(std::to_string(position)).append("]");
  }

  void push(bool is_array, bool top, std::size_t length) {
    Frame frame{is_array, top, length, nullptr, false, {}, {}, {}, {}, {}, false};
    if (!frames_.empty()) {
      frame.parent = entering_.undo;
      frame.ignored = entering_.ignored || frames_.back().ignored;
      frame.path = frames_.back().path;
      frame.path.push_back(std::move(entering_.key));
    }
    frames_.push_back(std::move(frame));
  }

  Frame pop() {
    Frame frame = std::move(frames_.back());
    frames_.pop_back();
    return frame;
  }

  // An element reached by a second entry of one pass. On the root, where a position and a serial can
  // name one element, its first change is known when the first entry replaced it; below the top
  // level only a key given twice reaches an element twice.
  void note_reached_twice(const Frame& frame, Undo& undo, std::string key) {
    undo.twice = true;
    reached_twice_ = true;
    if (undo.kind == Undo::Kind::Nested || !frame.top) refuse(frame, std::move(key), "the element is reached by two entries");
  }

  void refuse(const Frame& frame, std::string key, std::string reason) {
    if (refusal_ || frame.ignored) return;
    std::vector<std::string> path = frame.path;
    path.push_back(std::move(key));
    refusal_ = Inexpressible("Cannot undo the change", std::move(path), std::move(reason));
  }

  // Hands a closed pass's undo to the record it fills: its children, or the whole old value.
  void deliver(const Frame& frame, ChildList undo, std::optional<JsonValue> whole) {
    if (frame.parent == nullptr) {
      Patch patch(undo.size());
      for (ChildEntry& entry : undo) patch.insert(std::move(entry.key), std::move(entry.operation));
      result_ = std::move(patch);
      return;
    }
    if (frame.ignored) return;
    Undo& record = *frame.parent;
    if (whole) {
      record.kind = Undo::Kind::Original;
      record.original = std::move(*whole);
      record.keeps_serial = record.serial != nullptr && record.original.is_object();
      return;
    }
    record.children = std::move(undo);
    record.serial_changed = frame.serial_changed;
  }

  static bool carries_serial(const JsonValue& value) {
    if (!value.is_object()) return false;
    const JsonValue* serial = value.as_object().find(kSerialMember);
    return serial != nullptr && serial->is_string();
  }

  // The root array's undo. Removals were refused; elements are reached at their serial where it
  // still reaches them, else at their position, which nothing in the pass moved. Where any element
  // gained or changed a serial, every element is reached at its position: a serial may now reach
  // another element than before.
  ChildList array_root_undo(Frame& frame) {
    bool some_serial_changed = frame.serial_changed;
    for (const auto& [position, element] : frame.elements) some_serial_changed |= element.serial_changed;
    ChildList undo;
    for (auto& [position, element] : frame.elements) {
      const bool by_serial = element.serial != nullptr && !element.twice && !some_serial_changed &&
                             (element.kind == Undo::Kind::Original ? element.keeps_serial : true);
      std::string key = by_serial ? *element.serial : step_key(position, nullptr);
      if (element.kind == Undo::Kind::Original)
        undo.push_back(ChildEntry{std::move(key), Set{std::move(element.original)}});
      else if (!element.children.empty())
        undo.push_back(ChildEntry{std::move(key), Nested(std::move(element.children))});
    }
    // Appended elements stand after all others, in the order they came: an object carries its key
    // as serial, and the last element carrying a serial is the one its key reaches.
    for (std::size_t i = 0; i < frame.appended.size(); ++i) {
      Appended& appended = frame.appended[i];
      undo.push_back(ChildEntry{appended.object ? std::move(appended.key) : step_key(frame.length + i, nullptr), Delete{}});
    }
    return undo;
  }

  // Whether an array below the top level can be changed back element by element at serials.
  static bool element_by_element(const Frame& frame) {
    if (!frame.removed.empty()) return false;
    for (const auto& [position, element] : frame.elements) {
      if (element.twice || element.serial_changed) return false;
      if (element.kind == Undo::Kind::Original && !element.keeps_serial) return false;
    }
    for (const Appended& appended : frame.appended)
      if (!appended.object) return false;
    return true;
  }

  // The array as it was before the pass: what is there now, with each element the pass replaced set
  // back and each it changed inside changed back.
  bool old_array(ArrayPass& pass, Frame& frame, JsonValue& out) {
    JsonArray elements;
    elements.reserve(frame.length);
    for (std::size_t i = 0; i < frame.length; ++i) {
      auto it = frame.elements.find(i);
      if (it != frame.elements.end() && it->second.kind == Undo::Kind::Original) {
        elements.push_back(std::move(it->second.original));
        continue;
      }
      Member current{};
      JsonValue value;
      if (!doc_.element(pass, i, current) || !doc_.to_value(current, value)) return false;
      // An element changed inside is changed back, when the walk wrote (else it is as it was).
      if (doc_.changes_data() && it != frame.elements.end() && !it->second.children.empty())
        (void)apply_nested(value, it->second.children);  // the undo of a pass that completed applies
      elements.push_back(std::move(value));
    }
    out = JsonValue(std::move(elements));
    return true;
  }

  Document& doc_;
  std::vector<Frame> frames_;
  Entering entering_{nullptr, std::string(), false};
  Patch result_;
  std::optional<Inexpressible> refusal_;
  bool reached_twice_ = false;
};

}  // namespace quillfen
