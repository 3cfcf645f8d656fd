"""Typed use of relations: test_orm_relations.py checks it with mypy
--strict. Each annotation says what a type checker must infer."""

from __future__ import annotations

from typing import Any

from relation_models import Reader, Staff, Story, Topic, Writer
from sarnic import Select, fields
from sarnic.query.writes import Delete
from sarnic.query.links import LinkChange


def lists(writer: Writer, story: Story, boss: Staff) -> tuple[list[Story], list[Topic], int, str | None]:
    stories: list[Story] = writer.stories
    topics: list[Topic] = story.topics
    readers: list[Reader] = story.readers
    views: int = stories[0].views
    reports: list[Staff] = boss.reports
    manager: Staff | None = boss.manager
    return stories, topics, views + len(readers) + len(reports), None if manager is None else manager.name


def queries(story: Story, topic: Topic) -> tuple[Select[Writer], LinkChange, LinkChange, Delete[Any]]:
    relation: fields.Many[Story] = Writer.stories
    select: Select[Writer] = Writer.select().prefetch(
        relation, Story.select().where(Story.views > 10).order_by(Story.id.desc()).prefetch(Story.topics))
    select = select.prefetch(Writer.stories).where(Writer.id == 1)
    staff: Select[Staff] = Staff.select().prefetch(Staff.manager).prefetch(Staff.reports)
    assert staff is not None
    cleared: Delete[Any] = Story.topics.clear(story)
    return select, Story.topics.add(story, topic), Story.topics.remove(story, topic), cleared
