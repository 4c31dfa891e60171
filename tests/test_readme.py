"""The README's code snippets run as written."""
import re
from pathlib import Path

README = Path(__file__).resolve().parent.parent / "README.md"


def test_readme_snippets_run():
    blocks = re.findall(r"```python\n(.*?)```", README.read_text(encoding="utf-8"), re.S)
    assert blocks
    namespace = {}
    for block in blocks:
        exec(compile(block, str(README), "exec"), namespace)
    assert namespace["w"].reduction_ratio() > 0
    assert namespace["bus"].snapshot()[:2] == [0.44999998807907104, 0.8999999761581421]
