"""The agent state of ContextMiddleware's conversation mode. Imported only when
the middleware is built (it needs LangChain); its annotations are evaluated by
LangChain at run time, so they are real objects here, not strings."""

from typing import Any, Dict, Optional

from langchain.agents.middleware import AgentState  # type: ignore[import-not-found,unused-ignore]
from typing_extensions import NotRequired


class FenwaAgentState(AgentState):  # type: ignore[misc,type-arg,unused-ignore]
    """The agent state with the thread's stored Conversation."""

    fenwa_conversation: NotRequired[Optional[Dict[str, Any]]]
