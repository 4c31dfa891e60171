"""fenwa_host: provider message formats over the fenwa_micro kernels.

Agent hosts keep their history as OpenAI, Anthropic or LangChain message lists.
This package trims those lists, keeps them valid for their provider, and screens
their payloads, using the native kernels of ``fenwa_micro`` for the hot work.
"""

from __future__ import annotations

from fenwa_host.flood import FloodReport, flood_report

__all__: list[str] = ["FloodReport", "flood_report"]
