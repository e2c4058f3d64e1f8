# Toolchain for the manylinux wheel: zig's clang, linking against stubs of
# glibc ${VEXOLIN_GLIBC} (the oldest symbol versions the wheel may need) and
# with the C++ runtime (libc++) of its own, so that the binaries run on any
# x86-64 Linux with that glibc or newer.
#
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/ZigToolchain.cmake -DVEXOLIN_ZIG=/path/to/zig
#
# No -march: the code generated is for the x86-64 baseline; the engine picks
# its AVX2 and AVX-512 versions at run time.

set(VEXOLIN_ZIG "" CACHE FILEPATH "zig executable (from PyPI's ziglang)")
set(VEXOLIN_GLIBC "2.17" CACHE STRING "Oldest glibc the binaries run on")
# try_compile projects run this file again and need the same answers.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VEXOLIN_ZIG VEXOLIN_GLIBC)

if(NOT EXISTS "${VEXOLIN_ZIG}")
  message(FATAL_ERROR "VEXOLIN_ZIG='${VEXOLIN_ZIG}' is not a zig executable")
endif()

# CMake takes one executable per compiler, so each zig subcommand gets a
# two-line wrapper next to the build.
set(_zig_bin "${CMAKE_BINARY_DIR}/zig-bin")
set(_zig_target "x86_64-linux-gnu.${VEXOLIN_GLIBC}")
foreach(tool IN ITEMS cc c++ ar ranlib)
  if(tool STREQUAL "cc" OR tool STREQUAL "c++")
    set(_zig_args "${tool} -target ${_zig_target}")
  else()
    set(_zig_args "${tool}")
  endif()
  file(WRITE "${_zig_bin}/${tool}" "#!/bin/sh\nexec \"${VEXOLIN_ZIG}\" ${_zig_args} \"$@\"\n")
  file(CHMOD "${_zig_bin}/${tool}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
       GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endforeach()
set(CMAKE_C_COMPILER "${_zig_bin}/cc")
set(CMAKE_CXX_COMPILER "${_zig_bin}/c++")
# Types whose type_info every shared object emits for itself (exceptions
# declared in headers, such as the engine's CallCancelled, thrown in one and
# caught in another) compare by name, as with libstdc++ on Linux, not by address.
# And engine/simd_versions.h ranges over a braced list without including
# <initializer_list>; libstdc++ brings it in through other headers, libc++
# does not: included here until the header includes it itself.
set(CMAKE_CXX_FLAGS_INIT "-D_LIBCPP_TYPEINFO_COMPARISON_IMPLEMENTATION=2 -include initializer_list")
set(CMAKE_AR "${_zig_bin}/ar" CACHE FILEPATH "" FORCE)
set(CMAKE_RANLIB "${_zig_bin}/ranlib" CACHE FILEPATH "" FORCE)

# zig's runtime answers "no" to every processor-feature query
# (__builtin_cpu_supports), which would keep the engine on SSE everywhere.
# libgcc's implementation fills the same structure clang reads; linked
# statically, only its CPU-detection member is taken.
execute_process(COMMAND gcc -print-libgcc-file-name OUTPUT_VARIABLE _libgcc
                OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE _libgcc_rc)
if(NOT _libgcc_rc EQUAL 0 OR NOT EXISTS "${_libgcc}")
  message(FATAL_ERROR "gcc's libgcc.a (for its processor-feature detection) was not found")
endif()
set(CMAKE_C_STANDARD_LIBRARIES "${_libgcc}" CACHE STRING "" FORCE)
set(CMAKE_CXX_STANDARD_LIBRARIES "${_libgcc}" CACHE STRING "" FORCE)

# zig links a hidden copy of libc++ into every shared object, but an exception
# the engine throws must be caught by type in the modules: one copy for all
# three. cmake/CxxRuntime.cmake builds it, with its symbols visible, from the
# sources that come with zig; shared libraries and modules link no other.
get_filename_component(_zig_dir "${VEXOLIN_ZIG}" DIRECTORY)
set(VEXOLIN_CXX_RUNTIME_SOURCES "${_zig_dir}/lib")
# Debug sections stripped: zig's clang emits them even without -g.
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-nostdlib++ -Wl,--strip-debug")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-nostdlib++ -Wl,--strip-debug")
