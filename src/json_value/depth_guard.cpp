#include "json_value/depth_guard.h"

#include <pthread.h>

#include <cstddef>
#include <cstdint>

namespace quillfen {

namespace {

// Leaves room for the interpreter's own calls (a conversion hook runs Python code at the deepest
// level) and for sanitizer builds, whose frames are larger.
constexpr std::uintptr_t kStackReserve = 512 * 1024;

// The lowest address this thread's stack may grow down to, plus the reserve; 0 when unknown.
std::uintptr_t find_stack_floor() noexcept {
  pthread_attr_t attr;
  if (pthread_getattr_np(pthread_self(), &attr) != 0) return 0;
  void* low = nullptr;
  std::size_t size = 0;
  const int rc = pthread_attr_getstack(&attr, &low, &size);
  pthread_attr_destroy(&attr);
  if (rc != 0) return 0;
  const std::uintptr_t reserve = size / 4 < kStackReserve ? size / 4 : kStackReserve;  // small thread stacks
  return reinterpret_cast<std::uintptr_t>(low) + reserve;
}

}  // namespace

bool stack_nearly_exhausted() noexcept {
  thread_local const std::uintptr_t floor = find_stack_floor();
  return reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0)) < floor;
}

}  // namespace quillfen
