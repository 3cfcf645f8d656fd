"""Text match means one thing on every engine: `contains` keeps case,
`icontains` folds it by Unicode rules, the plain-text forms match their text
literally (`%` and `_` included), and a field's full-text match searches that
field alone."""

from __future__ import annotations

from typing import Any

import pytest

import sarnic
from sarnic import FullTextIndex, Model, fields

from .orm_tier import Tier, tier_fixture


class Phrase(Model):
    id = fields.Int(primary_key=True)
    text = fields.Text(max_length=60)

    class Meta:
        table = "tm_phrases"


class Article(Model):
    id = fields.Int(primary_key=True)
    title = fields.Text(max_length=60)
    body = fields.Text(max_length=200)

    class Meta:
        table = "tm_articles"
        full_text = [FullTextIndex("tm_articles_fts", ["title", "body"], config="english")]


TEXTS = ["Hello World", "hello world", "Élan vital", "élan", "100% sure", "100 percent", "a_b", "axb", "back\\slash"]


async def seed(db: sarnic.Database) -> None:
    await db.execute(Phrase.bulk_insert([Phrase(id=i, text=t) for i, t in enumerate(TEXTS, 1)]))
    await db.execute(Article.bulk_insert([Article(id=1, title="Soup", body="Baking bread at home"),
                                          Article(id=2, title="Bread", body="Nothing else"),
                                          Article(id=3, title="C++ tips", body="don't panic")]))


tier = tier_fixture([Phrase, Article], seed)


def texts_of(ids: list[int]) -> list[str]:
    return [TEXTS[i - 1] for i in ids]


@pytest.mark.parametrize(("condition", "expected"), [
    (lambda: Phrase.text.contains("%hello%"), ["hello world"]),
    (lambda: Phrase.text.icontains("%hello%"), ["Hello World", "hello world"]),
    (lambda: Phrase.text.icontains("%ÉLAN%"), ["Élan vital", "élan"]),
    (lambda: Phrase.text.contains("%élan%"), ["élan"]),
    (lambda: Phrase.text.startswith("Hel"), ["Hello World"]),
    (lambda: Phrase.text.istartswith("hel"), ["Hello World", "hello world"]),
    (lambda: Phrase.text.endswith("World"), ["Hello World"]),
    (lambda: Phrase.text.iendswith("WORLD"), ["Hello World", "hello world"]),
    (lambda: Phrase.text.includes("0% s"), ["100% sure"]),
    (lambda: Phrase.text.includes("a_b"), ["a_b"]),
    (lambda: Phrase.text.iincludes("K\\S"), ["back\\slash"]),
    (lambda: ~Phrase.text.includes("o"), ["Élan vital", "élan", "100% sure", "100 percent", "a_b", "axb",
                                          "back\\slash"]),
])
def test_case_and_literal_text_on_every_engine(tier: Tier, condition: Any, expected: list[str]) -> None:
    async def test(db: sarnic.Database) -> list[str]:
        rows = await db.fetch(Phrase.select().where(condition()).order_by(Phrase.id))
        return [r.text for r in rows]

    assert tier.run(test) == expected


@pytest.mark.parametrize(("condition", "expected"), [
    (lambda: Article.title.match("bread"), [2]),
    (lambda: Article.body.match("bread"), [1]),
    (lambda: Article.title.match("c++"), [3]),
    (lambda: Article.body.match("don't panic"), [3]),
    (lambda: Article.body.match_phrase("baking bread"), [1]),
])
def test_full_text_searches_the_field_and_reads_words(tier: Tier, condition: Any, expected: list[int]) -> None:
    async def test(db: sarnic.Database) -> list[int]:
        return [a.id for a in await db.fetch(Article.select().where(condition()).order_by(Article.id))]

    if tier.engine == "mariadb" and expected == [3]:
        pytest.skip("MariaDB's full-text parser drops words of under three letters")
    assert tier.run(test) == expected
