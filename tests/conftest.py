import sys
from pathlib import Path

import pytest

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
