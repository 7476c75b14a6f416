#include "base/depth_guard.h"

#include <pthread.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace quillfen {

namespace {

// Leaves room for the interpreter's own calls and for sanitizer builds, whose frames are larger.
constexpr std::uintptr_t kStackReserve = 512 * 1024;
// What code of unknown depth (a Python hook) is left at the least.
constexpr std::uintptr_t kForeignReserve = 2 * 1024 * 1024;

struct StackFloors {
  std::uintptr_t walk = 0;     // a walk stops below this address; 0 when the stack is unknown
  std::uintptr_t foreign = 0;  // no foreign code is started below this one
};

StackFloors find_stack_floors() noexcept {
  pthread_attr_t attr;
  if (pthread_getattr_np(pthread_self(), &attr) != 0) return {};
  void* low = nullptr;
  std::size_t size = 0;
  const int rc = pthread_attr_getstack(&attr, &low, &size);
  pthread_attr_destroy(&attr);
  if (rc != 0) return {};
  const auto base = reinterpret_cast<std::uintptr_t>(low);
  // Small thread stacks keep a share of their size instead of the fixed amounts.
  return {base + std::min<std::uintptr_t>(size / 4, kStackReserve), base + std::min<std::uintptr_t>(size / 2, kForeignReserve)};
}

const StackFloors& stack_floors() noexcept {
  thread_local const StackFloors floors = find_stack_floors();
  return floors;
}

std::uintptr_t here() noexcept { return reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0)); }

}  // namespace

bool stack_nearly_exhausted() noexcept { return here() < stack_floors().walk; }

bool room_for_foreign_code() noexcept { return here() >= stack_floors().foreign; }

}  // namespace quillfen
