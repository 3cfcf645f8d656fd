"""The three engines: where each is, a database of the bench's own on it, and
the runner's own connection for DDL, seeding, resets and checks.

PostgreSQL and MariaDB are the servers of the db test tier (SARNIC_TEST_POSTGRES
and SARNIC_TEST_MARIADB as host:port move them); on each the bench creates a
database of its own and drops it at the end. SQLite is a file in a temporary
folder (in memory-backed /dev/shm where there is one, so that no disk flush is
timed), in WAL mode, shared by every peer.
"""

from __future__ import annotations

import os
import shutil
import socket
import sqlite3
import tempfile
from dataclasses import dataclass, field
from typing import Any

import dataset

# Another name lets two runs share a server.
DATABASE = os.environ.get("SARNIC_BENCH_DATABASE", "sarnic_bench_orm")


def _address(variable: str, default: tuple[str, int]) -> tuple[str, int]:
    host, _, port = os.environ.get(variable, "").rpartition(":")
    return (host, int(port)) if host and port else default


PG_ADDR = _address("SARNIC_TEST_POSTGRES", ("127.0.0.1", 5432))
MARIADB_ADDR = _address("SARNIC_TEST_MARIADB", ("127.0.0.1", 3306))


@dataclass
class Engine:
    name: str  # postgres, mariadb, sqlite
    host: str = ""
    port: int = 0
    user: str = ""
    database: str = DATABASE
    path: str = ""  # SQLite's file
    server: str = ""  # the server's version, once open
    _folder: str = field(default="", repr=False)
    _admin: Any = field(default=None, repr=False)

    @property
    def sarnic_url(self) -> str:
        if self.name == "sqlite":
            return f"sqlite:///{self.path}"
        scheme = "postgresql" if self.name == "postgres" else "mariadb"
        return f"{scheme}://{self.user}@{self.host}:{self.port}/{self.database}"

    # -- the bench's database ------------------------------------------------

    def unreachable(self) -> str | None:
        """Why the engine cannot be benchmarked here, if it cannot."""
        if self.name == "sqlite":
            return None
        try:
            with socket.create_connection((self.host, self.port), timeout=2):
                return None
        except OSError as exc:
            return f"server not reachable at {self.host}:{self.port} ({exc})"

    async def create(self) -> None:
        """A new database holding the schema and the seeded rows."""
        if self.name == "postgres":
            import asyncpg

            admin = await asyncpg.connect(host=self.host, port=self.port, user=self.user, database="test")
            try:
                await admin.execute(f"DROP DATABASE IF EXISTS {DATABASE} WITH (FORCE)")
                await admin.execute(f"CREATE DATABASE {DATABASE}")
                # Commits wait for no disk flush in this database: the flush
                # time of a shared disk would drown the ORMs' in the writes.
                await admin.execute(f"ALTER DATABASE {DATABASE} SET synchronous_commit = off")
            finally:
                await admin.close()
            self._admin = await asyncpg.connect(host=self.host, port=self.port, user=self.user,
                                                database=DATABASE, server_settings={"timezone": "UTC"})
            self.server = "PostgreSQL " + await self._admin.fetchval("SHOW server_version")
        elif self.name == "mariadb":
            import asyncmy

            self._admin = await asyncmy.connect(host=self.host, port=self.port, user=self.user, autocommit=True,
                                                charset="utf8mb4", init_command="SET time_zone = '+00:00'")
            # Left by a run that was killed; asked first, as the driver logs a note when there is none.
            if await self.value("SELECT COUNT(*) FROM information_schema.SCHEMATA WHERE SCHEMA_NAME = $1", DATABASE):
                await self.run(f"DROP DATABASE {DATABASE}")
            await self.run(f"CREATE DATABASE {DATABASE} CHARACTER SET utf8mb4")
            await self.run(f"USE {DATABASE}")
            self.server = "MariaDB " + str(await self.value("SELECT VERSION()")).split("-")[0]
        else:
            import aiosqlite

            base = "/dev/shm" if os.path.isdir("/dev/shm") and os.access("/dev/shm", os.W_OK) else None
            self._folder = tempfile.mkdtemp(prefix="sarnic-bench-orm-", dir=base)
            self.path = os.path.join(self._folder, "bench.db")
            self._admin = await aiosqlite.connect(self.path, isolation_level=None)
            await self.run("PRAGMA journal_mode = WAL")
            await self.run("PRAGMA foreign_keys = ON")
            self.server = "SQLite " + sqlite3.sqlite_version
        for statement in dataset.DDL[self.name]:
            await self.run(statement)
        await self._seed()

    async def drop(self) -> None:
        admin, self._admin = self._admin, None
        if self.name == "postgres":
            import asyncpg

            if admin is not None:
                await admin.close()
            admin = await asyncpg.connect(host=self.host, port=self.port, user=self.user, database="test")
            try:
                await admin.execute(f"DROP DATABASE IF EXISTS {DATABASE} WITH (FORCE)")
            finally:
                await admin.close()
        elif self.name == "mariadb":
            if admin is not None:
                async with admin.cursor() as cur:
                    await cur.execute(f"DROP DATABASE {DATABASE}")
                await admin.ensure_closed()
        else:
            if admin is not None:
                await admin.close()
            if self._folder:
                shutil.rmtree(self._folder, ignore_errors=True)

    # -- the runner's statements ---------------------------------------------

    def sql(self, text: str) -> str:
        """A statement written with $1, $2...: in the engine's placeholders."""
        if self.name == "postgres":
            return text
        mark = "?"
        if self.name == "mariadb":
            # The driver formats the text with % when it binds values.
            text, mark = text.replace("%", "%%"), "%s"
        for n in range(9, 0, -1):
            text = text.replace(f"${n}", mark)
        return text

    async def run(self, text: str, *args: Any) -> int:
        text = self.sql(text)
        if self.name == "postgres":
            status = await self._admin.execute(text, *args)
            last = status.rpartition(" ")[2]
            return int(last) if last.isdigit() else 0
        if self.name == "mariadb":
            async with self._admin.cursor() as cur:
                return int(await cur.execute(text, args))
        cursor = await self._admin.execute(text, args)
        count = cursor.rowcount
        await cursor.close()
        return int(count)

    async def value(self, text: str, *args: Any) -> Any:
        text = self.sql(text)
        if self.name == "postgres":
            return await self._admin.fetchval(text, *args)
        if self.name == "mariadb":
            async with self._admin.cursor() as cur:
                await cur.execute(text, args)
                row = await cur.fetchone()
        else:
            async with self._admin.execute(text, args) as cursor:
                row = await cursor.fetchone()
        return None if row is None else row[0]

    async def _seed(self) -> None:
        authors = [dataset.seeded_author(i) for i in range(1, dataset.AUTHORS + 1)]
        posts = []
        for i in range(1, dataset.SEEDED_POSTS + 1):
            row = dataset.seeded_post(i)
            posts.append((*row[:6], dataset.stored_time(self.name, row[6])))
        tags = [dataset.seeded_tag(i) for i in range(1, dataset.TAGS + 1)]
        links = dataset.seeded_links()
        if self.name == "postgres":
            await self._admin.copy_records_to_table("authors", records=authors)
            await self._admin.copy_records_to_table("posts", records=posts)
            await self._admin.copy_records_to_table("tags", records=tags)
            await self._admin.copy_records_to_table("post_tags", records=links)
            await self.run("SELECT setval('authors_id_seq', $1)", dataset.AUTHORS)
            await self.run("SELECT setval('posts_id_seq', $1)", dataset.SEEDED_POSTS)
            await self.run("SELECT setval('tags_id_seq', $1)", dataset.TAGS)
            await self.run("ANALYZE")
            return
        author_sql = self.sql("INSERT INTO authors (id, name, email) VALUES ($1, $2, $3)")
        post_sql = self.sql("INSERT INTO posts (id, author_id, title, body, views, published, created_at) "
                            "VALUES ($1, $2, $3, $4, $5, $6, $7)")
        tag_sql = self.sql("INSERT INTO tags (id, name) VALUES ($1, $2)")
        link_sql = self.sql("INSERT INTO post_tags (post_id, tag_id) VALUES ($1, $2)")
        if self.name == "mariadb":
            async with self._admin.cursor() as cur:
                await cur.executemany(author_sql, authors)
                for i in range(0, len(posts), 2000):
                    await cur.executemany(post_sql, posts[i: i + 2000])
                await cur.executemany(tag_sql, tags)
                for i in range(0, len(links), 5000):
                    await cur.executemany(link_sql, links[i: i + 5000])
                await cur.execute("ANALYZE TABLE authors, posts, tags, post_tags")
                await cur.fetchall()
        else:
            await self.run("BEGIN")
            await self._admin.executemany(author_sql, authors)
            await self._admin.executemany(post_sql, posts)
            await self._admin.executemany(tag_sql, tags)
            await self._admin.executemany(link_sql, links)
            await self.run("COMMIT")
            await self.run("ANALYZE")

    async def forget_inserted(self) -> None:
        """Workloads 5 and 6 leave the posts as they were seeded."""
        await self._delete_new_posts()
        await self._vacuum()

    async def _delete_new_posts(self) -> None:
        # Only seeded posts have tags: PostgreSQL's check of post_tags for each
        # deleted post (0.2 s for 10,000, after every batch) is skipped where the
        # role may.
        if self.name == "postgres" and await self._admin.fetchval("SELECT rolsuper FROM pg_roles "
                                                                  "WHERE rolname = current_user"):
            async with self._admin.transaction():
                await self.run("SET LOCAL session_replication_role = replica")
                await self.run("DELETE FROM posts WHERE id > $1", dataset.SEEDED_POSTS)
        else:
            await self.run("DELETE FROM posts WHERE id > $1", dataset.SEEDED_POSTS)

    async def restore_views(self) -> None:
        """Workload 7 leaves the views as they were seeded."""
        await self.run("UPDATE posts SET views = (id * 7919) % 1000 WHERE author_id = $1 AND id <= $2",
                       dataset.UPDATE_AUTHOR, dataset.UPDATE_MAX_ID)
        await self._vacuum()

    async def forget_upserts(self) -> None:
        """Workload 11 leaves the posts as they were seeded: new ones deleted,
        the seeded ones' titles and views put back."""
        title = "CONCAT('Post ', id)" if self.name == "mariadb" else "'Post ' || id"
        await self._delete_new_posts()
        await self.run(f"UPDATE posts SET title = {title}, views = (id * 7919) % 1000 WHERE id % $1 = 0 AND id <= $2",
                       dataset.UPSERT_EVERY, dataset.UPSERT_EVERY * dataset.UPSERTED // 2)
        await self._vacuum()

    async def restore_incremented(self) -> None:
        """Workload 12 leaves the views as they were seeded."""
        await self.run("UPDATE posts SET views = (id * 7919) % 1000 WHERE id % $1 = 0", dataset.INCREMENT_EVERY)
        await self._vacuum()

    async def _vacuum(self) -> None:
        # The dead rows a batch left are cleared now, not whenever autovacuum
        # comes round in the middle of another peer's batch.
        if self.name == "postgres":
            await self.run("VACUUM posts")

    async def check_seed(self) -> None:
        """The seed as the workloads expect it, before each workload's check."""
        got = (await self.value("SELECT COUNT(*) FROM posts"), await self.value("SELECT SUM(views) FROM posts"),
               await self.value("SELECT COUNT(*) FROM posts WHERE title LIKE $1", "Upserted%"),
               await self.value("SELECT COUNT(*) FROM post_tags"))
        want = (dataset.SEEDED_POSTS, sum(dataset.post_views(i) for i in range(1, dataset.SEEDED_POSTS + 1)), 0,
                len(dataset.seeded_links()))
        if tuple(int(v) for v in got) != want:
            raise SystemExit(f"bench-orm: the {self.name} seed drifted: {got}, not {want}")


def all_engines() -> dict[str, Engine]:
    return {
        "postgres": Engine("postgres", host=PG_ADDR[0], port=PG_ADDR[1], user="postgres"),
        "mariadb": Engine("mariadb", host=MARIADB_ADDR[0], port=MARIADB_ADDR[1], user="root"),
        "sqlite": Engine("sqlite"),
    }
