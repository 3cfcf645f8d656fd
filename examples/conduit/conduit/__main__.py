"""`python -m conduit`: serve the API, configured by the environment.

CONDUIT_DATABASE_URL  any sarnic URL (default sqlite:///conduit.db)
CONDUIT_HOST          default 127.0.0.1
CONDUIT_PORT          default 8000
CONDUIT_SECRET        the token key (random per start when unset: tokens die with the process)
CONDUIT_SQL_LOG       a file that receives one line per SQL statement (logger sarnic.sql)
"""

from __future__ import annotations

import logging
import os
import secrets

import uvicorn

from conduit.app import create_app


def main() -> None:
    env = os.environ
    sql_log = env.get("CONDUIT_SQL_LOG")
    if sql_log:
        handler = logging.FileHandler(sql_log)
        handler.setFormatter(logging.Formatter("%(asctime)s %(message)s"))
        logger = logging.getLogger("sarnic.sql")
        logger.addHandler(handler)
        logger.setLevel(logging.DEBUG)
    app = create_app(env.get("CONDUIT_DATABASE_URL", "sqlite:///conduit.db"),
                     env.get("CONDUIT_SECRET") or secrets.token_urlsafe(32))
    uvicorn.run(app, host=env.get("CONDUIT_HOST", "127.0.0.1"), port=int(env.get("CONDUIT_PORT", "8000")),
                log_level=env.get("CONDUIT_LOG_LEVEL", "info"))


if __name__ == "__main__":
    main()
