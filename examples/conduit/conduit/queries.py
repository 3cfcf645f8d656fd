"""Every database access of the app. Each look-up that a page of articles or
comments needs is one function here, answering for the whole page at once."""

from __future__ import annotations

import datetime as dt
import re
import secrets
from collections.abc import Iterable, Iterator, Sequence
from typing import Any

from sarnic import Condition, Database, IntegrityError, Values, fn

from conduit.models import Article, ArticleTag, Comment, Favorite, Follow, Tag, User

#: what an article list carries: every field but the body
LIST_FIELDS = (Article.id, Article.slug, Article.title, Article.description, Article.created_at, Article.updated_at)
AUTHOR_FIELDS = (User.username, User.bio, User.image)

def now() -> dt.datetime:
    return dt.datetime.now(dt.timezone.utc)


# -- users and follows ------------------------------------------------------

async def user_by_id(db: Database, user_id: int) -> User | None:
    return await db.get(User, user_id)


async def user_by_username(db: Database, username: str) -> User | None:
    return await db.fetch_one(User.select().where(User.username == username))


async def user_by_email(db: Database, email: str) -> User | None:
    return await db.fetch_one(User.select().where(User.email == email))


async def taken(db: Database, *, username: str | None = None, email: str | None = None,
                other_than: int | None = None) -> dict[str, list[str]]:
    """The errors of a username or email that another user already has."""
    errors: dict[str, list[str]] = {}
    for name, field, value in (("username", User.username, username), ("email", User.email, email)):
        if value is None:
            continue
        q = User.select(User.id).where(field == value)
        if other_than is not None:
            q = q.where(User.id != other_than)
        if await db.exists(q):
            errors[name] = ["has already been taken"]
    return errors


async def is_following(db: Database, viewer_id: int | None, user_id: int) -> bool:
    if viewer_id is None:
        return False
    return await db.exists(Follow.select().where(Follow.follower_id == viewer_id, Follow.followed_id == user_id))


async def followed_among(db: Database, viewer_id: int | None, user_ids: Iterable[int]) -> set[int]:
    """Which of these users the viewer follows."""
    ids = sorted(set(user_ids))
    if viewer_id is None or not ids:
        return set()
    return set(await db.scalars(Follow.values(Follow.followed_id)
                                .where(Follow.follower_id == viewer_id, Follow.followed_id.in_(ids))))


def followed_ids(viewer_id: int) -> Values[tuple[int]]:
    """Everyone the viewer follows (the feed's authors), as a subquery."""
    return Follow.values(Follow.followed_id).where(Follow.follower_id == viewer_id)


async def follow(db: Database, follower_id: int, followed_id: int) -> None:
    """Insert the pair unless it is there; a concurrent insert of the same pair is no error."""
    await db.execute(Follow.insert(follower_id=follower_id, followed_id=followed_id)
                     .on_conflict(Follow.follower_id, Follow.followed_id))


async def unfollow(db: Database, follower_id: int, followed_id: int) -> None:
    await db.execute(Follow.delete().where(Follow.follower_id == follower_id, Follow.followed_id == followed_id))


# -- tags -------------------------------------------------------------------

async def tags_of(db: Database, article_ids: Iterable[int]) -> dict[int, list[str]]:
    """The sorted tag names of each article."""
    ids = sorted(set(article_ids))
    out: dict[int, list[str]] = {i: [] for i in ids}
    if not ids:
        return out
    rows = await db.fetch(ArticleTag.values(ArticleTag.article_id, Tag.name).join(ArticleTag.tag)
                          .where(ArticleTag.article_id.in_(ids)).order_by(Tag.name))
    for article_id, name in rows:
        out[article_id].append(name)
    return out


async def tag_ids(db: Database, names: Sequence[str]) -> list[int]:
    """The ids of these tag names, creating the ones that are new."""
    if not names:
        return []
    await db.execute(Tag.bulk_insert([{"name": n} for n in dict.fromkeys(names)]).on_conflict(Tag.name))
    found = dict(await db.fetch(Tag.values(Tag.name, Tag.id).where(Tag.name.in_(names))))
    for name in names:
        if name not in found:  # a case-blind collation (MariaDB) stores it under another spelling
            tag_id = await db.scalar(Tag.values(Tag.id).where(Tag.name == name))
            if tag_id is None:
                raise IntegrityError(f"tag {name!r} was neither stored nor found")
            found[name] = tag_id
    return [found[n] for n in names]


async def all_tags(db: Database) -> list[str]:
    return [t.name for t in await db.fetch(Tag.select(Tag.name).order_by(Tag.name))]


def articles_tagged(name: str) -> Values[tuple[int]]:
    """The articles tagged so, as a subquery."""
    return ArticleTag.values(ArticleTag.article_id).where(ArticleTag.tag_id.in_(Tag.values(Tag.id).where(Tag.name == name)))


# -- favorites --------------------------------------------------------------

async def favorite_counts(db: Database, article_ids: Iterable[int]) -> dict[int, int]:
    ids = sorted(set(article_ids))
    if not ids:
        return {}
    counts = dict(await db.fetch(Favorite.values(Favorite.article_id, fn.count())
                                 .where(Favorite.article_id.in_(ids)).group_by(Favorite.article_id)))
    return {i: counts.get(i, 0) for i in ids}


async def favorited_among(db: Database, viewer_id: int | None, article_ids: Iterable[int]) -> set[int]:
    """Which of these articles the viewer has favorited."""
    ids = sorted(set(article_ids))
    if viewer_id is None or not ids:
        return set()
    return set(await db.scalars(Favorite.values(Favorite.article_id)
                                .where(Favorite.user_id == viewer_id, Favorite.article_id.in_(ids))))


def favorites_of(username: str) -> Values[tuple[int]]:
    """The articles this user favorited, as a subquery."""
    return Favorite.values(Favorite.article_id).join(Favorite.user).where(User.username == username)


async def favorite(db: Database, user_id: int, article_id: int) -> None:
    await db.execute(Favorite.insert(user_id=user_id, article_id=article_id)
                     .on_conflict(Favorite.user_id, Favorite.article_id))


async def unfavorite(db: Database, user_id: int, article_id: int) -> None:
    await db.execute(Favorite.delete().where(Favorite.user_id == user_id, Favorite.article_id == article_id))


# -- articles ---------------------------------------------------------------

def slugify(title: str) -> str:
    return re.sub(r"[\W_]+", "-", title.lower()).strip("-") or "article"


async def article_by_slug(db: Database, slug: str) -> Article | None:
    return await db.fetch_one(Article.select().join(Article.author, *AUTHOR_FIELDS).where(Article.slug == slug))


async def list_articles(db: Database, *, tag: str | None = None, author: str | None = None,
                        favorited: str | None = None, feed_of: int | None = None,
                        limit: int = 20, offset: int = 0) -> tuple[list[Article], int]:
    """A page of articles, newest first, and how many match in all. The
    filters narrow which articles are listed, never the tags loaded for them."""
    conditions: list[Condition] = []
    if author is not None:
        conditions.append(Article.author_id.in_(User.values(User.id).where(User.username == author)))
    if tag is not None:
        conditions.append(Article.id.in_(articles_tagged(tag)))
    if favorited is not None:
        conditions.append(Article.id.in_(favorites_of(favorited)))
    if feed_of is not None:
        conditions.append(Article.author_id.in_(followed_ids(feed_of)))
    q = Article.select(*LIST_FIELDS).join(Article.author, *AUTHOR_FIELDS).where(*conditions)
    total = await db.count(q)
    if total == 0:
        return [], 0
    page = await db.fetch(q.order_by(Article.created_at.desc(), Article.id.desc()).limit(limit).offset(offset))
    return page, total


async def create_article(db: Database, author_id: int, title: str, description: str, body: str,
                         tags: Sequence[str]) -> str:
    """Store the article with its tags in one transaction; its slug."""
    stamp = now()
    async with db.transaction():
        ids = await tag_ids(db, tags)
        article = None
        for slug in _slugs(title):
            try:
                async with db.transaction():
                    article = await db.fetch_one(Article.insert(
                        slug=slug, title=title, description=description, body=body, author_id=author_id,
                        created_at=stamp, updated_at=stamp))
                break
            except IntegrityError:
                if not await db.exists(Article.select(Article.id).where(Article.slug == slug)):
                    raise
        assert article is not None
        if ids:
            # dict.fromkeys: names a case-blind collation (MariaDB) holds as one tag
            await db.execute(ArticleTag.bulk_insert([{"article_id": article.id, "tag_id": t}
                                                     for t in dict.fromkeys(ids)]))
    return article.slug


def _slugs(title: str) -> Iterator[str]:
    """The title's slug, then that slug with random suffixes, for as long as they are taken."""
    base = slugify(title)
    yield base
    for _ in range(8):
        yield f"{base}-{secrets.token_hex(3)}"
    raise IntegrityError(f"no free slug for {title!r}")


async def update_article(db: Database, article: Article, changes: dict[str, str]) -> str:
    """Apply the changes (a new title brings a new slug); the article's slug after it."""
    values: dict[str, Any] = {**changes, "updated_at": now()}
    if "title" not in changes or slugify(changes["title"]) == slugify(article.title):
        await db.execute(Article.update(**values).where(Article.id == article.id))
        return article.slug
    for slug in _slugs(changes["title"]):
        try:
            async with db.transaction():
                await db.execute(Article.update(**values, slug=slug).where(Article.id == article.id))
            return slug
        except IntegrityError:
            if not await db.exists(Article.select(Article.id).where(Article.slug == slug, Article.id != article.id)):
                raise
    raise AssertionError("unreachable")


async def delete_article(db: Database, article_id: int) -> None:
    # Comments, favorites and tag links go with it (ON DELETE CASCADE).
    await db.execute(Article.delete().where(Article.id == article_id))


# -- comments ---------------------------------------------------------------

async def comments_of(db: Database, article_id: int) -> list[Comment]:
    return await db.fetch(Comment.select().join(Comment.author, *AUTHOR_FIELDS)
                          .where(Comment.article_id == article_id).order_by(Comment.id))


async def add_comment(db: Database, article_id: int, author_id: int, body: str) -> Comment:
    stamp = now()
    comment = await db.fetch_one(Comment.insert(body=body, article_id=article_id, author_id=author_id,
                                                created_at=stamp, updated_at=stamp))
    return comment


async def comment_in(db: Database, article_id: int, comment_id: int) -> Comment | None:
    return await db.fetch_one(Comment.select().where(Comment.id == comment_id, Comment.article_id == article_id))


async def delete_comment(db: Database, comment_id: int) -> None:
    await db.execute(Comment.delete().where(Comment.id == comment_id))
