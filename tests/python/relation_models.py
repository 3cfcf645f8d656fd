"""Models related by name, declared before the models they name: a writer's
stories (a foreign key and its other side), topics through an automatic
through model, readers through a model of its own, staff managed by staff."""

from __future__ import annotations

from sarnic import Model, fields


class Story(Model):
    id = fields.Int(primary_key=True)
    writer: fields.ForeignKey[Writer | None] = fields.ForeignKey("Writer", null=True, on_delete="cascade")
    writer_id: fields.Int[int | None]  # added by the relation; declared for type checkers
    title = fields.Text()
    views = fields.Int(default=0)
    topics: fields.Many[Topic] = fields.ManyToMany("Topic")
    readers: fields.Many[Reader] = fields.ManyToMany("Reader", through="Favorite")


class Writer(Model):
    id = fields.Int(primary_key=True)
    name = fields.Text()
    stories: fields.Many[Story] = fields.Reverse("Story.writer")


class Topic(Model):
    id = fields.Int(primary_key=True)
    name = fields.Text()


class Reader(Model):
    id = fields.Int(primary_key=True)
    name = fields.Text()
    favorites: fields.Many[Favorite] = fields.Reverse("Favorite.reader")


class Favorite(Model):
    id = fields.Int(primary_key=True)
    story = fields.ForeignKey(Story, on_delete="cascade")
    reader = fields.ForeignKey(Reader)  # restrict: a reader with favorites stays
    stars = fields.Int(default=1)


class Staff(Model):
    id = fields.Int(primary_key=True)
    name = fields.Text()
    manager: fields.ForeignKey[Staff | None] = fields.ForeignKey("Staff", null=True, on_delete="set_null")
    reports: fields.Many[Staff] = fields.Reverse("Staff.manager")


MODELS = (Story, Writer, Topic, Reader, Favorite, Staff)
