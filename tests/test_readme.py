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


def test_readme_host_figures_hold():
    """The figures quoted in the comments of the fenwa_host section are what runs."""
    blocks = re.findall(r"```python\n(.*?)```", README.read_text(encoding="utf-8"), re.S)
    namespace = {}
    for block in blocks:
        exec(compile(block, str(README), "exec"), namespace)
    r = namespace["r"]
    assert r.messages[3]["content"] == "[tool output elided: 8600 bytes, a repetitive flood]"
    assert tuple(r.decisions[3]) == ("elided", "lowest score while over the budget")
    assert (r.tokens_before, r.tokens_after, r.first_changed) == (2427, 78, 3)
    assert r.consolidation["consolidate"] is True
