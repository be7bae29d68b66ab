"""The package's version, and the ``User-Agent`` its token requests carry."""

from __future__ import annotations

import importlib
from importlib import metadata

try:
    VERSION = metadata.version("quillon_bo")
except metadata.PackageNotFoundError:  # pragma: no cover - running from a source tree
    # Not installed: the core is built with the same version number.
    VERSION = str(importlib.import_module("quillon_bo.core._native").__version__)

#: Gateways and firewalls that refuse a request without one see who asks.
USER_AGENT = f"quillon_bo/{VERSION}"
