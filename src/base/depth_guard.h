// Bounds for the walks that recurse once per level of nesting (conversions, applying, merging,
// the document form). A walk refuses to go deeper than kMaxDepth levels, or deeper than the
// calling thread's stack allows, whichever comes first; it never runs out of stack.
#pragma once

namespace quillfen {

// Deep enough for any document people write, with room to spare on an 8 MiB stack.
inline constexpr int kMaxDepth = 20000;

// True when the calling thread has less than a safe margin of stack left for one more level.
bool stack_nearly_exhausted() noexcept;

// True when the calling thread still has room for code of unknown depth, such as a Python hook that
// a conversion runs: half its stack, or 2 MiB on larger stacks. Checked before such code is started
// deep inside a walk, so that a hook that runs at the top of a thread also runs deep down, or the
// walk is refused.
bool room_for_foreign_code() noexcept;

// True when a walk at `depth` levels must stop.
inline bool too_deep(int depth) noexcept { return depth > kMaxDepth || stack_nearly_exhausted(); }

}  // namespace quillfen
