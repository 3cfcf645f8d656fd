"""The tables: users and whom they follow, articles with their tags, favorites and comments.

A relation adds its key column (`author` adds `author_id`); the annotations
beside the relations only tell type checkers so.

Every link row goes with either of its ends (ON DELETE CASCADE), so deleting
an article or a user is one statement."""

from __future__ import annotations

from sarnic import Model, fields


class User(Model):
    id = fields.Int(primary_key=True)
    username = fields.Text(max_length=255, unique=True)
    email = fields.Text(max_length=255, unique=True)
    password_hash = fields.Text()
    bio = fields.Text(null=True)
    image = fields.Text(null=True)

    class Meta:
        table = "users"


class Follow(Model):
    follower = fields.ForeignKey(User, on_delete="cascade")
    followed = fields.ForeignKey(User, on_delete="cascade")
    follower_id: fields.Int[int]
    followed_id: fields.Int[int]

    class Meta:
        table = "follows"
        primary_key = ("follower_id", "followed_id")


class Article(Model):
    id = fields.Int(primary_key=True)
    slug = fields.Text(max_length=255, unique=True)
    title = fields.Text()
    description = fields.Text()
    body = fields.Text()
    author = fields.ForeignKey(User, on_delete="cascade")
    author_id: fields.Int[int]
    created_at = fields.DateTime(index=True)
    updated_at = fields.DateTime()

    class Meta:
        table = "articles"


class Tag(Model):
    id = fields.Int(primary_key=True)
    name = fields.Text(max_length=255, unique=True)

    class Meta:
        table = "tags"


class ArticleTag(Model):
    article = fields.ForeignKey(Article, on_delete="cascade")
    tag = fields.ForeignKey(Tag, on_delete="cascade")
    article_id: fields.Int[int]
    tag_id: fields.Int[int]

    class Meta:
        table = "article_tags"
        primary_key = ("article_id", "tag_id")


class Favorite(Model):
    user = fields.ForeignKey(User, on_delete="cascade")
    article = fields.ForeignKey(Article, on_delete="cascade")
    user_id: fields.Int[int]
    article_id: fields.Int[int]

    class Meta:
        table = "favorites"
        primary_key = ("user_id", "article_id")


class Comment(Model):
    id = fields.Int(primary_key=True)
    body = fields.Text()
    article = fields.ForeignKey(Article, on_delete="cascade")
    author = fields.ForeignKey(User, on_delete="cascade")
    article_id: fields.Int[int]
    author_id: fields.Int[int]
    created_at = fields.DateTime()
    updated_at = fields.DateTime()

    class Meta:
        table = "comments"


ALL = (User, Follow, Article, Tag, ArticleTag, Favorite, Comment)
