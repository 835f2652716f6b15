// quorvel.h seen from C++, loader and session included, must compile without
// a warning under every standard from C++11 on.
#define QUORVEL_HOST_LOADER
#include <quorvel/quorvel.h>
#include <quorvel/quorvel.h>  // include guard

#include <type_traits>

static_assert(std::is_same<QuorvelAllocator, NIMUC::IAllocator>::value,
              "the C view of the allocator names the C++ interface");
static_assert(sizeof(QuorvelOrdinal) == sizeof(int), "a plain enum, as in C");
static_assert(QUORVEL_E_FAIL == static_cast<int32_t>(0x80004005u), "E_FAIL");
static_assert(!std::is_copy_constructible<quorvel::HostLibrary>::value, "owns the module");
static_assert(!std::is_copy_constructible<quorvel::Session>::value, "owns Init");

// The declared entry points and the pointer types hosts resolve them into.
static_assert(std::is_same<decltype(&Init), QuorvelInitFn>::value, "Init");
static_assert(std::is_same<decltype(&UnInit), QuorvelUnInitFn>::value, "UnInit");
static_assert(std::is_same<decltype(&Register), QuorvelRegisterFn>::value, "Register");
static_assert(std::is_same<decltype(&Unregister), QuorvelUnregisterFn>::value, "Unregister");
