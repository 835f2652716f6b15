// What C++ code compiled with the MSVC ABI against libstdc++'s headers needs
// beyond msvcrt.dll: the strings that libstdc++ instantiates inside its own
// (GNU-ABI) binary, its out-of-line throw helpers, the type_info vftable
// that Wine's msvcrt does not export, and the terminate hook of noexcept.
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>

template class std::allocator<char>;
template class std::allocator<wchar_t>;
template class std::__cxx11::basic_string<char>;
template class std::__cxx11::basic_string<wchar_t>;

namespace {

// libstdc++'s exception classes live in its GNU-ABI binary, so a failed
// precondition of the string ends the program with the reason instead.
[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "fatal: %s\n", what);
  std::abort();
}

void __cdecl UnusedTypeInfoSlot() {}

}  // namespace

namespace std {
void __throw_logic_error(const char* what) { Fail(what); }
void __throw_length_error(const char* what) { Fail(what); }
void __throw_out_of_range(const char* what) { Fail(what); }
void __throw_out_of_range_fmt(const char* what, ...) { Fail(what); }
void __throw_invalid_argument(const char* what) { Fail(what); }
void __throw_bad_alloc() { Fail("out of memory"); }
void __throw_bad_array_new_length() { Fail("bad array new length"); }
}  // namespace std

// Type descriptors of thrown types point here; the runtime reads only their
// names, never calls through the table.
extern "C" const void* const typeInfoVftable[1] __asm__("??_7type_info@@6B@") = {
    reinterpret_cast<const void*>(&UnusedTypeInfoSlot)};

extern "C" void __std_terminate() { std::abort(); }

// Sized deallocation (C++14) reaches msvcrt's unsized operator delete.
void operator delete(void* block, std::size_t) noexcept { ::operator delete(block); }
void operator delete[](void* block, std::size_t) noexcept { ::operator delete[](block); }
