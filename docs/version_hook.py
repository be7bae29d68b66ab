"""A MkDocs hook: the site's header names the version the package is built as.

The version lives in one place, the ``project()`` line of CMakeLists.txt, from
which the package and the core take it too; the site reads it from there.
"""

from __future__ import annotations

import re
from pathlib import Path
from typing import Any

_PROJECT = re.compile(r"^project\(\s*quillon_bo\s+VERSION\s+(\S+)", re.MULTILINE)


def on_config(config: Any) -> Any:
    cmake = Path(config["config_file_path"]).parent / "CMakeLists.txt"
    found = _PROJECT.search(cmake.read_text(encoding="utf-8"))
    if found is None:
        raise ValueError(f"{cmake}: no project(quillon_bo VERSION ...) line")
    config["site_name"] = f"{config['site_name']} {found[1]}"
    return config
