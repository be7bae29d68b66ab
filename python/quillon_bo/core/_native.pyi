"""The compiled core."""

__version__: str

def call(op: str, payload: str, /) -> str: ...
