#!/usr/bin/env bash
# The whole test run, from a clean clone: installs what the tests need, builds
# the core, runs the C++ tests (plain and under ASan+UBSan), builds the one
# abi3 wheel, runs the Python tests, and checks the wheel under every Python
# from 3.10 to 3.13 that the machine has.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$root/build/test
jobs=${JOBS:-2}
python=${PYTHON:-python3}

step() { printf '\n==== %s ====\n' "$*"; }

system_packages=(g++ pkg-config libssl-dev libgtest-dev clang-19 libclang-rt-19-dev clang-format)
missing=()
for p in "${system_packages[@]}"; do dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p"); done
if ((${#missing[@]})); then
  step "installing ${missing[*]}"
  if [ "$(id -u)" = 0 ]; then sudo=; else sudo=sudo; fi
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
fi

step "Python test dependencies"
"$python" -m pip install -q --disable-pip-version-check -r requirements-test.txt cmake ninja

cxx_tests() {  # build dir, extra cmake arguments...
  local dir=$1
  shift
  cmake -S . -B "$dir" -G Ninja -DQB_WERROR=ON -DQB_BUILD_TESTS=ON -DQB_BUILD_MODULE=OFF "$@" >/dev/null
  cmake --build "$dir" -j"$jobs"
  ctest --test-dir "$dir" --output-on-failure -j"$jobs"
}

step "C++ tests"
cxx_tests "$build/cxx"

step "C++ tests under AddressSanitizer and UndefinedBehaviorSanitizer"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  cxx_tests "$build/cxx-asan" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQB_SANITIZE=address,undefined

step "C++ tests under ThreadSanitizer"
TSAN_OPTIONS=halt_on_error=1 \
  cxx_tests "$build/cxx-tsan" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQB_SANITIZE=thread

step "fuzz targets, ${FUZZ_SECONDS:-60}s each"
FUZZ_CXX=clang++-19 bash fuzz/run.sh "${FUZZ_SECONDS:-60}"

step "the abi3 wheel"
rm -rf "$build/dist"
"$python" -m pip wheel -q --disable-pip-version-check --no-deps -w "$build/dist" .
wheel=$(ls "$build"/dist/quillon_bo-*-cp310-abi3-*.whl)
"$python" -m pip install -q --disable-pip-version-check --force-reinstall "$wheel"

step "Python tests"
"$python" -m pytest -q -p no:cacheprovider tests

step "types, lint and layout"
git ls-files '*.cpp' '*.hpp' | xargs clang-format --dry-run --Werror
"$python" -m ruff format --check python tests/layer
"$python" -m mypy
"$python" -m ruff check python tests

step "the documentation site"
# Its examples ran with the Python tests (tests/test_docs.py); here every page,
# link and docstring of the API reference must build without a warning.
"$python" -m pip install -q --disable-pip-version-check -r requirements-docs.txt
NO_MKDOCS_2_WARNING=1 "$python" -m mkdocs build --strict --quiet --site-dir "$build/site"

step "the same wheel under every Python from 3.10 to 3.13"
# The tests of the module itself need nothing but pytest.
module_tests=("$root"/tests/test_native.py)
for f in "$root"/tests/test_token_*.py; do [ -e "$f" ] && module_tests+=("$f"); done
pyenv_root=$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")
for minor in 10 11 12 13; do
  interpreter=$(ls -d "$pyenv_root"/versions/3."$minor".*/bin/python3 2>/dev/null | sort -V | tail -n 1 || true)
  [ -z "$interpreter" ] && interpreter=$(command -v python3."$minor" || true)
  if [ -z "$interpreter" ]; then
    echo "Python 3.$minor: not on this machine"
    continue
  fi
  venv=$build/venv-3.$minor
  [ -x "$venv/bin/python" ] || "$interpreter" -m venv "$venv"
  "$venv/bin/python" -m pip install -q --disable-pip-version-check pytest
  "$venv/bin/python" -m pip install -q --disable-pip-version-check --force-reinstall "$wheel"
  echo "Python 3.$minor ($interpreter):"
  (cd "$build" && "$venv/bin/python" -m pytest -q -p no:cacheprovider "${module_tests[@]}")
done
