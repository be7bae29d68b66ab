"""What may be said about a server's text: the one rule for logs and errors.

A gateway's error page can echo the request it got, ``Authorization: Basic
...`` included, and an error text quotes whatever it was given. Every place
that logs or raises with text from the server or from a transport passes it
through :func:`redact` (messages) or :func:`excerpt` (bodies and other long
text) with the values it knows to be secret.
"""

from __future__ import annotations

import re
from collections.abc import Iterable

__all__ = ["EXCERPT_LIMIT", "REDACTED", "credential_of", "excerpt", "redact"]

#: What stands in for a secret.
REDACTED = "<redacted>"
#: Characters of a body that an excerpt keeps at most.
EXCERPT_LIMIT = 300
#: Known values shorter than this are not looked for: redacting every "ab" in a
#: text would make it unreadable and hide nothing worth hiding.
MIN_SECRET = 4

# A credential after its scheme, as a header, a page or a JSON string quotes
# it: anything up to white space, a quote, an angle bracket or a backslash.
_SHAPED = re.compile(r"(?i)\b(Basic|Bearer)(\s+|%20|\+)[^\s\"'<>\\]+")
# A token answer quoted whole (an HTTP library's protocol error can quote the
# bytes it could not read, and those may be another exchange's answer).
_TOKEN_MEMBER = re.compile(r'(?i)("access_token"\s*:\s*")[^"\\]*')
_CONTROL = re.compile(r"[\x00-\x1f\x7f-\x9f\u2028\u2029]")


def credential_of(authorization: str | None) -> str | None:
    """The credential of an ``Authorization`` value, without its scheme."""
    if not authorization:
        return None
    scheme, _, rest = authorization.strip().partition(" ")
    return rest.strip() if rest.strip() else scheme


def redact(text: str, secrets: Iterable[str | None] = ()) -> str:
    """``text`` with every known secret and every ``Basic ...`` or ``Bearer
    ...`` credential replaced by :data:`REDACTED`."""
    known = sorted({s for s in secrets if s and len(s) >= MIN_SECRET}, key=len, reverse=True)
    for value in known:
        # Longest first, so that a secret inside a longer one (a token holding
        # the secret, say) never leaves the rest of the longer one behind.
        text = text.replace(value, REDACTED)
    text = _TOKEN_MEMBER.sub(lambda m: m.group(1) + REDACTED, text)
    return _SHAPED.sub(lambda m: f"{m.group(1)}{m.group(2)}{REDACTED}", text)


def excerpt(text: str, secrets: Iterable[str | None] = (), limit: int = EXCERPT_LIMIT) -> str:
    """A redacted, single-line excerpt of ``text``: control characters
    escaped, at most ``limit`` characters of it kept."""
    # Redacted before it is cut, so that a credential cut in two is still found.
    text = redact(text, secrets)
    line = _CONTROL.sub(lambda m: m.group().encode("unicode_escape").decode("ascii"), text)
    if len(line) <= limit:
        return line
    return line[:limit] + f"... ({len(line) - limit} more characters)"


def public_url(url: str, secrets: Iterable[str | None] = ()) -> str:
    """``url`` as an error may show it: without user information, redacted,
    on one line."""
    scheme, sep, rest = url.partition("://")
    if sep:
        end = next((i for i, c in enumerate(rest) if c in "/?#"), len(rest))
        # The last "@" ends the user information, which may itself hold one.
        host = rest[:end].rpartition("@")[2]
        url = f"{scheme}://{host}{rest[end:]}"
    return excerpt(url, secrets)
