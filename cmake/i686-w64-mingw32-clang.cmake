# Cross-build for 32-bit Windows with clang in MinGW mode and lld, on
# mingw-w64's headers and libraries and GCC's static runtimes (libgcc,
# libstdc++): the same ABI as cmake/i686-w64-mingw32.cmake, but with CodeView
# debug information, so that the link writes a PDB beside the module.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(QRV_MINGW_PREFIX i686-w64-mingw32)
set(QRV_GCC_DIR /usr/lib/gcc/${QRV_MINGW_PREFIX}/12-win32)
set(CMAKE_C_COMPILER clang-14)
set(CMAKE_CXX_COMPILER clang++-14)
set(CMAKE_ASM_COMPILER clang-14)
foreach(lang C CXX ASM)
  set(CMAKE_${lang}_COMPILER_TARGET ${QRV_MINGW_PREFIX})
endforeach()
set(CMAKE_RC_COMPILER ${QRV_MINGW_PREFIX}-windres)
set(CMAKE_OBJCOPY ${QRV_MINGW_PREFIX}-objcopy)
set(CMAKE_STRIP ${QRV_MINGW_PREFIX}-strip)
set(CMAKE_CXX_FLAGS_INIT
  "-isystem ${QRV_GCC_DIR}/include/c++ -isystem ${QRV_GCC_DIR}/include/c++/${QRV_MINGW_PREFIX}")
# lld 16, not 14: lld 14 writes a DLL's ordinal-only exports from ordinal
# base 0 with an empty entry 0, which the header's loader rejects.
foreach(kind EXE SHARED MODULE)
  set(CMAKE_${kind}_LINKER_FLAGS_INIT "-fuse-ld=lld --ld-path=/usr/bin/ld.lld-16 -L${QRV_GCC_DIR}")
endforeach()
set(CMAKE_FIND_ROOT_PATH /usr/${QRV_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
