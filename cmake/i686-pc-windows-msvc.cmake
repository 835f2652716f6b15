# Cross-build for 32-bit Windows with the MSVC ABI, as a host built with
# Visual Studio is: clang-cl and lld-link (LLVM 14), on mingw-w64's headers
# and libraries, against msvcrt.dll. The few start-up and support pieces that
# a Visual Studio installation would bring are in msvc-abi/ and are built
# into <build>/msvc-abi the first time this file is read.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)
set(QRV_MSVC_TARGET i686-pc-windows-msvc)
set(CMAKE_C_COMPILER clang-cl-14)
set(CMAKE_CXX_COMPILER clang-cl-14)
set(CMAKE_C_COMPILER_TARGET ${QRV_MSVC_TARGET})
set(CMAKE_CXX_COMPILER_TARGET ${QRV_MSVC_TARGET})
set(CMAKE_LINKER lld-link-14)
set(CMAKE_AR llvm-lib-14)
set(CMAKE_RC_COMPILER llvm-rc-14)
set(CMAKE_MT llvm-mt-14)
set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# mingw-w64's headers parse under clang-cl when they see a GNU compiler
# version; libstdc++'s headers stand in for the C++ library. /Zl keeps the
# objects from naming Visual Studio's runtime libraries, /GS- from needing its
# security cookie.
set(QRV_GCC_CXX /usr/lib/gcc/i686-w64-mingw32/12-win32/include/c++)
#
# Stack realignment makes every function with a catch restore its own ESP at
# the continuation: clang's catch funclets store theirs in the registration
# node, from which the runtime sets ESP before it resumes the parent, whose
# ESP-relative epilogue would otherwise return through the funclet's stack.
set(QRV_MSVC_ABI_FLAGS
  "/GS- /Zl /clang:-mstackrealign -D_X86_ -D__GNUC__=4 -D__GNUC_MINOR__=2")
set(QRV_MSVC_ABI_C_INCLUDES "-imsvc /usr/i686-w64-mingw32/include")
# libstdc++'s <cstdlib> and the like include_next the C headers: its folders
# come first.
set(QRV_MSVC_ABI_CXX_INCLUDES
  "-imsvc ${QRV_GCC_CXX} -imsvc ${QRV_GCC_CXX}/i686-w64-mingw32 ${QRV_MSVC_ABI_C_INCLUDES}")
set(CMAKE_C_FLAGS_INIT "${QRV_MSVC_ABI_FLAGS} ${QRV_MSVC_ABI_C_INCLUDES}")
set(CMAKE_CXX_FLAGS_INIT "${QRV_MSVC_ABI_FLAGS} ${QRV_MSVC_ABI_CXX_INCLUDES}")

# Build the runtime pieces once per build tree; try_compile projects reuse
# them through QRV_MSVC_ABI_RUNTIME.
if(NOT QRV_MSVC_ABI_RUNTIME)
  set(QRV_MSVC_ABI_RUNTIME ${CMAKE_BINARY_DIR}/msvc-abi)
  execute_process(COMMAND ${CMAKE_COMMAND} -DOUT=${QRV_MSVC_ABI_RUNTIME}
    -DCLANG_CL=clang-cl-14 -DLIB=llvm-lib-14 -DDLLTOOL=llvm-dlltool-14 -DNM=llvm-nm-14
    "-DFLAGS=--target=${QRV_MSVC_TARGET} ${QRV_MSVC_ABI_FLAGS}"
    "-DC_INCLUDES=${QRV_MSVC_ABI_C_INCLUDES}" "-DCXX_INCLUDES=${QRV_MSVC_ABI_CXX_INCLUDES}"
    -P ${CMAKE_CURRENT_LIST_DIR}/msvc-abi/build-runtime.cmake
    COMMAND_ERROR_IS_FATAL ANY)
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES QRV_MSVC_ABI_RUNTIME)

set(QRV_MSVC_ABI_LIBRARIES)
foreach(piece msvcabi.lib kernel32.lib user32.lib
              advapi32.lib shell32.lib version.lib msvcrt.lib)
  string(APPEND QRV_MSVC_ABI_LIBRARIES " ${QRV_MSVC_ABI_RUNTIME}/${piece}")
endforeach()
set(CMAKE_C_STANDARD_LIBRARIES "${QRV_MSVC_ABI_LIBRARIES}" CACHE STRING "" FORCE)
set(CMAKE_CXX_STANDARD_LIBRARIES "${QRV_MSVC_ABI_LIBRARIES}" CACHE STRING "" FORCE)
# SafeSEH on, as link.exe has it by default for x86: every object must carry
# its table of handlers.
foreach(kind EXE SHARED MODULE)
  set(CMAKE_${kind}_LINKER_FLAGS_INIT "/safeseh /nodefaultlib /manifest:no")
endforeach()
