#!/usr/bin/env bash
# The SDK as an integrator gets it, from the presets linux-sdk and win32-sdk
# of the README's step 1, built here from empty build folders (and checked
# to build no tests, tools or samples): each is installed into a temporary
# prefix and examples/consumer is built against it with find_package, and
# natively also inside a parent project through add_subdirectory. The native
# consumer serves a message from the simulated driver; the win32 consumer's
# import table must name QUORVEL.DLL by ordinal only, and its hosts serve a
# message from the reference driver under Wine with the installed
# QUORVEL.DLL (through the win32 build's sdk_test, built first as
# scripts/test.sh does). The test kit must stay in testkit/ and out of the
# SDK zip, in a zip of its own, and its headers are included as
# <quorvel/testkit/...>. The CMake snippets of the README and docs/sdk.md
# are built as printed and their hosts run (the Windows ones under Wine until
# they answer a message), and the README's section-4 block runs as printed
# under Wine, in a fresh prefix, against the installed SDK and test kit. The
# package config names a requested component that is missing or unknown.
# The PDB names no path of this machine (check-dll-pdb.sh).
# The consumer is also built with the MSVC ABI
# (cmake/i686-pc-windows-msvc.cmake) against quorvel.lib, with SafeSEH on
# and warnings as errors, and served under Wine the same way.
set -euo pipefail
cd "$(dirname "$0")/.."
mkdir -p build
work=$(mktemp -d "$PWD/build/sdk-check.XXXXXX")  # under the tree: ccache hits
# The section-4 block keeps a Wine session in a prefix under $work, which
# must end (it would outlive a failed block) before the prefix goes.
cleanup() {
  WINEPREFIX="$work/home/.wine-quorvel" wineserver -k 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "check-sdk: $*" >&2; exit 1; }

# The indented block after the line "<!-- $2 -->" of the page $1, as printed.
snippet() {
  awk -v marker="<!-- $2 -->" '$0 == marker {found = 1; next}
    found && /^    / {print substr($0, 5); started = 1; next}
    found && started {exit}' "$1"
}
# Builds the snippet $2 of the page $1 in $work/$3 with the sample $4 as the
# host's one source, named $5 there (the snippet's add_executable names it
# so), beside the samples' shared header; the remaining arguments go to cmake.
build_snippet() {
  local page=$1 name=$2 dir=$work/$3 source=$4 as=$5
  shift 5
  mkdir -p "$dir"
  snippet "$page" "$name" | sed "s/^add_executable(host host\.[a-z]*)$/add_executable(host $as)/" \
    >"$dir/CMakeLists.txt"
  grep -q "add_executable(host $as)" "$dir/CMakeLists.txt" || fail "$page has no snippet $name"
  cp "$source" "$dir/$as"
  cp examples/windows-host/serve_until.h "$dir/"
  cmake -S "$dir" -B "$dir/build" -G Ninja "$@" >/dev/null
  cmake --build "$dir/build"
}
# Configures a project that asks the prefix $1 for the component $2: it must
# fail, saying $3.
refused_component() {
  local dir=$work/component-$2 said
  mkdir -p "$dir"
  printf '%s\n' 'cmake_minimum_required(VERSION 3.25)' 'project(probe NONE)' \
    "find_package(quorvel 1.0 CONFIG REQUIRED COMPONENTS $2)" >"$dir/CMakeLists.txt"
  ! said=$(cmake -S "$dir" -B "$dir/build" -DCMAKE_PREFIX_PATH="$1" \
    -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/i686-w64-mingw32.cmake" 2>&1) ||
    fail "find_package found the component $2 in $1"
  said=$(tr -s ' \n' ' ' <<<"$said")
  grep -qF -- "$3" <<<"$said" || fail "find_package did not say: $3; it said: $said"
  echo "check-sdk: COMPONENTS $2 from $(basename "$1"): $3"
}
# Runs the Linux host $1, which links the framework stand-in and echoes the
# library's log to stderr: it must start, serve, and show the log.
serve_with_log() {
  "$1" 2>"$work/host.err" || fail "$1 failed: $(cat "$work/host.err")"
  grep -qx 'quorvel-Initialize successfully.' "$work/host.err" ||
    fail "$1 shows no library log: $(cat "$work/host.err")"
}
# Fails when the listing $2 of $1 has a line matching $3.
refuse() { ! grep -qE "$3" <<<"$2" || fail "$1 holds $(grep -E "$3" <<<"$2" | head -1)"; }
# Fails when the listing $2 of $1 has no line matching $3.
require() { grep -qE "$3" <<<"$2" || fail "$1 has no $3"; }
# The program's import table names QUORVEL.DLL's four entry points by ordinal
# only: what the import library it was linked with binds.
check_ordinal_imports() {
  local imports entries by_ordinal
  imports=$(i686-w64-mingw32-objdump -p "$1" | sed -n '/DLL Name: QUORVEL.DLL/,/^$/p')
  entries=$(grep -cE '^[[:space:]]+[0-9a-f]+[[:space:]]+[0-9]+[[:space:]]' <<<"$imports" || true)
  by_ordinal=$(grep -cE '^[[:space:]]+8000000[1-4][[:space:]]+[1-4][[:space:]]+<none>$' <<<"$imports" || true)
  [ "$entries" = 4 ] && [ "$by_ordinal" = 4 ] ||
    fail "$1 does not import QUORVEL.DLL's four entry points by ordinal only:$imports"
  echo "check-sdk: $(basename "$1") imports QUORVEL.DLL ordinals 1-4, no names"
}

# Runs the README's section-4 block as printed, as a newcomer's script: in
# the folder where step 3 built build/consumer, with $HOME/quorvel-sdk the
# installed SDK and test kit and a fresh Wine prefix. Every command must
# succeed and every outcome the block shows in its comments must be printed
# (the worker's index may differ).
serve_by_hand() {
  mkdir -p "$work/home" "$work/readme/build"
  ln -s "$work/win32" "$work/home/quorvel-sdk"
  ln -s "$work/consumer-win32" "$work/readme/build/consumer"
  snippet README.md serve-a-message >"$work/serve.sh"
  grep -q 'qrvctl post' "$work/serve.sh" || fail "README has no block serve-a-message"
  # No Mono or Gecko in the new prefix: not needed, and slow to install.
  (cd "$work/readme" && env -u WINEPREFIX -u WINEARCH HOME="$work/home" WINEDEBUG=-all \
    WINEDLLOVERRIDES="mscoree,mshtml=" timeout 300 bash -e "$work/serve.sh") >"$work/serve.log" 2>&1 ||
    fail "section 4 failed:"$'\n'"$(cat "$work/serve.log")"
  tr -d '\r' <"$work/serve.log" | sed 's/^/  | /'
  while IFS= read -r expected; do
    grep -F -- "${expected%%, thread *}, thread " "$work/serve.log" |
      grep -qF -- "): ${expected#*): }" || fail "section 4 did not print: $expected"
  done < <(sed -n 's/^#   //p' "$work/serve.sh")
  grep -qF 'echo host: stopped (Ctrl-C)' "$work/serve.log" || fail "the host did not stop on Ctrl-C"
}

for preset in linux-sdk win32-sdk; do
  echo "=== SDK: the preset $preset from an empty build folder"
  rm -rf "build/$preset"
  start=$(date +%s)
  cmake --preset "$preset" >/dev/null
  cmake --build "build/$preset" -j2 >/dev/null
  linked=$(ninja -C "build/$preset" -t targets all |
    sed -n 's/: [A-Z]*_\(EXECUTABLE\|SHARED_LIBRARY\|STATIC_LIBRARY\)_LINKER.*//p')
  refuse "the preset $preset" "$linked" 'test|demo|host|bench|pxcom_'
  echo "check-sdk: $preset built in $(($(date +%s) - start)) s:" $linked
done

echo "=== SDK: native install, consumer built with find_package"
cmake --install build/linux-sdk --prefix "$work/native" >/dev/null
listing=$(cd "$work/native" && find . -type f)
refuse "the native SDK's lib/" "$listing" '^\./lib/[^/]*(PXCOM|qrvsimdriver|port_model)'
require "the native test kit" "$listing" '^\./testkit/lib/PXCOM\.dll$'
require "the native test kit" "$listing" '^\./testkit/include/quorvel/testkit/px_control\.h$'
cmake -S examples/consumer -B "$work/consumer-native" -G Ninja \
  -DCMAKE_PREFIX_PATH="$work/native" >/dev/null
cmake --build "$work/consumer-native"
serve_with_log "$work/consumer-native/linux_host"

echo "=== SDK: the Linux CMake snippet of docs/sdk.md, as printed"
build_snippet docs/sdk.md cmake-linux cmake-linux examples/linux-host/echo_host.cpp host.cpp \
  -DCMAKE_PREFIX_PATH="$work/native"
serve_with_log "$work/cmake-linux/build/host"

echo "=== SDK: add_subdirectory builds the library, no tests or tools"
mkdir -p "$work/parent"
cat >"$work/parent/CMakeLists.txt" <<CMAKE
cmake_minimum_required(VERSION 3.25)
project(parent C CXX)
add_subdirectory("$PWD" quorvel)
add_subdirectory("$PWD/examples/consumer" consumer)
CMAKE
cmake -S "$work/parent" -B "$work/parent-build" -G Ninja -DQUORVEL_BUILD_TESTKIT=ON >/dev/null
cmake --build "$work/parent-build" --target linux_host
"$work/parent-build/consumer/linux_host"
targets=$(ninja -C "$work/parent-build" -t targets all)
! grep -qE '(library_tests|export_tests|quorvel_demo|quorvel_header_c11)[^:]*:' <<<"$targets" ||
  fail "add_subdirectory builds tests or tools"

echo "=== SDK: win32 install, consumer built with find_package"
cmake --install build/win32-sdk --prefix "$work/win32" >/dev/null
listing=$(cd "$work/win32" && find . -type f)
refuse "the win32 SDK's bin/" "$listing" '^\./bin/.*(PXCOM|qrvdrv|qrvctl)'
require "the win32 SDK" "$listing" '^\./bin/QUORVEL\.pdb$'
bash scripts/check-dll-pdb.sh "$work/win32/bin/QUORVEL.DLL"
require "the win32 test kit" "$listing" '^\./testkit/bin/PXCOM\.dll$'
require "the win32 test kit" "$listing" '^\./testkit/bin/qrvdrv\.sys$'
require "the win32 test kit" "$listing" '^\./testkit/include/quorvel/testkit/qrvctl\.h$'
cmake -S examples/consumer -B "$work/consumer-win32" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/i686-w64-mingw32.cmake" \
  -DCMAKE_PREFIX_PATH="$work/win32" >/dev/null
cmake --build "$work/consumer-win32"
check_ordinal_imports "$work/consumer-win32/windows_host.exe"

QRV_SAMPLE_HOSTS="$work/consumer-win32/windows_host.exe|$work/consumer-win32/windows_host_cpp.exe" \
QRV_QUORVEL_DLL="$work/win32/bin/QUORVEL.DLL" QRV_PXCOM_DLL="$work/win32/testkit/bin/PXCOM.dll" \
  ctest --test-dir build/win32 --output-on-failure -R '^sdk_test[.]'

echo "=== SDK: the README's section 4 under Wine, as printed"
serve_by_hand

echo "=== SDK: the test kit's headers as <quorvel/testkit/...> through quorvel::testkit"
mkdir -p "$work/kit"
cat >"$work/kit/CMakeLists.txt" <<CMAKE
cmake_minimum_required(VERSION 3.25)
project(kit C)
find_package(quorvel 1.0 CONFIG REQUIRED COMPONENTS testkit)
add_executable(kit kit.c)
target_link_libraries(kit PRIVATE quorvel::testkit advapi32)
CMAKE
printf '%s\n' '#include <quorvel/testkit/px_control.h>' '#include <quorvel/testkit/qrv_testkit.h>' \
  'int main(void) { return QrvTestkitStart() == ERROR_SUCCESS ? 0 : 1; }' >"$work/kit/kit.c"
cmake -S "$work/kit" -B "$work/kit/build" -G Ninja -DCMAKE_PREFIX_PATH="$work/win32" \
  -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/i686-w64-mingw32.cmake" >/dev/null
cmake --build "$work/kit/build"

echo "=== SDK: the README's Windows CMake snippet, as printed, against the SDK alone"
cmake --install build/win32-sdk --prefix "$work/win32-sdk" --component sdk >/dev/null
# As printed with the C sample, and with the C++ sample as host.cpp.
for sample in windows-host/echo_host.c windows-host-cpp/echo_host.cpp; do
  as=host.${sample##*.}
  build_snippet README.md cmake-windows "cmake-windows-${as#*.}" "examples/$sample" "$as" \
    -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/i686-w64-mingw32.cmake" -DCMAKE_PREFIX_PATH="$work/win32-sdk"
done
readme_hosts="$work/cmake-windows-c/build/host.exe|$work/cmake-windows-cpp/build/host.exe"

echo "=== SDK: find_package names the component that is missing or unknown"
refused_component "$work/win32-sdk" testkit 'component "testkit" is not installed'
refused_component "$work/win32" nosuch 'unknown component "nosuch"'

echo "=== SDK: MSVC-ABI consumer (clang-cl, lld-link /safeseh, /W4 as errors)"
msvc_flags="/O2 /DNDEBUG /W4"
cmake -S examples/consumer -B "$work/consumer-msvc" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/i686-pc-windows-msvc.cmake" \
  -DCMAKE_PREFIX_PATH="$work/win32" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_COMPILE_WARNING_AS_ERROR=ON \
  -DCMAKE_C_FLAGS_RELEASE="$msvc_flags" -DCMAKE_CXX_FLAGS_RELEASE="$msvc_flags -Wold-style-cast" \
  >/dev/null
link=$(cmake --build "$work/consumer-msvc" -v | grep -oE 'lld-link[^&]*/out:windows_host\.exe[^&]*') ||
  fail "the MSVC-ABI C host was not linked by lld-link"
echo "check-sdk: $link"
grep -q 'quorvel\.lib' <<<"$link" || fail "the MSVC-ABI C host was not linked with quorvel.lib"
grep -q '/safeseh' "$work/consumer-msvc/build.ninja" || fail "/safeseh is off"
check_ordinal_imports "$work/consumer-msvc/windows_host.exe"
# The MSVC-ABI hosts and the README's, each with the QUORVEL.DLL that its
# build copied beside it.
QRV_SAMPLE_HOSTS="$work/consumer-msvc/windows_host.exe|$work/consumer-msvc/windows_host_cpp.exe|$readme_hosts" \
QRV_QUORVEL_DLL="$work/win32/bin/QUORVEL.DLL" \
  ctest --test-dir build/win32 --output-on-failure -R '^sdk_test[.]SampleHost[.]'

echo "=== SDK: win32 packages"
(cd build/win32-sdk && cpack -B "$work/package" >/dev/null)
version=$(sed -n 's/^project(quorvel VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
for zip in quorvel-$version-win32.zip quorvel-$version-win32-testkit.zip; do
  [ -f "$work/package/$zip" ] || fail "no $zip"
done
sdk_zip=$(unzip -Z1 "$work/package/quorvel-$version-win32.zip")
kit_zip=$(unzip -Z1 "$work/package/quorvel-$version-win32-testkit.zip")
require "the SDK zip" "$sdk_zip" '^bin/QUORVEL\.DLL$'
require "the SDK zip" "$sdk_zip" '^bin/QUORVEL\.pdb$'
refuse "the SDK zip" "$sdk_zip" 'testkit|PXCOM|qrvdrv|qrvctl'
require "the test kit zip" "$kit_zip" '^testkit/bin/PXCOM\.dll$'
refuse "the test kit zip" "$kit_zip" '^(bin|include)/'
echo "check-sdk: quorvel-$version-win32.zip (no test kit), quorvel-$version-win32-testkit.zip"
