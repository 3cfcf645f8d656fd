import sys
import warnings
from collections.abc import Iterator
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))

# Newer Starlette asks for the httpx2 fork; httpx serves every version.
warnings.filterwarnings("ignore", "Using `httpx` with `starlette.testclient`")
from starlette.testclient import TestClient  # noqa: E402

from conduit.app import create_app  # noqa: E402


@pytest.fixture
def client(tmp_path: Path) -> Iterator[TestClient]:
    with TestClient(create_app(f"sqlite:///{tmp_path}/conduit.db", "test-secret-" + "x" * 32)) as c:
        yield c
