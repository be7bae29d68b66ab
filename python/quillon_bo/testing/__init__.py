"""Real local servers for tests and demonstrations, on 127.0.0.1.

Pick one by what the test is about:

- :class:`LocalGateway`: the gateway's token endpoint and one protected
  resource. It checks what a correct client sends (method, path, query,
  headers, Basic credentials), answers with a fresh token, and counts and
  records every request as a :class:`RecordedRequest`.
- :class:`Reply`: what the gateway answers instead, when told to: success
  bodies of any shape, RFC 6749 error bodies, HTML error pages, empty or
  malformed bodies, slow answers, answers trickled a few bytes at a time,
  dropped or reset connections, answers cut off part way and bytes that are
  not HTTP at all.
- :class:`StalledEndpoint`: a port that never gets as far as an answer,
  holding the client while it connects or while it sends its request.

Each runs in threads of the test process, on a free port, started and
stopped by hand or as a context manager:

    with LocalGateway() as gateway:
        client = quillon_bo.Client(gateway.config())
        gateway.enqueue(Reply.oauth_error(401, "invalid_client"))
        ...
"""

from __future__ import annotations

from .gateway import DEMO_CLIENT_ID, DEMO_CLIENT_SECRET, LocalGateway
from .gateway_handler import RESOURCE_PATH, TOKEN_PATH, RecordedRequest
from .replies import Reply
from .stalled import StalledEndpoint

__all__ = [
    "DEMO_CLIENT_ID",
    "DEMO_CLIENT_SECRET",
    "RESOURCE_PATH",
    "TOKEN_PATH",
    "LocalGateway",
    "RecordedRequest",
    "Reply",
    "StalledEndpoint",
]
