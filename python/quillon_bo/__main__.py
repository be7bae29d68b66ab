"""``python -m quillon_bo``: the command line."""

from .cli import main

raise SystemExit(main())
