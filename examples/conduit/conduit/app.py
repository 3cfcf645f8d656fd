"""The HTTP side: routes under /api, token checks, error answers."""

from __future__ import annotations

import contextlib
import json
from collections.abc import AsyncIterator, Awaitable, Callable
from typing import Any

import sarnic
from starlette.applications import Starlette
from starlette.exceptions import HTTPException
from starlette.middleware import Middleware
from starlette.middleware.cors import CORSMiddleware
from starlette.requests import Request
from starlette.responses import JSONResponse, Response
from starlette.routing import Route

from conduit import auth, queries
from conduit import serializers as out
from conduit.models import ALL, Article, User
from conduit.serializers import ApiError, not_found

MAX_LIMIT = 100


class Json(JSONResponse):
    media_type = "application/json; charset=utf-8"


# -- requests -----------------------------------------------------------------

def db_of(request: Request) -> sarnic.Database:
    return request.app.state.db  # type: ignore[no-any-return]


def _token(request: Request) -> str | None:
    header = request.headers.get("authorization")
    if header is None:
        return None
    scheme, _, token = header.partition(" ")
    if scheme not in ("Token", "Bearer") or not token.strip():
        raise ApiError(401, {"token": ["must be sent as: Authorization: Token <token>"]})
    return token.strip()


async def viewer(request: Request, *, required: bool) -> User | None:
    """The user the token names; a bad token is refused even where none is needed."""
    token = _token(request)
    if token is None:
        if required:
            raise ApiError(401, {"token": ["is missing"]})
        return None
    user_id = auth.token_subject(token, request.app.state.secret)
    found = None if user_id is None else await queries.user_by_id(db_of(request), user_id)
    if found is None:
        raise ApiError(401, {"token": ["is invalid"]})
    return found


async def me(request: Request) -> User:
    found = await viewer(request, required=True)
    assert found is not None
    return found


async def body_of(request: Request, key: str) -> dict[str, Any]:
    try:
        body = json.loads(await request.body() or b"null")
    except ValueError:
        raise ApiError(422, {"body": ["is not valid JSON"]}) from None
    return out.envelope(body, key)


def paging(request: Request) -> tuple[int, int]:
    values = []
    for name, default in (("limit", 20), ("offset", 0)):
        raw = request.query_params.get(name)
        try:
            n = default if raw is None else int(raw)
        except ValueError:
            raise ApiError(422, {name: ["must be an integer"]}) from None
        if n < 0 or (name == "limit" and n > MAX_LIMIT):
            raise ApiError(422, {name: [f"must be between 0 and {MAX_LIMIT}" if name == "limit" else "must be >= 0"]})
        values.append(n)
    return values[0], values[1]


def token_for(request: Request, user: User) -> str:
    return auth.issue_token(user.id, request.app.state.secret)


# -- users --------------------------------------------------------------------

async def register(request: Request) -> Response:
    db = db_of(request)
    doc = out.text_fields(await body_of(request, "user"), ("username", "email", "password"))
    errors = await queries.taken(db, username=doc["username"], email=doc["email"])
    if errors:
        raise ApiError(422, errors)
    try:
        user = await db.fetch_one(User.insert(username=doc["username"], email=doc["email"],
                                              password_hash=await auth.hash_password(doc["password"])))
    except sarnic.IntegrityError:
        raise ApiError(422, await queries.taken(db, username=doc["username"], email=doc["email"])
                       or {"user": ["could not be stored"]}) from None
    return Json(out.user(user, token_for(request, user)), status_code=201)


async def login(request: Request) -> Response:
    doc = out.text_fields(await body_of(request, "user"), ("email", "password"))
    user = await queries.user_by_email(db_of(request), doc["email"])
    if user is None or not await auth.check_password(doc["password"], user.password_hash):
        raise ApiError(401, {"email or password": ["is invalid"]})
    return Json(out.user(user, token_for(request, user)))


async def current_user(request: Request) -> Response:
    user = await me(request)
    return Json(out.user(user, _token(request) or ""))


async def update_user(request: Request) -> Response:
    db = db_of(request)
    user = await me(request)
    doc = out.text_fields(await body_of(request, "user"), (), ("email", "username", "password"), ("bio", "image"))
    if not doc:
        raise ApiError(422, {"user": ["needs at least one of email, username, password, bio, image"]})
    errors = await queries.taken(db, username=doc.get("username"), email=doc.get("email"), other_than=user.id)
    if errors:
        raise ApiError(422, errors)
    if "password" in doc:
        doc["password_hash"] = await auth.hash_password(doc.pop("password"))
    try:
        await db.execute(User.update(**doc).where(User.id == user.id))
    except sarnic.IntegrityError:
        raise ApiError(422, await queries.taken(db, username=doc.get("username"), email=doc.get("email"),
                                                other_than=user.id) or {"user": ["could not be stored"]}) from None
    updated = await queries.user_by_id(db, user.id)
    assert updated is not None
    return Json(out.user(updated, _token(request) or ""))


# -- profiles -----------------------------------------------------------------

async def _profile_user(request: Request) -> User:
    found = await queries.user_by_username(db_of(request), request.path_params["username"])
    if found is None:
        raise not_found("profile")
    return found


async def get_profile(request: Request) -> Response:
    db = db_of(request)
    looker = await viewer(request, required=False)
    user = await _profile_user(request)
    following = await queries.is_following(db, looker.id if looker else None, user.id)
    return Json({"profile": out.profile(user, following)})


async def follow(request: Request) -> Response:
    db = db_of(request)
    looker = await me(request)
    user = await _profile_user(request)
    if request.method == "POST":
        await queries.follow(db, looker.id, user.id)
    else:
        await queries.unfollow(db, looker.id, user.id)
    return Json({"profile": out.profile(user, request.method == "POST")})


# -- articles -----------------------------------------------------------------

async def _article(request: Request, slug: str | None = None) -> Article:
    found = await queries.article_by_slug(db_of(request), slug or request.path_params["slug"])
    if found is None:
        raise not_found("article")
    return found


async def list_articles(request: Request) -> Response:
    db = db_of(request)
    looker = await viewer(request, required=False)
    limit, offset = paging(request)
    params = request.query_params
    rows, total = await queries.list_articles(db, tag=params.get("tag"), author=params.get("author"),
                                              favorited=params.get("favorited"), limit=limit, offset=offset)
    docs = await out.articles(db, looker.id if looker else None, rows, with_body=False)
    return Json({"articles": docs, "articlesCount": total})


async def feed(request: Request) -> Response:
    db = db_of(request)
    looker = await me(request)
    limit, offset = paging(request)
    rows, total = await queries.list_articles(db, feed_of=looker.id, limit=limit, offset=offset)
    return Json({"articles": await out.articles(db, looker.id, rows, with_body=False), "articlesCount": total})


async def create_article(request: Request) -> Response:
    db = db_of(request)
    author = await me(request)
    doc = await body_of(request, "article")
    fields = out.text_fields(doc, ("title", "description", "body"))
    slug = await queries.create_article(db, author.id, fields["title"], fields["description"], fields["body"],
                                        out.tag_list(doc))
    return Json(await out.article(db, author.id, await _article(request, slug)), status_code=201)


async def get_article(request: Request) -> Response:
    looker = await viewer(request, required=False)
    article = await _article(request)
    return Json(await out.article(db_of(request), looker.id if looker else None, article))


async def _own_article(request: Request) -> tuple[User, Article]:
    user = await me(request)
    article = await _article(request)
    if article.author.id != user.id:
        raise ApiError(403, {"article": ["is not yours"]})
    return user, article


async def update_article(request: Request) -> Response:
    db = db_of(request)
    user, article = await _own_article(request)
    changes = out.text_fields(await body_of(request, "article"), (), ("title", "description", "body"))
    if not changes:
        raise ApiError(422, {"article": ["needs at least one of title, description, body"]})
    slug = await queries.update_article(db, article, changes)
    return Json(await out.article(db, user.id, await _article(request, slug)))


async def delete_article(request: Request) -> Response:
    _, article = await _own_article(request)
    await queries.delete_article(db_of(request), article.id)
    return Response(status_code=204)


async def favorite(request: Request) -> Response:
    db = db_of(request)
    user = await me(request)
    article = await _article(request)
    if request.method == "POST":
        await queries.favorite(db, user.id, article.id)
    else:
        await queries.unfavorite(db, user.id, article.id)
    return Json(await out.article(db, user.id, article))


# -- comments -----------------------------------------------------------------

async def add_comment(request: Request) -> Response:
    db = db_of(request)
    user = await me(request)
    article = await _article(request)
    body = out.text_fields(await body_of(request, "comment"), ("body",))["body"]
    comment = await queries.add_comment(db, article.id, user.id, body)
    return Json({"comment": out.comment(comment, user, await queries.is_following(db, user.id, user.id))})


async def list_comments(request: Request) -> Response:
    db = db_of(request)
    looker = await viewer(request, required=False)
    article = await _article(request)
    comments = await queries.comments_of(db, article.id)
    following = await queries.followed_among(db, looker.id if looker else None, (c.author.id for c in comments))
    return Json({"comments": [out.comment(c, c.author, c.author.id in following) for c in comments]})


async def delete_comment(request: Request) -> Response:
    db = db_of(request)
    user = await me(request)
    article = await _article(request)
    try:
        comment_id = int(request.path_params["id"])
    except ValueError:
        raise not_found("comment") from None
    comment = await queries.comment_in(db, article.id, comment_id)
    if comment is None:
        raise not_found("comment")
    if comment.author_id != user.id:
        raise ApiError(403, {"comment": ["is not yours"]})
    await queries.delete_comment(db, comment.id)
    return Response(status_code=204)


async def tags(request: Request) -> Response:
    return Json({"tags": await queries.all_tags(db_of(request))})


# -- the application ----------------------------------------------------------

async def api_error(request: Request, exc: Exception) -> Response:
    assert isinstance(exc, ApiError)
    return Json({"errors": exc.errors}, status_code=exc.status)


async def http_error(request: Request, exc: Exception) -> Response:
    """Unknown paths and methods answer in JSON too."""
    assert isinstance(exc, HTTPException)
    return Json({"errors": {"request": [exc.detail]}}, status_code=exc.status_code, headers=exc.headers)


async def server_error(request: Request, exc: Exception) -> Response:
    # The traceback still reaches the server's log.
    return Json({"errors": {"server": ["internal error"]}}, status_code=500)


def _route(path: str, endpoint: Callable[[Request], Awaitable[Response]], *methods: str) -> Route:
    return Route("/api" + path, endpoint, methods=list(methods))


ROUTES = [
    _route("/users", register, "POST"),
    _route("/users/login", login, "POST"),
    _route("/user", current_user, "GET"),
    _route("/user", update_user, "PUT"),
    _route("/profiles/{username}", get_profile, "GET"),
    _route("/profiles/{username}/follow", follow, "POST", "DELETE"),
    _route("/articles", list_articles, "GET"),
    _route("/articles", create_article, "POST"),
    _route("/articles/feed", feed, "GET"),  # before /articles/{slug}
    _route("/articles/{slug}", get_article, "GET"),
    _route("/articles/{slug}", update_article, "PUT"),
    _route("/articles/{slug}", delete_article, "DELETE"),
    _route("/articles/{slug}/favorite", favorite, "POST", "DELETE"),
    _route("/articles/{slug}/comments", list_comments, "GET"),
    _route("/articles/{slug}/comments", add_comment, "POST"),
    _route("/articles/{slug}/comments/{id}", delete_comment, "DELETE"),
    _route("/tags", tags, "GET"),
]


def create_app(database_url: str, secret: str) -> Starlette:
    @contextlib.asynccontextmanager
    async def lifespan(app: Starlette) -> AsyncIterator[None]:
        async with sarnic.connect(database_url) as db:
            await db.create_tables(*ALL)
            app.state.db = db
            yield

    handlers = {ApiError: api_error, HTTPException: http_error, Exception: server_error}
    app = Starlette(routes=ROUTES, lifespan=lifespan, exception_handlers=handlers,
                    middleware=[Middleware(CORSMiddleware, allow_origins=["*"], allow_methods=["*"],
                                           allow_headers=["*"])])
    app.state.secret = secret
    return app
