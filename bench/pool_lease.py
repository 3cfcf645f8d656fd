"""What one lease of an idle pooled connection costs: acquire and release,
no statement, on each backend whose server answers (medians of rounds).

    .venv/bin/python bench/pool_lease.py [postgresql://... mariadb://... sqlite:///...]
"""

from __future__ import annotations

import asyncio
import statistics
import sys
import tempfile
import time

import sarnic

ROUNDS, LEASES = 15, 5000


async def lease_cost(url: str) -> float:
    async with sarnic.connect(url, min_size=1, max_size=4) as db:
        backend = db._backend
        acquire, release = backend.acquire, backend.release
        rounds = []
        for _ in range(ROUNDS):
            start = time.perf_counter()
            for _ in range(LEASES):
                conn = await acquire()
                await release(conn)
            rounds.append((time.perf_counter() - start) / LEASES)
        return statistics.median(rounds) * 1e6


async def main(urls: list[str]) -> None:
    for url in urls:
        try:
            micros = await lease_cost(url)
        except (OSError, sarnic.OperationalError) as exc:
            print(f"{url}: not measured ({exc})")
            continue
        print(f"{url.partition('://')[0]:12} {micros:6.2f} us per lease")


if __name__ == "__main__":
    default = ["postgresql://postgres@127.0.0.1:5432/test", "mariadb://root@127.0.0.1:3306/test",
               f"sqlite:///{tempfile.mkdtemp()}/lease.db"]
    asyncio.run(main(sys.argv[1:] or default))
