"""The adapter for pydantic-ai's messages: `ModelRequest` and `ModelResponse`.

Duck-typed on `kind` ("request" / "response") and each part's `part_kind`, so
reading a history needs no pydantic-ai import. Decisions are made per part:

- request parts: `system-prompt` (the message is pinned as a system message),
  `user-prompt` (text, and media counted at `image_tokens`), `tool-return` and a
  `retry-prompt` that names a tool (results, answering their call's
  `tool_call_id`), `retry-feedback` (text);
- response parts: `text`, `thinking` (the message holds thinking), `tool-call`
  (a call: its name and args), `builtin-tool-call` / `builtin-tool-return` (the
  provider's own tools, called and answered inside the response: counted, never
  paired), `file` (an attachment);
- any other part kind is counted by its content (or its repr) and kept.

Copies are made with `dataclasses.replace`, never by mutation: an elided result
is the same part with its content replaced by the placeholder.
"""

from __future__ import annotations

import dataclasses
import json
from typing import Any, FrozenSet, List, Optional, Sequence, Tuple

import fenwa_micro as fm

from .formats import Adapter, Classify, MessageView, Pairing, Placeholder, _check_adjacent, register_format

__all__ = ["PydanticAI"]

_RESULT_KINDS = frozenset({"tool-return"})
_MEDIA_TYPES = frozenset({"image-url", "audio-url", "video-url", "document-url", "binary", "uploaded-file"})


def _json(value: Any) -> str:
    try:
        return json.dumps(value, ensure_ascii=False, separators=(",", ":"), default=str)
    except (TypeError, ValueError):
        return str(value)


def _content_text(content: Any) -> str:
    """A part's content as the text a model is sent: a str as it is, anything
    else (a tool's structured return, retry error details) as JSON."""
    if isinstance(content, str):
        return content
    if content is None:
        return ""
    return _json(content)


def _user_content(content: Any, image_tokens: int) -> Tuple[str, int]:
    """A user prompt's text and the tokens of its media."""
    if isinstance(content, str):
        return content, 0
    texts: List[str] = []
    extra = 0
    for item in content or ():
        if isinstance(item, str):
            texts.append(item)
        elif isinstance(getattr(item, "content", None), str) and getattr(item, "kind", None) not in _MEDIA_TYPES:
            texts.append(item.content)  # TextContent and its kin
        else:
            extra += image_tokens
    return "\n".join(texts), extra


def _answers(part: Any) -> Optional[str]:
    """The tool call a request part answers, if any."""
    kind = getattr(part, "part_kind", None)
    if kind in _RESULT_KINDS or (kind == "retry-prompt" and getattr(part, "tool_name", None)):
        cid = getattr(part, "tool_call_id", None)
        if not isinstance(cid, str):
            raise TypeError(f"'{kind}' part has no str tool_call_id")
        return cid
    return None


def _other_text(part: Any) -> str:
    content = getattr(part, "content", None)
    if content is not None:
        return _content_text(content)
    return repr(part)


class PydanticAI(Adapter):
    """pydantic-ai `ModelRequest` / `ModelResponse` messages (see the module's text)."""

    name = "pydantic-ai"
    # As for LangChain messages: the freshest tool output may become a placeholder
    # when it alone is over the budget (pydantic-ai maps the history to whichever
    # provider serves the request; the list itself has no running-cycle rule).
    pin_running_cycle = False
    results_alone = False

    def view(self, index: int, message: Any, image_tokens: int, classify: Optional[Classify]) -> MessageView:
        kind = getattr(message, "kind", None)
        parts = getattr(message, "parts", None)
        if kind not in ("request", "response") or parts is None:
            raise ValueError(f"message {index}: not a pydantic-ai ModelRequest or ModelResponse (kind {kind!r})")
        texts: List[str] = []
        extra = 0
        calls: List[str] = []
        answers: List[str] = []
        thinking = system = False
        if kind == "request":
            for part in parts:
                part_kind = getattr(part, "part_kind", None)
                cid = _answers(part)
                if cid is not None:
                    answers.append(cid)
                    texts.append(_content_text(getattr(part, "content", None)))
                elif part_kind == "system-prompt":
                    system = True
                    texts.append(_content_text(part.content))
                elif part_kind == "user-prompt":
                    text, more = _user_content(part.content, image_tokens)
                    texts.append(text)
                    extra += more
                else:
                    texts.append(_other_text(part))
            if system:
                role, bits = "system", fm.SYSTEM
            elif answers:
                role, bits = "user", fm.TOOL
            else:
                role, bits = "user", fm.USER
        else:
            for part in parts:
                part_kind = getattr(part, "part_kind", None)
                if part_kind == "text":
                    texts.append(_content_text(part.content))
                elif part_kind == "thinking":
                    thinking = True
                    texts.append(_content_text(part.content))
                elif part_kind == "tool-call":
                    cid = getattr(part, "tool_call_id", None)
                    if not isinstance(cid, str):
                        raise TypeError(f"message {index}: 'tool-call' part has no str tool_call_id")
                    calls.append(cid)
                    texts.append(str(getattr(part, "tool_name", "")))
                    args = getattr(part, "args", None)
                    texts.append(args if isinstance(args, str) else _json(args))
                elif part_kind == "builtin-tool-call":
                    texts.append(str(getattr(part, "tool_name", "")))
                    args = getattr(part, "args", None)
                    texts.append(args if isinstance(args, str) else _json(args))
                elif part_kind == "file":
                    extra += image_tokens
                else:
                    texts.append(_other_text(part))
            role, bits = "assistant", fm.ASSISTANT | (fm.THINKING if thinking else 0)
        if classify is not None:
            chosen = classify(message)
            if chosen is not None:
                bits = chosen
        return MessageView(index, role, bits, "\n".join(texts), extra, tuple(calls), tuple(answers), thinking)

    def check(self, views: Sequence[MessageView], offset: int = 0) -> Pairing:
        # A response's calls are answered in the very next request, all of them.
        pairing = _check_adjacent(views, None, offset)
        for cid, carriers in pairing.results.items():
            owner = pairing.owner[cid]
            if carriers != [owner + 1]:
                raise ValueError(
                    f"message {owner}: the results of tool call {cid!r} must all be in the next "
                    "request (call without its result)"
                )
        return pairing

    def elide(self, message: Any, placeholder: Placeholder) -> Any:
        parts = [
            dataclasses.replace(p, content=placeholder(_content_text(getattr(p, "content", None))))
            if _answers(p) is not None
            else p
            for p in message.parts
        ]
        return dataclasses.replace(message, parts=parts)

    def remove_calls(self, message: Any, ids: FrozenSet[str]) -> Optional[Any]:
        parts = [
            p for p in message.parts
            if not (getattr(p, "part_kind", None) == "tool-call" and getattr(p, "tool_call_id", None) in ids)
        ]
        if not any(getattr(p, "part_kind", None) in ("text", "tool-call") for p in parts):
            return None
        return dataclasses.replace(message, parts=parts)

    def remove_answers(self, message: Any, ids: FrozenSet[str]) -> Optional[Any]:
        parts = [p for p in message.parts if _answers(p) not in ids]
        if not parts:
            return None
        return dataclasses.replace(message, parts=parts)


register_format(PydanticAI())
