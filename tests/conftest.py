import os
import sys
from pathlib import Path

import pytest

if os.environ.get("FENWA_TESTS_WITHOUT_ORJSON"):
    # The leak-checking sanitizer run: orjson (which langchain-core's tracing
    # client imports when present) keeps a str it made at import where
    # LeakSanitizer cannot find it. langchain-core works without it, and no test
    # needs it.
    sys.modules["orjson"] = None  # type: ignore[assignment]

try:
    import fenwa_host  # noqa: F401  (installed beside the extension)
except ImportError:
    # A build-tree run (PYTHONPATH=build) has the extension but not the pure-Python
    # package: take it from the source tree.
    sys.path.append(str(Path(__file__).resolve().parent.parent / "python"))

DATA = Path(__file__).resolve().parent / "data"


@pytest.fixture
def data_dir():
    return DATA
