"""The package's version, and the ``User-Agent`` its token requests carry."""

from __future__ import annotations

# The compiled core is built from the same version number as the package, and
# is loaded anyway; importlib.metadata would cost more than the rest of the
# import together.
from .core._native import __version__

#: The package's version number.
VERSION = __version__
#: Gateways and firewalls that refuse a request without one see who asks.
USER_AGENT = f"quillon_bo/{VERSION}"
