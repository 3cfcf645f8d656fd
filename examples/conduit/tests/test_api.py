"""What the RealWorld collection never sends: refusals, paging, order, the feed,
slugs and cascades."""

from __future__ import annotations

import logging
from typing import Any

import pytest
from starlette.testclient import TestClient

from conduit import auth, queries


def register(client: TestClient, name: str) -> dict[str, str]:
    r = client.post("/api/users", json={"user": {"username": name, "email": f"{name}@mail.com", "password": "password"}})
    assert r.status_code == 201, r.text
    return {"Authorization": f"Token {r.json()['user']['token']}"}


def post_article(client: TestClient, who: dict[str, str], title: str, tags: list[str] | None = None) -> str:
    r = client.post("/api/articles", headers=who,
                    json={"article": {"title": title, "description": "d", "body": "b", "tagList": tags or []}})
    assert r.status_code == 201, r.text
    return str(r.json()["article"]["slug"])


@pytest.fixture
def two(client: TestClient) -> tuple[dict[str, str], dict[str, str], str, int]:
    """Ann with an article that Bob commented on."""
    ann, bob = register(client, "ann"), register(client, "bob")
    slug = post_article(client, ann, "Ann's first")
    r = client.post(f"/api/articles/{slug}/comments", headers=bob, json={"comment": {"body": "hi"}})
    return ann, bob, slug, r.json()["comment"]["id"]


REFUSALS: list[tuple[str, str, str, Any, int, str]] = [
    # who, method, path, body, status, error key
    ("nobody", "GET", "/api/user", None, 401, "token"),
    ("nobody", "PUT", "/api/user", {"user": {"bio": "x"}}, 401, "token"),
    ("nobody", "GET", "/api/articles/feed", None, 401, "token"),
    ("nobody", "POST", "/api/articles", {"article": {"title": "t", "description": "d", "body": "b"}}, 401, "token"),
    ("nobody", "POST", "/api/profiles/ann/follow", None, 401, "token"),
    ("nobody", "POST", "/api/articles/{slug}/favorite", None, 401, "token"),
    ("nobody", "DELETE", "/api/articles/{slug}/comments/{id}", None, 401, "token"),
    ("forged", "GET", "/api/user", None, 401, "token"),
    ("forged", "GET", "/api/articles", None, 401, "token"),  # optional token, but a bad one
    ("basic", "GET", "/api/profiles/ann", None, 401, "token"),
    ("nobody", "GET", "/api/profiles/ann", None, 200, ""),
    ("bob", "PUT", "/api/articles/{slug}", {"article": {"body": "mine now"}}, 403, "article"),
    ("bob", "DELETE", "/api/articles/{slug}", None, 403, "article"),
    ("ann", "DELETE", "/api/articles/{slug}/comments/{id}", None, 403, "comment"),
    ("ann", "GET", "/api/articles/no-such-slug", None, 404, "article"),
    ("ann", "DELETE", "/api/articles/{slug}/comments/9999", None, 404, "comment"),
    ("ann", "GET", "/api/profiles/nobody", None, 404, "profile"),
    ("ann", "GET", "/api/no-such-route", None, 404, "request"),
    ("ann", "PATCH", "/api/articles/{slug}", None, 405, "request"),
    ("ann", "POST", "/api/articles", {"article": {"title": " ", "description": "d"}}, 422, "title"),
    ("ann", "POST", "/api/articles", {"article": {"title": "t", "description": "d", "body": "b", "tagList": "x"}},
     422, "tagList"),
    ("ann", "PUT", "/api/user", {"user": {"email": "bob@mail.com"}}, 422, "email"),
    ("ann", "PUT", "/api/user", {"user": {}}, 422, "user"),
    ("ann", "POST", "/api/articles/{slug}/comments", {"comment": {}}, 422, "body"),
    ("ann", "GET", "/api/articles?limit=-1", None, 422, "limit"),
]


@pytest.mark.parametrize(("who", "method", "path", "body", "status", "key"), REFUSALS)
def test_refusals(client: TestClient, two: Any, who: str, method: str, path: str, body: Any, status: int,
                  key: str) -> None:
    ann, bob, slug, comment_id = two
    headers = {"ann": ann, "bob": bob, "nobody": {}, "basic": {"Authorization": "Basic YW5uOnBhc3N3b3Jk"},
               "forged": {"Authorization": "Token " + auth.issue_token(1, "another-secret-" + "x" * 32)}}[who]
    r = client.request(method, path.format(slug=slug, id=comment_id), headers=headers, json=body)
    assert r.status_code == status, r.text
    if key:
        assert r.headers["content-type"] == "application/json; charset=utf-8"
        errors = r.json()["errors"]
        assert key in errors and all(isinstance(m, str) for v in errors.values() for m in v)
    # Nothing a refusal touched changed.
    assert client.get(f"/api/articles/{slug}").json()["article"]["body"] == "b"
    assert len(client.get(f"/api/articles/{slug}/comments").json()["comments"]) == 1


def test_register_and_login_refusals(client: TestClient) -> None:
    register(client, "ann")
    for user, key in [({"username": "ann", "email": "new@mail.com", "password": "p"}, "username"),
                      ({"username": "new", "email": "ann@mail.com", "password": "p"}, "email"),
                      ({"username": "new", "email": "new@mail.com"}, "password"),
                      ({"username": "", "email": "new@mail.com", "password": "p"}, "username")]:
        r = client.post("/api/users", json={"user": user})
        assert (r.status_code, list(r.json()["errors"])) == (422, [key])
    assert client.post("/api/users", content=b"{not json").status_code == 422
    assert client.post("/api/users/login", json={"user": {"email": "ann@mail.com", "password": "wrong"}}).status_code == 401
    assert client.post("/api/users/login", json={"user": {"email": "x@mail.com", "password": "password"}}).status_code == 401


def test_user_update_keeps_the_token_and_hashes_the_password(client: TestClient) -> None:
    ann = register(client, "ann")
    r = client.put("/api/user", headers=ann, json={"user": {"email": "ann@mail.com", "password": "secret2", "bio": "hi"}})
    assert r.status_code == 200 and r.json()["user"]["bio"] == "hi"
    assert client.get("/api/user", headers=ann).json()["user"]["email"] == "ann@mail.com"
    login = {"user": {"email": "ann@mail.com", "password": "secret2"}}
    assert client.post("/api/users/login", json=login).status_code == 200
    login["user"]["password"] = "password"
    assert client.post("/api/users/login", json=login).status_code == 401


def test_lists_page_newest_first_and_the_feed_holds_followed_authors(client: TestClient) -> None:
    ann, bob, cat = register(client, "ann"), register(client, "bob"), register(client, "cat")
    for i in range(5):
        post_article(client, ann, f"ann {i}", ["a", f"n{i}"])
    post_article(client, bob, "bob 0", ["a"])

    def titles(query: str, who: dict[str, str] = cat) -> tuple[list[str], int]:
        body = client.get(f"/api/articles{query}", headers=who).json()
        return [a["title"] for a in body["articles"]], body["articlesCount"]

    assert titles("?limit=2&offset=1") == (["ann 4", "ann 3"], 6)
    assert titles("?author=ann&limit=1") == (["ann 4"], 5)
    assert titles("?tag=n2") == (["ann 2"], 1)
    assert titles("?tag=a&author=bob") == (["bob 0"], 1)
    for slug in ("ann-1", "bob-0"):
        client.post(f"/api/articles/{slug}/favorite", headers=cat)
    assert titles("?favorited=cat&tag=a") == (["bob 0", "ann 1"], 2)
    assert titles("?favorited=cat&tag=a&author=ann") == (["ann 1"], 1)
    assert titles("?author=nobody") == titles("?tag=none") == titles("?favorited=nobody") == ([], 0)
    tagged = client.get("/api/articles?tag=n2").json()["articles"][0]
    assert tagged["tagList"] == ["a", "n2"] and "body" not in tagged
    assert titles("/feed", cat) == ([], 0)
    client.post("/api/profiles/bob/follow", headers=cat)
    client.post("/api/profiles/bob/follow", headers=cat)  # twice: still one follow
    assert titles("/feed", cat) == (["bob 0"], 1)
    client.post("/api/profiles/ann/follow", headers=cat)
    assert titles("/feed?limit=2", cat) == (["bob 0", "ann 4"], 6)
    assert titles("/feed?offset=5", cat) == (["ann 0"], 6)
    client.delete("/api/profiles/ann/follow", headers=cat)
    assert client.get("/api/articles?author=bob", headers=cat).json()["articles"][0]["author"]["following"] is True
    client.delete("/api/profiles/bob/follow", headers=cat)
    client.delete("/api/profiles/bob/follow", headers=cat)
    assert titles("/feed", cat) == ([], 0)


class Statements(logging.Handler):
    def __init__(self) -> None:
        super().__init__(logging.DEBUG)
        self.seen: list[str] = []

    def emit(self, record: logging.LogRecord) -> None:
        self.seen.append(record.getMessage())


@pytest.mark.parametrize("path", ["/api/articles", "/api/articles/feed"])
def test_a_page_takes_the_same_statements_whatever_its_length(client: TestClient, path: str) -> None:
    """Authors, tags, favorite counts, the viewer's favorites and follows:
    one statement each for the whole page, none per article."""
    viewer = register(client, "viewer")
    for n in range(4):
        who = register(client, f"writer{n}")
        client.post(f"/api/profiles/writer{n}/follow", headers=viewer)
        for i in range(6):
            slug = post_article(client, who, f"w{n} {i}", [f"t{i}", f"w{n}", "all"])
            if i % 2:
                client.post(f"/api/articles/{slug}/favorite", headers=viewer)
                client.post(f"/api/articles/{slug}/favorite", headers=who)
    log, handler = logging.getLogger("sarnic.sql"), Statements()
    log.addHandler(handler)
    level = log.level
    log.setLevel(logging.DEBUG)
    counts = []
    try:
        for limit in (5, 20):
            handler.seen.clear()
            body = client.get(f"{path}?limit={limit}", headers=viewer).json()
            assert len(body["articles"]) == limit and body["articlesCount"] == 24
            assert all(a["author"]["following"] and len(a["tagList"]) == 3 for a in body["articles"])
            assert {a["favoritesCount"] for a in body["articles"]} == {0, 2}
            counts.append(len(handler.seen))
    finally:
        log.removeHandler(handler)
        log.setLevel(level)
    assert 0 < counts[0] == counts[1] <= 10, handler.seen


def test_slugs_follow_titles_and_deletes_take_dependents(client: TestClient) -> None:
    ann, bob = register(client, "ann"), register(client, "bob")
    first = post_article(client, ann, "How to train your dragon", ["dragons"])
    second = post_article(client, ann, "How to train your dragon")
    assert first == "how-to-train-your-dragon" and second.startswith(first + "-")
    r = client.put(f"/api/articles/{first}", headers=ann, json={"article": {"body": "With two hands"}})
    assert r.json()["article"]["slug"] == first
    r = client.put(f"/api/articles/{first}", headers=ann, json={"article": {"title": "Dragons, Again!"}})
    article = r.json()["article"]
    assert article["slug"] == "dragons-again" and article["updatedAt"] > article["createdAt"]
    assert client.get(f"/api/articles/{first}").status_code == 404
    client.post("/api/articles/dragons-again/favorite", headers=bob)
    client.post("/api/articles/dragons-again/favorite", headers=bob)
    assert client.get("/api/articles?favorited=bob&tag=dragons").json()["articlesCount"] == 1
    assert client.get("/api/articles/dragons-again").json()["article"]["favoritesCount"] == 1
    client.post("/api/articles/dragons-again/comments", headers=bob, json={"comment": {"body": "nice"}})
    assert client.delete("/api/articles/dragons-again", headers=ann).status_code == 204
    assert client.get("/api/articles?favorited=bob").json() == {"articles": [], "articlesCount": 0}
    assert client.get("/api/articles/dragons-again/comments").status_code == 404
    # A new article of the same title starts with no comments or favorites.
    again = post_article(client, ann, "Dragons, again")
    assert client.get(f"/api/articles/{again}/comments").json() == {"comments": []}
    assert client.get(f"/api/articles/{again}").json()["article"]["favoritesCount"] == 0


def test_cors_preflight(client: TestClient) -> None:
    r = client.options("/api/articles", headers={"Origin": "http://front.example", "Access-Control-Request-Method": "POST",
                                                  "Access-Control-Request-Headers": "authorization,content-type"})
    assert r.status_code == 200 and r.headers["access-control-allow-origin"] in ("*", "http://front.example")
