// Linked into the module in the fault-injection build only: the module's C++ allocations go through
// the interpreter's raw allocator, so that the test helper that wraps the interpreter's allocators
// (alloc_faults.cpp) counts them and can make any one of them fail, like the interpreter's own.
#include <Python.h>

#include <cstddef>
#include <new>

namespace {

void* allocate(std::size_t size) {
  if (void* p = PyMem_RawMalloc(size)) return p;
  throw std::bad_alloc();
}

}  // namespace

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return PyMem_RawMalloc(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return PyMem_RawMalloc(size); }
void operator delete(void* p) noexcept { PyMem_RawFree(p); }
void operator delete[](void* p) noexcept { PyMem_RawFree(p); }
void operator delete(void* p, std::size_t) noexcept { PyMem_RawFree(p); }
void operator delete[](void* p, std::size_t) noexcept { PyMem_RawFree(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { PyMem_RawFree(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { PyMem_RawFree(p); }
