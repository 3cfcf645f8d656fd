"""The SQL the application queries compile to, per dialect, as the core
writes it through its statement entry point."""

from __future__ import annotations

from typing import Any

import pytest

from orm_models import Author, Category, Post
from sarnic import SarnicCompileError, excluded, exists, fn

Sub = Category.alias()

GOLDEN: list[tuple[str, Any, dict[str, str]]] = [
    ("in lists", lambda: Post.select(Post.id).where(Post.views.in_([1, 2]), Post.author_id.not_in([])), {
        "postgres": 'SELECT "id" FROM "posts" WHERE (("views" = ANY($1::bigint[])) AND ("author_id" <> ALL($2::bigint[])))',
        "mysql": "SELECT `id` FROM `posts` WHERE ((`views` IN (?, ?)) AND (1 = 1))",
        "sqlite": 'SELECT "id" FROM "posts" WHERE (("views" IN (SELECT value FROM json_each(?))) AND '
                  '("author_id" NOT IN (SELECT value FROM json_each(?))))',
        "mssql": "SELECT [id] FROM [posts] WHERE (([views] IN (SELECT value FROM OPENJSON(?))) AND "
                 "([author_id] NOT IN (SELECT value FROM OPENJSON(?))))"}),
    ("exists through an alias", lambda: Category.select(Category.id).where(
        exists(Sub.select().where(Sub.parent_id == Category.id)),
        ~exists(Post.select().where(Post.author_id == Category.id))), {
        "postgres": 'SELECT "category"."id" FROM "category" WHERE (EXISTS (SELECT 1 FROM "category" AS "category_2" '
                    'WHERE "category_2"."parent_id" = "category"."id") AND NOT (EXISTS (SELECT 1 FROM "posts" '
                    'WHERE "posts"."author_id" = "category"."id")))',
        "mysql": "SELECT `category`.`id` FROM `category` WHERE (EXISTS (SELECT 1 FROM `category` AS `category_2` "
                 "WHERE `category_2`.`parent_id` = `category`.`id`) AND NOT (EXISTS (SELECT 1 FROM `posts` "
                 "WHERE `posts`.`author_id` = `category`.`id`)))",
        "mssql": "SELECT [category].[id] FROM [category] WHERE (EXISTS (SELECT 1 FROM [category] AS [category_2] "
                 "WHERE [category_2].[parent_id] = [category].[id]) AND NOT (EXISTS (SELECT 1 FROM [posts] "
                 "WHERE [posts].[author_id] = [category].[id])))"}),
    ("values grouped", lambda: Post.values(Post.author_id, fn.count(), fn.sum(Post.views))
        .where(Post.views > Post.author_id).group_by(Post.author_id).having(fn.count() >= 2)
        .order_by(fn.count().desc())[:10], {
        "postgres": 'SELECT "author_id", COUNT(*), SUM("views") FROM "posts" WHERE "views" > "author_id" '
                    'GROUP BY "author_id" HAVING COUNT(*) >= $1 ORDER BY COUNT(*) DESC LIMIT $2',
        "mysql": "SELECT `author_id`, COUNT(*), SUM(`views`) FROM `posts` WHERE `views` > `author_id` "
                 "GROUP BY `author_id` HAVING COUNT(*) >= ? ORDER BY COUNT(*) DESC LIMIT ?",
        "mssql": "SELECT [author_id], COUNT(*), SUM([views]) FROM [posts] WHERE [views] > [author_id] "
                 "GROUP BY [author_id] HAVING COUNT(*) >= ? ORDER BY COUNT(*) DESC OFFSET ? ROWS FETCH NEXT ? ROWS ONLY"}),
    ("values of a join", lambda: Post.values(Post.id, Author.name).join(Post.author).where(Author.name == "Ann")
        .order_by(Author.name), {
        "sqlite": 'SELECT "posts"."id", "authors"."name" FROM "posts" LEFT JOIN "authors" ON "posts"."author_id" = '
                  '"authors"."id" WHERE "authors"."name" = ? ORDER BY "authors"."name" ASC'}),
    ("upsert", lambda: Author.insert(name="a", email="e").on_conflict(
        Author.email, update={Author.name: excluded(Author.name)}), {
        "postgres": 'INSERT INTO "authors" ("name", "email") VALUES ($1, $2) ON CONFLICT ("email") DO UPDATE SET '
                    '"name" = EXCLUDED."name" RETURNING "id", "name", "email"',
        "mysql": "INSERT INTO `authors` (`name`, `email`) VALUES (?, ?) ON DUPLICATE KEY UPDATE `name` = VALUES(`name`)",
        "sqlite": 'INSERT INTO "authors" ("name", "email") VALUES (?, ?) ON CONFLICT ("email") DO UPDATE SET '
                  '"name" = EXCLUDED."name" RETURNING "id", "name", "email"'}),
    ("upsert doing nothing", lambda: Author.insert(name="a", email="e").on_conflict(Author.email), {
        "postgres": 'INSERT INTO "authors" ("name", "email") VALUES ($1, $2) ON CONFLICT ("email") DO NOTHING '
                    'RETURNING "id", "name", "email"',
        "mysql": "INSERT INTO `authors` (`name`, `email`) VALUES (?, ?) ON DUPLICATE KEY UPDATE `id` = `id`"}),
    ("relative update", lambda: Post.update(views=Post.views + 1).where(Post.id == 7), {
        "mysql": "UPDATE `posts` SET `views` = (`views` + ?) WHERE `id` = ?",
        "sqlite": 'UPDATE "posts" SET "views" = ("views" + ?) WHERE "id" = ? RETURNING "id", "author_id", "title", '
                  '"body", "views", "published_at", "embedding", "tags"'}),
    ("row lock", lambda: Post.select(Post.id).where(Post.views == 0).limit(1).for_update(skip_locked=True), {
        "postgres": 'SELECT "id" FROM "posts" WHERE "views" = $1 LIMIT $2 FOR UPDATE SKIP LOCKED',
        "mysql": "SELECT `id` FROM `posts` WHERE `views` = ? LIMIT ? FOR UPDATE SKIP LOCKED",
        "sqlite": 'SELECT "id" FROM "posts" WHERE "views" = ? LIMIT ?',
        "mssql": "SELECT [id] FROM [posts] WITH (UPDLOCK, ROWLOCK, READPAST) WHERE [views] = ? "
                 "ORDER BY (SELECT NULL) OFFSET ? ROWS FETCH NEXT ? ROWS ONLY"}),
]


@pytest.mark.parametrize("build, expected", [g[1:] for g in GOLDEN], ids=[g[0] for g in GOLDEN])
def test_golden_sql(build: Any, expected: dict[str, str]) -> None:
    for dialect, sql in expected.items():
        assert build().sql(dialect).sql == sql, dialect


def test_upserts_do_not_compile_for_sql_server() -> None:
    with pytest.raises(SarnicCompileError, match="on_conflict is not supported on mssql"):
        Author.insert(name="a").on_conflict(Author.email).sql("mssql")


@pytest.mark.parametrize("dialect", ["postgres", "sqlite", "mssql"])
def test_a_list_is_one_value_whatever_its_length(dialect: str) -> None:
    short, long = (Post.select().where(Post.id.in_(range(n))).sql(dialect) for n in (3, 100_000))
    assert (short.sql, short.fingerprint) == (long.sql, long.fingerprint)
    assert long.params == (list(range(100_000)),) and long.labels == ("id:in",)


def test_mysql_binds_each_element_and_reads_an_empty_list_as_false() -> None:
    compiled = Post.select(Post.id).where(Post.published_at.in_([])).sql("mysql")
    assert compiled.sql == "SELECT `id` FROM `posts` WHERE (1 = 0)" and compiled.params == ()
    import datetime as dt

    when = dt.datetime(2024, 1, 1, tzinfo=dt.timezone.utc)
    listed = Post.select(Post.id).where(Post.published_at.in_([when, when])).sql("mysql")
    assert listed.params == (when, when) and listed.labels == ("published_at:in",) * 2


def test_params_come_back_as_the_fields_python_values() -> None:
    import decimal
    import uuid

    from orm_models import Everything

    u = uuid.UUID(int=5)
    compiled = Everything.select().where(Everything.uid.in_([u]), Everything.amount == Everything.amount + 1,
                                         Everything.amount.not_in([decimal.Decimal("1.5")])).sql("postgres")
    assert compiled.params == ([u], decimal.Decimal(1), [decimal.Decimal("1.5")])
    assert compiled.labels == ("uid:in", "amount:add", "amount:not_in")
