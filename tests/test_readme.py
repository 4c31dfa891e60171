"""The README's code snippets run as written."""
import re
from pathlib import Path

import pytest

README = Path(__file__).resolve().parent.parent / "README.md"


def _framework(block):
    """The module a framework snippet needs (its first line: "# needs: module"), or None."""
    first = block.split("\n", 1)[0]
    return first[len("# needs: "):].strip() if first.startswith("# needs: ") else None


def _plain_blocks():
    blocks = re.findall(r"```python\n(.*?)```", README.read_text(encoding="utf-8"), re.S)
    return [b for b in blocks if _framework(b) is None]


def test_readme_snippets_run():
    blocks = _plain_blocks()
    assert blocks
    namespace = {}
    for block in blocks:
        exec(compile(block, str(README), "exec"), namespace)
    assert namespace["w"].reduction_ratio() > 0
    assert namespace["bus"].snapshot()[:2] == [0.44999998807907104, 0.8999999761581421]


def test_readme_host_figures_hold():
    """The figures quoted in the comments of the fenwa_host section are what runs."""
    blocks = _plain_blocks()
    namespace = {}
    for block in blocks:
        exec(compile(block, str(README), "exec"), namespace)
    r = namespace["r"]
    assert r.messages[3]["content"] == "[tool output elided: 8600 bytes, a repetitive flood]"
    assert tuple(r.decisions[3]) == ("elided", "lowest score while over the budget")
    assert (r.tokens_before, r.tokens_after, r.first_changed) == (2318, 81, 3)
    assert r.consolidation["consolidate"] is True


FRAMEWORK_BLOCKS = [
    b for b in re.findall(r"```python\n(.*?)```", README.read_text(encoding="utf-8"), re.S) if _framework(b)
]


@pytest.mark.parametrize("block", FRAMEWORK_BLOCKS, ids=[_framework(b) for b in FRAMEWORK_BLOCKS])
def test_readme_framework_snippets_run(block):
    """Each framework snippet builds its agent and the agent runs one offline turn."""
    module = _framework(block)
    pytest.importorskip(module)
    from langchain_core.language_models.fake_chat_models import FakeMessagesListChatModel
    from langchain_core.messages import AIMessage

    class Model(FakeMessagesListChatModel):
        def bind_tools(self, tools, **kwargs):
            return self

    namespace = {"model": Model(responses=[AIMessage("hello")]), "tools": []}
    exec(compile(block, str(README), "exec"), namespace)
    question = {"messages": [{"role": "user", "content": "hi"}]}
    if "agent" in namespace:
        assert namespace["agent"].invoke(question)["messages"][-1].content == "hello"
    elif "graph" in namespace:
        assert namespace["graph"].invoke(question)["messages"][-1].content == "hello"
    elif "helper" in namespace:
        assert namespace["helper"].run_sync("hi").output
    else:
        from agents import Agent, Runner
        from agents.testing import ScriptedModel, assistant_message

        agent = Agent(name="helper", model=ScriptedModel([[assistant_message("hello")]]))
        result = Runner.run_sync(agent, "hi", run_config=namespace["config"], hooks=namespace["hooks"])
        assert result.final_output == "hello"
