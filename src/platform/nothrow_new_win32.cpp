// The non-throwing allocation functions of this module.
//
// The module links the toolchain's C++ runtime statically, but when the host
// process has that runtime's shared copy (libgcc_s_dw2-1.dll) loaded, the
// module's start-up code registers its unwind tables with that copy. A throw
// inside the module then finds no tables for its frames and terminates the
// host, even one caught a frame later. The runtime's own new (std::nothrow)
// is such a throw: it calls the throwing new and catches bad_alloc. These
// replacements take the heap's null instead, so that every new
// (std::nothrow) in the module reports failure without any exception.
#include <cstdlib>
#include <new>

void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return std::malloc(size == 0 ? 1 : size);
}

void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return std::malloc(size == 0 ? 1 : size);
}
