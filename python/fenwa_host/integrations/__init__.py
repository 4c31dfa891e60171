"""Drop-in context management for the agent frameworks.

One module per framework; each imports its framework only when used:

- `fenwa_host.integrations.openai_agents.input_filter(...)`: a
  `RunConfig(call_model_input_filter=...)` for the OpenAI Agents SDK;
- `fenwa_host.integrations.langchain.ContextMiddleware(...)`: an `AgentMiddleware`
  for LangChain's `create_agent(..., middleware=[...])`;
- `fenwa_host.integrations.langgraph.pre_model_hook(...)`: a node for LangGraph's
  `create_react_agent(..., pre_model_hook=...)`;
- `fenwa_host.integrations.pydantic_ai.ContextCapability(...)`: a capability for
  `pydantic_ai.Agent(..., capabilities=[...])`.

Each takes `max_tokens` and `mode="trim"` or `"conversation"`, plus the options of
`trim` or `Conversation`. A provider's context-overflow error, where the framework
lets the hook see it, makes the integration trim to a smaller budget and retry
once; a second one raises `ContextOverflow`.
"""

from __future__ import annotations

from ._core import ContextOverflow, is_context_overflow

__all__ = ["ContextOverflow", "is_context_overflow"]
