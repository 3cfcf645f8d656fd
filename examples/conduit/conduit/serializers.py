"""The JSON shapes of the API, and the reading of request bodies."""

from __future__ import annotations

import datetime as dt
from collections.abc import Mapping, Sequence
from typing import Any

from sarnic import Database

from conduit import queries
from conduit.models import Article, Comment, User


class ApiError(Exception):
    """An answer with `{"errors": {topic: [message, ...]}}`."""

    def __init__(self, status: int, errors: Mapping[str, Sequence[str]]) -> None:
        super().__init__(status, errors)
        self.status = status
        self.errors = {k: list(v) for k, v in errors.items()}


def not_found(what: str) -> ApiError:
    return ApiError(404, {what: ["not found"]})


def timestamp(t: dt.datetime) -> str:
    return t.astimezone(dt.timezone.utc).isoformat(timespec="milliseconds").replace("+00:00", "Z")


def user(u: User, token: str) -> dict[str, Any]:
    return {"user": {"email": u.email, "token": token, "username": u.username, "bio": u.bio, "image": u.image}}


def profile(u: User, following: bool) -> dict[str, Any]:
    return {"username": u.username, "bio": u.bio, "image": u.image, "following": following}


async def articles(db: Database, viewer_id: int | None, rows: Sequence[Article], *,
                   with_body: bool) -> list[dict[str, Any]]:
    """Articles with their authors (joined), tags, favorite counts and the
    viewer's flags: one query per kind of fact for the whole page."""
    ids = [a.id for a in rows]
    tags = await queries.tags_of(db, ids)
    counts = await queries.favorite_counts(db, ids)
    favorited = await queries.favorited_among(db, viewer_id, ids)
    following = await queries.followed_among(db, viewer_id, (a.author.id for a in rows))
    out = []
    for a in rows:
        doc: dict[str, Any] = {"slug": a.slug, "title": a.title, "description": a.description}
        if with_body:
            doc["body"] = a.body
        doc |= {"tagList": tags[a.id], "createdAt": timestamp(a.created_at), "updatedAt": timestamp(a.updated_at),
                "favorited": a.id in favorited, "favoritesCount": counts[a.id],
                "author": profile(a.author, a.author.id in following)}
        out.append(doc)
    return out


async def article(db: Database, viewer_id: int | None, a: Article) -> dict[str, Any]:
    return {"article": (await articles(db, viewer_id, [a], with_body=True))[0]}


def comment(c: Comment, author: User, following: bool) -> dict[str, Any]:
    return {"id": c.id, "createdAt": timestamp(c.created_at), "updatedAt": timestamp(c.updated_at), "body": c.body,
            "author": profile(author, following)}


# -- request bodies -----------------------------------------------------------

def envelope(body: Any, key: str) -> dict[str, Any]:
    inner = body.get(key) if isinstance(body, dict) else None
    if not isinstance(inner, dict):
        raise ApiError(422, {"body": [f"must be an object with a {key!r} object"]})
    return inner


def text_fields(doc: Mapping[str, Any], required: Sequence[str], optional: Sequence[str] = (),
                nullable: Sequence[str] = ()) -> dict[str, Any]:
    """The named fields of a request object: required ones present and not
    blank, optional ones checked when given; anything else is ignored."""
    out: dict[str, Any] = {}
    errors: dict[str, list[str]] = {}
    for name in (*required, *optional, *nullable):
        if name not in doc:
            if name in required:
                errors[name] = ["can't be empty"]
            continue
        value = doc[name]
        if value is None and name in nullable:
            out[name] = None
        elif not isinstance(value, str):
            errors[name] = ["must be a string"]
        elif not value.strip() and name not in nullable:
            errors[name] = ["can't be empty"]
        else:
            out[name] = value
    if errors:
        raise ApiError(422, errors)
    return out


def tag_list(doc: Mapping[str, Any]) -> list[str]:
    tags = doc.get("tagList")
    if tags is None:
        return []
    if not isinstance(tags, list) or not all(isinstance(t, str) for t in tags):
        raise ApiError(422, {"tagList": ["must be an array of strings"]})
    return list(dict.fromkeys(t.strip() for t in tags if t.strip()))
