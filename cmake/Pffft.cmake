# Provides the object library `pffft` built from PFFFT's C source.
#
# By default the source comes from the npm package @echogarden/pffft-wasm at a
# pinned version, fetched with `npm pack` into the build tree. A user who
# already has the two files can set VEXOLIN_PFFFT_DIR to their directory (for
# pip, in the environment: see pyproject.toml); an sdist carries them in
# third_party/pffft.
# Either way both files must match the pinned SHA-256 sums.

set(VEXOLIN_PFFFT_PACKAGE "@echogarden/pffft-wasm@0.4.2")
set(VEXOLIN_PFFFT_C_SHA256 "e67d4a503852684fb7627641860074c8467cad29ddf978a605e0986fc4dbeea6")
set(VEXOLIN_PFFFT_H_SHA256 "361842eeeac967f990b69e55bb3f9feeb3d72eadf21bb515d65e5143050a2998")
set(VEXOLIN_PFFFT_DIR "" CACHE PATH
    "Directory holding pffft.c and pffft.h (empty: fetch ${VEXOLIN_PFFFT_PACKAGE} with npm)")

# The one message a build without the two files ends with: why npm could not
# fetch them, and the routes that need no npm.
function(_vexolin_pffft_unavailable why)
  message(FATAL_ERROR
    "${why}\n"
    "A git checkout does not carry the FFT library's sources (pffft.c and pffft.h of "
    "${VEXOLIN_PFFFT_PACKAGE}); the build fetches them with npm, which needs npm and node. "
    "Without npm:\n"
    "  - install an sdist, which carries both files and builds offline:\n"
    "      pip install vexolin-<version>.tar.gz   (`make dist` writes one to build/dist/)\n"
    "    or a binary wheel, which needs no compiler either (`make wheel`);\n"
    "  - or point the build at a directory holding pffft.c and pffft.h:\n"
    "      VEXOLIN_PFFFT_DIR=/path/to/dir pip install .   (CMake: -DVEXOLIN_PFFFT_DIR=/path/to/dir)\n")
endfunction()

function(_vexolin_pffft_matches dir result)
  set(ok FALSE)
  if(EXISTS "${dir}/pffft.c" AND EXISTS "${dir}/pffft.h")
    file(SHA256 "${dir}/pffft.c" c_sum)
    file(SHA256 "${dir}/pffft.h" h_sum)
    if(c_sum STREQUAL VEXOLIN_PFFFT_C_SHA256 AND h_sum STREQUAL VEXOLIN_PFFFT_H_SHA256)
      set(ok TRUE)
    endif()
  endif()
  set(${result} ${ok} PARENT_SCOPE)
endfunction()

if(VEXOLIN_PFFFT_DIR)
  set(pffft_src_dir "${VEXOLIN_PFFFT_DIR}")
  _vexolin_pffft_matches("${pffft_src_dir}" pffft_ok)
  if(NOT pffft_ok)
    message(FATAL_ERROR
      "VEXOLIN_PFFFT_DIR=${VEXOLIN_PFFFT_DIR}: pffft.c and pffft.h are missing or their "
      "SHA-256 differs from the pinned ${VEXOLIN_PFFFT_PACKAGE} sources "
      "(pffft.c ${VEXOLIN_PFFFT_C_SHA256}, pffft.h ${VEXOLIN_PFFFT_H_SHA256}).")
  endif()
elseif(EXISTS "${CMAKE_CURRENT_SOURCE_DIR}/third_party/pffft/pffft.c")
  # An sdist carries the two files here (see pyproject.toml), so that it
  # builds without npm.
  set(pffft_src_dir "${CMAKE_CURRENT_SOURCE_DIR}/third_party/pffft")
  _vexolin_pffft_matches("${pffft_src_dir}" pffft_ok)
  if(NOT pffft_ok)
    message(FATAL_ERROR
      "${pffft_src_dir}: pffft.c or pffft.h is missing or differs from the pinned "
      "${VEXOLIN_PFFFT_PACKAGE} sources; delete the directory to fetch them with npm.")
  endif()
else()
  set(pffft_root "${CMAKE_BINARY_DIR}/_deps/pffft")
  set(pffft_src_dir "${pffft_root}/package/src")
  _vexolin_pffft_matches("${pffft_src_dir}" pffft_ok)
  if(NOT pffft_ok)
    find_program(VEXOLIN_NPM npm)
    if(NOT VEXOLIN_NPM)
      _vexolin_pffft_unavailable("npm was not found.")
    endif()
    file(REMOVE_RECURSE "${pffft_root}")
    file(MAKE_DIRECTORY "${pffft_root}")
    message(STATUS "Fetching ${VEXOLIN_PFFFT_PACKAGE} with npm pack")
    execute_process(
      COMMAND "${VEXOLIN_NPM}" pack "${VEXOLIN_PFFFT_PACKAGE}" --silent
      WORKING_DIRECTORY "${pffft_root}"
      RESULT_VARIABLE npm_rc
      OUTPUT_VARIABLE npm_out
      ERROR_VARIABLE npm_err)
    file(GLOB pffft_tarballs "${pffft_root}/*.tgz")
    if(NOT npm_rc EQUAL 0 OR NOT pffft_tarballs)
      string(STRIP "${npm_err}" npm_err)
      _vexolin_pffft_unavailable("`npm pack ${VEXOLIN_PFFFT_PACKAGE}` failed (${npm_rc}): ${npm_err}")
    endif()
    list(GET pffft_tarballs 0 pffft_tarball)
    file(ARCHIVE_EXTRACT INPUT "${pffft_tarball}" DESTINATION "${pffft_root}")
    _vexolin_pffft_matches("${pffft_src_dir}" pffft_ok)
    if(NOT pffft_ok)
      message(FATAL_ERROR
        "The SHA-256 of pffft.c or pffft.h from ${VEXOLIN_PFFFT_PACKAGE} differs from the pinned "
        "sums (pffft.c ${VEXOLIN_PFFFT_C_SHA256}, pffft.h ${VEXOLIN_PFFFT_H_SHA256}); refusing to build.")
    endif()
  endif()
endif()

# Third-party C source: compiled as is, with its SIMD path (SSE on x86-64)
# left on and without our warning flags.
add_library(pffft OBJECT "${pffft_src_dir}/pffft.c")
target_include_directories(pffft PUBLIC "${pffft_src_dir}")
set_target_properties(pffft PROPERTIES POSITION_INDEPENDENT_CODE ON C_STANDARD 99)
target_compile_options(pffft PRIVATE -O3 -w)
