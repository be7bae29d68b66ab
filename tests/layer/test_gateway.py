"""The local gateway itself, spoken to with plain httpx."""

from __future__ import annotations

import base64
import threading
import time

import httpx
import pytest

from quillon_bo.testing import DEMO_CLIENT_ID, DEMO_CLIENT_SECRET, LocalGateway, Reply

BASIC = "Basic " + base64.b64encode(f"{DEMO_CLIENT_ID}:{DEMO_CLIENT_SECRET}".encode()).decode()
GOOD_HEADERS = {
    "Accept": "application/json",
    "Authorization": BASIC,
    "Content-Type": "application/x-www-form-urlencoded",
}


def post(gw: LocalGateway, url: str | None = None, **kw: object) -> httpx.Response:
    headers = {**GOOD_HEADERS, **kw.pop("headers", {})}  # type: ignore[dict-item]
    kw.setdefault("timeout", 5)
    return httpx.request(str(kw.pop("method", "POST")), url or gw.token_url, headers=headers, **kw)  # type: ignore[arg-type]


def test_correct_request_gets_a_fresh_token_each_time(gateway: LocalGateway) -> None:
    first, second = post(gateway).json(), post(gateway).json()
    assert first["access_token"] != second["access_token"]
    assert first["token_type"] == "Bearer" and first["expires_in"] == 3600
    assert gateway.token_requests == 2 and all(r.rejected is None for r in gateway.requests)


@pytest.mark.parametrize(
    ("change", "status", "reason"),
    [
        ({"method": "GET"}, 405, "method"),
        ({"url_suffix": "&scope=x"}, 400, "query"),
        ({"url": "{base}/oauth-client-credentials/access-token"}, 400, "query"),
        ({"headers": {"Accept": "text/html"}}, 406, "accept"),
        ({"headers": {"Content-Type": "application/json"}}, 415, "content-type"),
        ({"content": b"grant_type=password"}, 400, "body"),
        ({"headers": {"Authorization": "Bearer x"}}, 401, "credentials"),
        (
            {"headers": {"Authorization": "Basic " + base64.b64encode(b"demo-client:no").decode()}},
            401,
            "credentials",
        ),
        ({"headers": {"Authorization": "Basic !!!"}}, 401, "credentials"),
    ],
)
def test_wrong_requests_are_refused_and_recorded(
    gateway: LocalGateway, change: dict[str, object], status: int, reason: str
) -> None:
    url = str(change.pop("url", gateway.token_url)).format(base=gateway.base_url)
    url += str(change.pop("url_suffix", ""))
    response = post(gateway, url, **change)
    assert response.status_code == status
    assert response.json()["error"]
    assert gateway.requests[-1].rejected == reason


def test_form_body_with_the_grant_type_is_accepted(gateway: LocalGateway) -> None:
    response = post(
        gateway,
        content=b"grant_type=client_credentials",
        headers={"Content-Type": "application/x-www-form-urlencoded;charset=UTF-8"},
    )
    assert response.status_code == 200


def test_unknown_path_is_404(gateway: LocalGateway) -> None:
    assert httpx.get(gateway.base_url + "/nothing", timeout=5).status_code == 404
    assert gateway.token_requests == 0 and gateway.request_count == 1


@pytest.mark.parametrize(
    ("reply", "status", "body"),
    [
        (Reply.token("abc", expires_in=None, token_type=None), 200, b'{"access_token": "abc"}'),
        (Reply.json(200, ["abc", "bearer"]), 200, b'["abc", "bearer"]'),
        (
            Reply.oauth_error(403, "access_denied", "nope"),
            403,
            b'{"error": "access_denied", "error_description": "nope"}',
        ),
        (Reply.empty(401), 401, b""),
        (Reply.malformed(), 200, b'{"access_token": "tok", "expires_in": 36'),
        (Reply.text(500, "boom"), 500, b"boom"),
    ],
)
def test_scripted_replies_are_sent_in_order_then_fresh_tokens(
    gateway: LocalGateway, reply: Reply, status: int, body: bytes
) -> None:
    gateway.enqueue(reply)
    response = post(gateway)
    assert (response.status_code, response.content) == (status, body)
    assert post(gateway).json()["access_token"].startswith("tok-")


def test_html_page_and_shaped_fresh_token(gateway: LocalGateway) -> None:
    gateway.enqueue(Reply.html(502), Reply.token(expires_in=61, scope="read", token_type="mac"))
    page = post(gateway)
    assert page.status_code == 502 and page.headers["Content-Type"] == "text/html"
    assert b"<title>502 Bad Gateway</title>" in page.content
    shaped = post(gateway).json()
    assert (shaped["expires_in"], shaped["scope"], shaped["token_type"]) == (61, "read", "mac")


def test_slow_and_dropped_answers(gateway: LocalGateway) -> None:
    gateway.enqueue(Reply.slow(0.3), Reply.dropped())
    with pytest.raises(httpx.ReadTimeout):
        post(gateway, timeout=0.05)
    with pytest.raises(httpx.RemoteProtocolError):
        post(gateway)
    assert gateway.token_requests == 2


def test_always_answers_every_request_until_cleared(gateway: LocalGateway) -> None:
    gateway.always(Reply.oauth_error(401))
    assert [post(gateway).status_code for _ in range(3)] == [401, 401, 401]
    gateway.always(None)
    assert post(gateway).status_code == 200


def test_resource_wants_an_issued_unrevoked_bearer_token(gateway: LocalGateway) -> None:
    token = post(gateway).json()["access_token"]
    url = gateway.resource_url
    assert httpx.get(url, headers={"Authorization": f"Bearer {token}"}).status_code == 200
    assert httpx.get(url, headers={"Authorization": f"bearer {token}"}).status_code == 200
    assert httpx.get(url, headers={"Authorization": "Bearer other"}).status_code == 401
    gateway.revoke_tokens()
    assert httpx.get(url, headers={"Authorization": f"Bearer {token}"}).status_code == 401
    assert gateway.resource_requests == 4


def test_stop_ends_a_slow_answer_promptly() -> None:
    gw = LocalGateway().start()
    gw.enqueue(Reply.slow(30))
    errors: list[BaseException] = []

    def call() -> None:
        try:
            post(gw)
        except httpx.HTTPError as exc:
            errors.append(exc)

    thread = threading.Thread(target=call)
    thread.start()
    time.sleep(0.2)
    started = time.monotonic()
    gw.stop()
    thread.join(5)
    assert time.monotonic() - started < 10 and errors


def test_recorded_request_repr_hides_credentials(gateway: LocalGateway) -> None:
    post(gateway)
    text = repr(gateway.requests[0])
    assert BASIC.split()[1] not in text and "<hidden>" in text
