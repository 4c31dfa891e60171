"""fenwa_host: provider message formats over the fenwa_micro kernels.

Agent hosts keep their history as OpenAI, Anthropic or LangChain message lists.
This package trims those lists, keeps them valid for their provider, and screens
their payloads, using the native kernels of ``fenwa_micro`` for the hot work.
"""

from __future__ import annotations

__all__: list[str] = []
