"""Checks that a source distribution holds what a build needs and nothing else.

Usage: python scripts/check-sdist.py SDIST.tar.gz

Every member must be one of the build's own files (the CMake project, the
core's sources, the extension module, the Python package, pyproject.toml,
README.md, PKG-INFO), and each of those must be there. Build folders, caches,
compiled files and anything from outside the repository make it fail.
"""

from __future__ import annotations

import fnmatch
import sys
import tarfile

ALLOWED = [
    "CMakeLists.txt",
    "cmake/*.cmake",
    "core/CMakeLists.txt",
    "core/src/*",
    "native/*",
    "python/quillon_bo/*",
    "third_party/base64/README.md",
    "third_party/base64/libbase64/CMakeLists.txt",
    "third_party/base64/libbase64/LICENSE",
    "third_party/base64/libbase64/cmake/*",
    "third_party/base64/libbase64/include/*",
    "third_party/base64/libbase64/lib/*",
    "pyproject.toml",
    "README.md",
    "PKG-INFO",
]
REQUIRED = [
    "CMakeLists.txt",
    "core/CMakeLists.txt",
    "native/module.cpp",
    "pyproject.toml",
    "third_party/base64/libbase64/LICENSE",
    "third_party/base64/libbase64/lib/lib.c",
]
FORBIDDEN_PARTS = {"build", "dist", "__pycache__", ".git", "tests", "shared"}
FORBIDDEN_SUFFIXES = (".so", ".pyd", ".o", ".a", ".pyc", ".whl")


def problems(names: list[str]) -> list[str]:
    found: list[str] = []
    roots = {name.split("/", 1)[0] for name in names}
    if len(roots) != 1:
        return [f"more than one top folder: {sorted(roots)}"]
    inner = [name.split("/", 1)[1] for name in names if "/" in name]
    for name in inner:
        parts = name.split("/")
        if not any(fnmatch.fnmatch(name, pattern) for pattern in ALLOWED):
            found.append(f"not a build file: {name}")
        elif FORBIDDEN_PARTS.intersection(parts) or name.endswith(FORBIDDEN_SUFFIXES):
            found.append(f"build output or foreign file: {name}")
    found += [f"missing: {name}" for name in REQUIRED if name not in inner]
    if not any(name.startswith("core/src/") and name.endswith(".cpp") for name in inner):
        found.append("missing: the core's sources")
    return found


def main(argv: list[str]) -> int:
    if len(argv) != 2:
        print(__doc__.strip().splitlines()[2], file=sys.stderr)
        return 2
    with tarfile.open(argv[1]) as sdist:
        names = [member.name for member in sdist.getmembers() if member.isfile()]
    found = problems(names)
    for line in found:
        print(f"{argv[1]}: {line}", file=sys.stderr)
    if not found:
        print(f"{argv[1]}: {len(names)} files, all of them build files")
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
