"""tiktoken's o200k_base and cl100k_base without a network.

tiktoken downloads its encoding files at first use and keeps them in the directory
named by TIKTOKEN_CACHE_DIR, under the SHA-1 of the download URL. The PyPI package
`bpe-openai` ships both files (gzipped) inside its wheel; this module unpacks them
into such a cache directory once, so that `tiktoken.get_encoding` works offline.
tiktoken still checks each file against the SHA-256 it expects.

    from offline_tiktoken import encodings
    enc = encodings()["o200k"]
"""

from __future__ import annotations

import gzip
import hashlib
import os
import tempfile
from typing import Any, Dict, Optional

_URL = "https://openaipublic.blob.core.windows.net/encodings/{}.tiktoken"
NAMES = {"o200k": "o200k_base", "cl100k": "cl100k_base"}


def prepare_cache(directory: Optional[str] = None) -> str:
    """Unpack the encoding files of `bpe-openai` into `directory` (by default a
    fixed folder under the temporary directory), set TIKTOKEN_CACHE_DIR to it and
    return it. Raises ImportError when `bpe-openai` is not installed."""
    import bpe_openai.data  # the package that carries the files

    source = os.path.dirname(bpe_openai.data.__file__)
    directory = directory or os.path.join(tempfile.gettempdir(), "fenwa-tiktoken-cache")
    os.makedirs(directory, exist_ok=True)
    for name in NAMES.values():
        target = os.path.join(directory, hashlib.sha1(_URL.format(name).encode()).hexdigest())
        if not os.path.exists(target):
            with gzip.open(os.path.join(source, name + ".tiktoken.gz")) as f:
                data = f.read()
            partial = target + f".{os.getpid()}.tmp"
            with open(partial, "wb") as out:
                out.write(data)
            os.replace(partial, target)
    os.environ["TIKTOKEN_CACHE_DIR"] = directory
    return directory


def encodings() -> Dict[str, Any]:
    """tiktoken Encodings by family name ("o200k", "cl100k")."""
    prepare_cache()
    import tiktoken

    return {family: tiktoken.get_encoding(name) for family, name in NAMES.items()}
