"""fenwa_host: provider message formats over the fenwa_micro kernels.

Agent hosts keep their history as OpenAI, Anthropic or LangChain message lists.
This package trims those lists, keeps them valid for their provider, and screens
their payloads, using the native kernels of ``fenwa_micro`` for the hot work.
"""

from __future__ import annotations

from .conversation import Conversation
from .flood import FloodReport, flood_report
from .formats import IMAGE_TOKENS, MessageView, detect_format
from . import pydantic_ai_messages as _pydantic_ai_messages  # registers the "pydantic-ai" format
from .reasoning import ANTHROPIC_THINKING_BUDGET, OPENAI_REASONING_EFFORT, reasoning_params
from .tokens import count_tokens, estimate_tokens, token_counter
from .trim import Decision, TrimResult, trim, validate

__all__: list[str] = [
    "ANTHROPIC_THINKING_BUDGET",
    "IMAGE_TOKENS",
    "OPENAI_REASONING_EFFORT",
    "Conversation",
    "Decision",
    "FloodReport",
    "MessageView",
    "TrimResult",
    "count_tokens",
    "detect_format",
    "estimate_tokens",
    "flood_report",
    "reasoning_params",
    "token_counter",
    "trim",
    "validate",
]
