"""The graph state of pre_model_hook's conversation mode. Imported only when
asked for (it needs LangGraph); its annotations are evaluated by LangGraph at
run time, so they are real objects here, not strings."""

from typing import Any, Dict, Optional

from langgraph.prebuilt.chat_agent_executor import AgentState  # type: ignore[import-not-found,unused-ignore]
from typing_extensions import NotRequired


class FenwaGraphState(AgentState):  # type: ignore[misc,type-arg,unused-ignore]
    """The prebuilt agent's state with the thread's stored Conversation."""

    fenwa_conversation: NotRequired[Optional[Dict[str, Any]]]
