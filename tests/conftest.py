import os
import sys
from pathlib import Path

import pytest

# Nothing reaches a network: openai-agents would otherwise queue traces of the
# scripted runs for export to OpenAI at exit.
os.environ.setdefault("OPENAI_AGENTS_DISABLE_TRACING", "1")

if os.environ.get("FENWA_TESTS_UNDER_LSAN"):
    # The leak-checking sanitizer run keeps out two third-party imports whose
    # import-time allocations LeakSanitizer reports but cannot attribute:
    # - orjson (which langchain-core's tracing client imports when present) keeps a
    #   str it made at import where LeakSanitizer cannot find it; langchain-core
    #   works without it, and no test needs it;
    # - openai-agents imports mcp, which imports cryptography: its Rust and cffi
    #   modules leave type objects whose stacks end inside the interpreter's
    #   allocator, where no suppression can tell them from ours. The openai-agents
    #   tests skip in that run; every other run has them.
    sys.modules["orjson"] = None  # type: ignore[assignment]
    sys.modules["agents"] = None  # type: ignore[assignment]

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
