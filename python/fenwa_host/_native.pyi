from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple, Union, final, overload

# A coefficient table, or a caller's counter as (its counts so far, count(text, index)).
_NativeCounter = Union[bytes, Tuple[Dict[str, int], Callable[[str, Optional[int]], int]]]


@final
class Views(Sequence[Any]):
    def __len__(self) -> int: ...
    @overload
    def __getitem__(self, key: int, /) -> Any: ...
    @overload
    def __getitem__(self, key: slice, /) -> List[Any]: ...
    def __setitem__(self, key: int, value: Any, /) -> None: ...

def flood_metrics(text: str) -> Dict[str, Union[float, int]]: ...
def read_messages(
    messages: Sequence[Any],
    reader: int,
    table: Dict[str, Tuple[str, int]],
    view_type: type,
    estimate: Optional[_NativeCounter],
    framing: Optional[Tuple[int, int, int, bool]],
    lazy: bool = False,
) -> Tuple[Union[List[Any], Views], Optional[bytes], bytearray, List[int]]: ...
def removal_order(views: Union[List[Any], Views], pinned: bytearray, half_life: float) -> bytes: ...
def budget_walk(
    candidates: bytes,
    position: int,
    max_tokens: int,
    total: int,
    action: bytearray,
    current: Any,
    tokens: Any,
    shape: bytearray,
    inline_results: bool,
    reasons: List[str],
    reason_texts: Tuple[str, str],
    placeholder_costs: bytes,
) -> Tuple[int, int, bool, List[int]]: ...
def pair_adjacent(views: Union[List[Any], Views], offset: int) -> Tuple[Dict[str, int], Dict[str, List[int]]]: ...
def pair_anywhere(views: Union[List[Any], Views], offset: int) -> Tuple[Dict[str, int], Dict[str, List[int]]]: ...
def durable_views(views: Union[List[Any], Views], mask: int, role: str) -> List[int]: ...
def file_sent(
    views: List[Any],
    tokens: List[int],
    sizes: List[int],
    start: int,
    end: int,
    elide: bool,
    placeholder_costs: bytes,
) -> Tuple[int, int, List[List[Tuple[int, int]]]]: ...
def estimate_tokens(text: str, table: bytes) -> int: ...
def estimate_cache(clear: bool) -> Tuple[int, int]: ...
def token_features(text: str) -> Tuple[int, ...]: ...
def estimate_views(
    views: List[Any], table: _NativeCounter, framing: Tuple[int, int, int, bool], start: int
) -> bytes: ...
