"""Regenerate the corpus the token estimate is fitted on.

Nothing here is shipped text: every sample is cut, with a seeded random generator,
from files whose licences allow it and that a Debian machine with Python has, or is
generated. Sources per content family:

- english: /usr/share/common-licenses, the English message ids of the gettext
  catalogues under /usr/share/locale, Python's own docstrings (PSF licence)
- code: CPython's standard library sources (PSF licence), /usr/include headers
- json: generated records (nested objects, arrays, numbers, Unicode names)
- logs: generated syslog and application logs, directory listings of the
  interpreter's library built with os.stat, pytest runs and Python tracebacks
  in the shape Python prints them, commit logs in `git log --stat`'s shape
- base64_hex: base64 and hex dumps of seeded random bytes and of the
  interpreter's own compiled files
- emoji_chat: generated chat lines mixing short sentences and emoji (with ZWJ
  sequences and skin tones)
- latin: translated catalogues (msgstr) in German, French, Spanish, Italian,
  Portuguese, Polish, Czech, Turkish, Dutch, Swedish, Finnish, Hungarian, Romanian
- cyrillic: Russian, Ukrainian, Bulgarian, Serbian, Belarusian catalogues
- other_scripts: Greek, Arabic, Persian, Hebrew, Hindi, Bengali, Tamil, Thai,
  Georgian, Amharic, Vietnamese, Japanese, Chinese and Korean catalogues

Each sample records its family, its source (the held-out split is by source, so
no file feeds both sides) and, with --count, its exact o200k_base and
cl100k_base counts (tiktoken, offline: see tools/offline_tiktoken.py).

    python tools/token_corpus.py --count -o /tmp/token_corpus.jsonl
"""

from __future__ import annotations

import argparse
import base64
import gettext
import glob
import hashlib
import json
import os
import random
import sys
import sysconfig
from typing import Dict, Iterator, List, Tuple

Sample = Tuple[str, str, str]  # family, source, text

LATIN = ["de", "fr", "es", "it", "pt_BR", "pl", "cs", "tr", "nl", "sv", "fi", "hu", "ro"]
CYRILLIC = ["ru", "uk", "bg", "sr", "be"]
OTHER = ["el", "ar", "fa", "he", "hi", "bn", "ta", "th", "ka", "am", "vi", "ja", "zh_CN", "zh_TW", "ko"]


def cut(rng: random.Random, text: str, lo: int = 40, hi: int = 6000) -> str:
    """A piece of `text` of log-uniform length, starting and ending at line breaks
    where there are any."""
    length = int(lo * (hi / lo) ** rng.random())
    if len(text) <= length:
        return text
    start = rng.randrange(0, len(text) - length)
    nl = text.find("\n", start, start + 200)
    if nl >= 0:
        start = nl + 1
    piece = text[start : start + length]
    nl = piece.rfind("\n")
    if nl > length // 2:
        piece = piece[:nl]
    return piece


def catalogue(lang: str, ids: bool = False) -> Dict[str, str]:
    """The gettext catalogues of one language, by domain: their translations,
    or with `ids` their English message ids."""
    out: Dict[str, str] = {}
    for path in sorted(glob.glob(f"/usr/share/locale/{lang}/LC_MESSAGES/*.mo")):
        try:
            with open(path, "rb") as f:
                cat = gettext.GNUTranslations(f)._catalog  # type: ignore[attr-defined]
        except Exception:
            continue
        pieces = []
        for k, v in cat.items():
            key = k[0] if isinstance(k, tuple) else k
            if not key:
                continue  # the header
            pieces.append(key if ids else v)
        text = "\n".join(p for p in pieces if isinstance(p, str))
        if len(text) > 500:
            out[os.path.basename(path)] = text
    return out


def from_catalogues(rng: random.Random, family: str, langs: List[str], n: int) -> Iterator[Sample]:
    texts = [(f"{lang}/{dom}", t) for lang in langs for dom, t in catalogue(lang).items()]
    by_lang: Dict[str, List[Tuple[str, str]]] = {}
    for src, t in texts:
        by_lang.setdefault(src.split("/")[0], []).append((src, t))
    langs = sorted(by_lang)
    for _ in range(n):
        src, t = rng.choice(by_lang[rng.choice(langs)])
        yield family, src, cut(rng, t)


def english(rng: random.Random, n: int) -> Iterator[Sample]:
    sources: List[Tuple[str, str]] = []
    for path in sorted(glob.glob("/usr/share/common-licenses/*")):
        if os.path.isfile(path):
            with open(path, encoding="utf-8", errors="replace") as f:
                sources.append((os.path.basename(path), f.read()))
    for dom, t in sorted(catalogue("de", ids=True).items()):
        sources.append(("msgid/" + dom, t))
    docs = []
    import builtins, collections, json as _j, os as _o, re, string, textwrap  # noqa: E401
    for mod in (builtins, collections, _j, _o, re, string, textwrap):
        for name in dir(mod):
            doc = getattr(getattr(mod, name), "__doc__", None)
            if isinstance(doc, str) and len(doc) > 200:
                docs.append(doc)
    sources.append(("docstrings", "\n\n".join(docs)))
    for _ in range(n):
        src, t = rng.choice(sources)
        yield "english", src, cut(rng, t)


def code(rng: random.Random, n: int) -> Iterator[Sample]:
    stdlib = sysconfig.get_paths()["stdlib"]
    files = sorted(glob.glob(os.path.join(stdlib, "*.py")) + glob.glob(os.path.join(stdlib, "*/*.py")))
    files += sorted(glob.glob("/usr/include/*.h"))
    for _ in range(n):
        path = rng.choice(files)
        with open(path, encoding="utf-8", errors="replace") as f:
            text = f.read()
        if len(text) < 100:
            continue
        yield "code", os.path.relpath(path, "/"), cut(rng, text)


WORDS = ("alpha beta gamma delta status value count total name id user order item price "
         "created updated message error result data config enabled version path size type "
         "München café naïve Zürich 東京 Москва").split()


def _value(rng: random.Random, depth: int) -> object:
    r = rng.random()
    if depth > 3 or r < 0.35:
        kind = rng.randrange(6)
        if kind == 0:
            return rng.randrange(-10**6, 10**9)
        if kind == 1:
            return round(rng.uniform(-1000, 1000), rng.randrange(1, 6))
        if kind == 2:
            return rng.choice([True, False, None])
        if kind == 3:
            return hashlib.md5(str(rng.random()).encode()).hexdigest()[: rng.randrange(6, 33)]
        if kind == 4:
            return f"2026-{rng.randrange(1, 13):02d}-{rng.randrange(1, 29):02d}T{rng.randrange(24):02d}:{rng.randrange(60):02d}:00Z"
        return " ".join(rng.choice(WORDS) for _ in range(rng.randrange(1, 8)))
    if r < 0.7:
        return {rng.choice(WORDS) + ("_" + rng.choice(WORDS) if rng.random() < 0.4 else ""): _value(rng, depth + 1)
                for _ in range(rng.randrange(1, 7))}
    return [_value(rng, depth + 1) for _ in range(rng.randrange(1, 6))]


def json_family(rng: random.Random, n: int) -> Iterator[Sample]:
    for k in range(n):
        records = [_value(rng, 0) for _ in range(rng.randrange(1, 40))]
        style = k % 3
        if style == 0:
            text = json.dumps(records, indent=2, ensure_ascii=False)
        elif style == 1:
            text = json.dumps(records, separators=(",", ":"), ensure_ascii=k % 2 == 0)
        else:
            text = "\n".join(json.dumps(r, ensure_ascii=False) for r in records)
        yield "json", f"generated-json/{k % 97}", cut(rng, text, 40, 6000)


def logs(rng: random.Random, n: int) -> Iterator[Sample]:
    hosts = ["web-01", "db-02", "cache-a", "worker-7"]
    procs = ["sshd", "systemd", "nginx", "postgres", "kernel", "cron", "app"]
    levels = ["INFO", "WARN", "ERROR", "DEBUG"]
    stdlib = sysconfig.get_paths()["stdlib"]
    dirs = sorted(d for d in glob.glob(os.path.join(stdlib, "*")) if os.path.isdir(d))
    # Commit logs in `git log --stat`'s shape, generated so that the corpus does
    # not change with the repository's own history.
    gitlog_lines = []
    for c in range(300):
        gitlog_lines += [f"commit {hashlib.sha1(str(c).encode()).hexdigest()}",
                         f"Author: Dev {c % 7} <dev{c % 7}@example.org>",
                         f"Date:   Wed Dec {1 + c % 9} 0{c % 10}:{c % 60:02d}:00 2026 +0000", "",
                         f"    {rng.choice(['Fix', 'Add', 'Speed up', 'Document'])} {rng.choice(WORDS)} "
                         f"{rng.choice(['handling', 'cache', 'parser', 'retry loop'])}", ""]
        for _ in range(rng.randrange(1, 4)):
            adds = rng.randrange(1, 60)
            gitlog_lines.append(f" src/{rng.choice(WORDS)}_{c % 13}.py | {adds:3d} " + "+" * min(adds, 30))
        gitlog_lines.append("")
    gitlog = "\n".join(gitlog_lines)
    for k in range(n):
        kind = k % 5
        lines: List[str] = []
        count = int(3 * 80 ** rng.random())
        if kind == 0:
            for _ in range(count):
                lines.append(
                    f"Dec {rng.randrange(1, 29):2d} {rng.randrange(24):02d}:{rng.randrange(60):02d}:{rng.randrange(60):02d} "
                    f"{rng.choice(hosts)} {rng.choice(procs)}[{rng.randrange(100, 65000)}]: "
                    f"{rng.choice(['Accepted publickey for', 'Connection closed by', 'Started', 'Failed password for'])} "
                    f"{rng.choice(['root', 'deploy', 'user'])} from 10.{rng.randrange(256)}.{rng.randrange(256)}.{rng.randrange(256)} port {rng.randrange(1024, 65535)}"
                )
        elif kind == 1:
            for _ in range(count):
                lines.append(
                    f"2026-12-09 {rng.randrange(24):02d}:{rng.randrange(60):02d}:{rng.randrange(60):02d},{rng.randrange(1000):03d} "
                    f"{rng.choice(levels):5s} [{rng.choice(['main', 'pool-1-thread-3', 'asyncio'])}] "
                    f"{rng.choice(['app.api', 'app.db.session', 'worker.queue'])}: "
                    f"{rng.choice(['request done', 'retrying', 'timeout after', 'cache miss for key'])} "
                    f"id={rng.randrange(10**8)} elapsed={rng.uniform(0, 5):.3f}s"
                )
        elif kind == 2:
            d = rng.choice(dirs)
            for name in sorted(os.listdir(d))[: count]:
                st = os.stat(os.path.join(d, name))
                lines.append(
                    f"-rw-r--r-- 1 root root {st.st_size:8d} Dec  9 04:{rng.randrange(60):02d} {name}"
                )
        elif kind == 3:
            lines.append("============================= test session starts ==============================")
            lines.append("platform linux -- Python 3.11.7, pytest-9.2.0, pluggy-1.7.0")
            for _ in range(count):
                mod = rng.choice(["tests/test_api.py", "tests/test_db.py", "tests/unit/test_parse.py"])
                lines.append(f"{mod}::test_{rng.choice(WORDS)}_{rng.choice(WORDS)}[{rng.randrange(50)}] "
                             f"{rng.choice(['PASSED', 'PASSED', 'FAILED', 'SKIPPED'])} [{rng.randrange(101):3d}%]")
            lines.append('Traceback (most recent call last):')
            for _ in range(rng.randrange(1, 8)):
                lines.append(f'  File "{stdlib}/{rng.choice(["json/decoder.py", "asyncio/base_events.py", "re/_parser.py"])}", '
                             f"line {rng.randrange(1, 900)}, in {rng.choice(['decode', 'run_until_complete', '_parse'])}")
                lines.append(f"    {rng.choice(['obj, end = self.raw_decode(s)', 'return future.result()', 'raise source.error(msg)'])}")
            lines.append(rng.choice(["json.decoder.JSONDecodeError: Expecting value: line 1 column 1 (char 0)",
                                     "KeyError: 'user_id'", "AssertionError: assert 3 == 4"]))
        else:
            if gitlog:
                yield "logs", "git-log", cut(rng, gitlog)
                continue
            lines.append("commit " + hashlib.sha1(str(k).encode()).hexdigest())
        yield "logs", f"generated-logs/{kind}/{k % 31}", cut(rng, "\n".join(lines))


def base64_hex(rng: random.Random, n: int) -> Iterator[Sample]:
    stdlib = sysconfig.get_paths()["stdlib"]
    binaries = sorted(glob.glob(os.path.join(stdlib, "__pycache__", "*.pyc")))
    for k in range(n):
        size = int(30 * 200 ** rng.random())
        if k % 2 and binaries:
            path = rng.choice(binaries)
            with open(path, "rb") as f:
                data = f.read()
            start = rng.randrange(0, max(1, len(data) - size))
            raw = data[start : start + size]
            src = "pyc/" + os.path.basename(path)
        else:
            raw = bytes(rng.randrange(256) for _ in range(size))
            src = f"random/{k % 53}"
        style = k % 4
        if style == 0:
            text = base64.b64encode(raw).decode()
        elif style == 1:
            b = base64.encodebytes(raw).decode()
            text = b
        elif style == 2:
            text = raw.hex()
        else:
            rows = []
            for off in range(0, len(raw), 16):
                chunk = raw[off : off + 16]
                rows.append(f"{off:08x}: " + " ".join(f"{c:02x}" for c in chunk)
                            + "  " + "".join(chr(c) if 32 <= c < 127 else "." for c in chunk))
            text = "\n".join(rows)
        yield "base64_hex", src, text


EMOJI = [chr(c) for c in list(range(0x1F600, 0x1F650)) + list(range(0x1F300, 0x1F3F0)) + list(range(0x1F900, 0x1F9FF))]
ZWJ = ["\U0001F468\u200D\U0001F469\u200D\U0001F467", "\U0001F3F3\uFE0F\u200D\U0001F308",
       "\U0001F44D\U0001F3FD", "\u2764\uFE0F", "\u2705", "\U0001F1EB\U0001F1F7"]
CHAT = ["ok", "lol", "see you soon", "that was amazing", "did you get my message?", "on my way",
        "happy birthday", "thanks so much", "no way", "let's go", "good night", "brb", "yes!!", "haha"]


def emoji_chat(rng: random.Random, n: int) -> Iterator[Sample]:
    for k in range(n):
        lines = []
        for _ in range(int(2 * 60 ** rng.random())):
            who = rng.choice(["Ana", "Ben", "Chloé", "Dev"])
            parts = []
            for _ in range(rng.randrange(1, 4)):
                r = rng.random()
                if r < 0.5:
                    parts.append(rng.choice(CHAT))
                if r > 0.3:
                    parts.append("".join(rng.choice(EMOJI) if rng.random() < 0.8 else rng.choice(ZWJ)
                                         for _ in range(rng.randrange(1, 5))))
            lines.append(f"[{rng.randrange(24):02d}:{rng.randrange(60):02d}] {who}: " + " ".join(parts))
        yield "emoji_chat", f"generated-chat/{k % 41}", "\n".join(lines)


FAMILIES = ("base64_hex", "logs", "emoji_chat", "json", "code", "english", "latin", "cyrillic", "other_scripts")


def build(seed: int, per_family: int) -> List[Sample]:
    rng = random.Random(seed)
    out: List[Sample] = []
    out += english(rng, per_family)
    out += code(rng, per_family)
    out += json_family(rng, per_family)
    out += logs(rng, per_family)
    out += base64_hex(rng, per_family)
    out += emoji_chat(rng, per_family)
    out += from_catalogues(rng, "latin", LATIN, per_family)
    out += from_catalogues(rng, "cyrillic", CYRILLIC, per_family)
    out += from_catalogues(rng, "other_scripts", OTHER, int(per_family * 1.5))
    return [s for s in out if s[2].strip()]


def held_out(source: str) -> bool:
    """About 30% of the sources, by a hash of their name."""
    return int(hashlib.sha256(source.encode()).hexdigest()[:8], 16) % 10 < 3


def main(argv: List[str]) -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("-o", "--output", default="/tmp/token_corpus.jsonl")
    ap.add_argument("--seed", type=int, default=20261209)
    ap.add_argument("--per-family", type=int, default=450)
    ap.add_argument("--count", action="store_true", help="add exact o200k/cl100k counts")
    args = ap.parse_args(argv)
    samples = build(args.seed, args.per_family)
    encoders = {}
    if args.count:
        sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
        from offline_tiktoken import encodings

        encoders = encodings()
    with open(args.output, "w", encoding="utf-8") as f:
        for family, source, text in samples:
            row: Dict[str, object] = {"family": family, "source": source, "held_out": held_out(source), "text": text}
            for name, enc in encoders.items():
                row[name] = len(enc.encode_ordinary(text))
            f.write(json.dumps(row, ensure_ascii=False) + "\n")
    print(f"{len(samples)} samples -> {args.output}")


if __name__ == "__main__":
    main(sys.argv[1:])
