# The C++ runtime (libc++, libc++abi, libunwind) built from the sources at
# VEXOLIN_CXX_RUNTIME_SOURCES (set by cmake/ZigToolchain.cmake), as an object
# library with its symbols visible: linked into the engine library, it is the
# one copy the engine and both modules use.

set(_rt "${VEXOLIN_CXX_RUNTIME_SOURCES}")
enable_language(ASM)
file(GLOB _libcxx "${_rt}/libcxx/src/*.cpp" "${_rt}/libcxx/src/filesystem/*.cpp" "${_rt}/libcxx/src/ryu/*.cpp")
# 128-bit division comes from the compiler's own runtime.
list(FILTER _libcxx EXCLUDE REGEX "/int128_builtins\\.cpp$")
file(GLOB _libcxxabi "${_rt}/libcxxabi/src/*.cpp")
list(FILTER _libcxxabi EXCLUDE REGEX "/cxa_noexception\\.cpp$")
set(_libunwind
  "${_rt}/libunwind/src/libunwind.cpp"
  "${_rt}/libunwind/src/UnwindLevel1.c"
  "${_rt}/libunwind/src/UnwindLevel1-gcc-ext.c"
  "${_rt}/libunwind/src/UnwindRegistersSave.S"
  "${_rt}/libunwind/src/UnwindRegistersRestore.S"
  "${_rt}/libunwind/src/gcc_personality_v0.c")
if(NOT _libcxx OR NOT _libcxxabi OR NOT EXISTS "${_rt}/libunwind/src/libunwind.cpp")
  message(FATAL_ERROR "no libc++ sources under ${_rt}")
endif()

add_library(vexolin_cxx_runtime OBJECT ${_libcxx} ${_libcxxabi} ${_libunwind})
set_target_properties(vexolin_cxx_runtime PROPERTIES POSITION_INDEPENDENT_CODE ON CXX_STANDARD 23 C_STANDARD 99)
target_compile_options(vexolin_cxx_runtime PRIVATE -w -ffunction-sections -fdata-sections)
set_source_files_properties(${_libcxx} PROPERTIES
  COMPILE_DEFINITIONS "_LIBCPP_BUILDING_LIBRARY;LIBCXX_BUILDING_LIBCXXABI;_LIBCPP_HAS_NO_PRAGMA_SYSTEM_HEADER;LIBC_NAMESPACE=__llvm_libc_common_utils"
  COMPILE_OPTIONS "-faligned-allocation"
  INCLUDE_DIRECTORIES "${_rt}/libcxx/src;${_rt}/libcxx/libc")
set_source_files_properties(${_libcxxabi} PROPERTIES
  COMPILE_DEFINITIONS "_LIBCXXABI_BUILDING_LIBRARY;_LIBCPP_BUILDING_LIBRARY"
  INCLUDE_DIRECTORIES "${_rt}/libcxxabi/include;${_rt}/libcxx/src")
set_source_files_properties(${_libunwind} PROPERTIES
  COMPILE_DEFINITIONS "_LIBUNWIND_IS_NATIVE_ONLY"
  INCLUDE_DIRECTORIES "${_rt}/libunwind/include")
set_source_files_properties("${_rt}/libunwind/src/libunwind.cpp" PROPERTIES COMPILE_OPTIONS "-fno-exceptions;-fno-rtti")
