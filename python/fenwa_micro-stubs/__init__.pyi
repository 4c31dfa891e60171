"""Type information for the native module fenwa_micro."""

from collections.abc import Sequence
from typing import Final, Literal, TypedDict, final

__all__ = [
    "HormonalBus",
    "HormonalSignal",
    "ContextApoptosis",
    "dehydrate",
    "saturation_scan",
    "consolidation_gain",
    "effort_gauge",
    "SYSTEM",
    "USER",
    "ASSISTANT",
    "FACT",
    "TOOL",
    "THINKING",
    "__doc__",
    "__version__",
]

__version__: str

SYSTEM: Final = 1
USER: Final = 2
ASSISTANT: Final = 4
FACT: Final = 8
TOOL: Final = 16
THINKING: Final = 32

class DehydrateResult(TypedDict):
    kept: list[str]
    blocks_in: int
    blocks_kept: int
    blocks_purged: int
    tokens_before: int
    tokens_after: int
    reduction: float
    stable_prefix_tokens: int
    kernel_latency_us: float

class EffortSignals(TypedDict):
    words: int
    len_score: float
    hard_hits: int
    constraint_hits: int
    code_hits: int
    digit_ratio: float
    novelty: float
    trivial_hits: int

class EffortResult(TypedDict):
    score: float
    tier: Literal["off", "low", "medium", "high"]
    budget_tokens: Literal[0, 1024, 4096, 16384]
    signals: EffortSignals

class ConsolidationResult(TypedDict):
    consolidate: bool
    gain_token_equiv: float
    cost_keep: float
    cost_consolidate: float
    break_even_calls: float

class BusStats(TypedDict):
    num_signals: float
    secretions: float
    total_concentration: float

@final
class HormonalSignal:
    """A single hormonal signal: bitwise channel `flags` (`u32`) + `intensity` (`f32`)."""

    def __new__(cls, flags: int, intensity: float = 1.0) -> HormonalSignal: ...
    @property
    def flags(self) -> int: ...
    @flags.setter
    def flags(self, value: int) -> None: ...
    @property
    def intensity(self) -> float: ...
    @intensity.setter
    def intensity(self, value: float) -> None: ...

@final
class HormonalBus:
    """Lock-free hormonal signalling bus."""

    def __new__(cls, num_signals: int = 32, event_capacity: int = 4096) -> HormonalBus: ...
    def inject(self, signal: HormonalSignal) -> None: ...
    def secrete(self, flags: int, intensity: float) -> None: ...
    def sense(self, mask: int) -> float: ...
    def concentration(self, signal_bit: int) -> float: ...
    def tick(self, decay: float) -> None: ...
    def snapshot(self) -> list[float]: ...
    def drain_events(self, max: int) -> list[tuple[int, float]]: ...
    def stats(self) -> BusStats: ...

@final
class ContextApoptosis:
    """A self-dehydrating context window."""

    def __new__(
        cls,
        half_life: float = 2.0,
        safe_threshold: float = 0.35,
        capacity: int = 256,
        state_capacity: int = 64,
    ) -> ContextApoptosis: ...
    def __len__(self) -> int: ...
    def insert(self, content: str, signal: int = 0, oxygen: float = ...) -> None: ...
    def dehydrate(self, reinforce_boost: float = 0.5, absorb: bool = False) -> int: ...
    def note_state(self, fact: str) -> bool: ...
    def set_purpose(self, text: str | None) -> None: ...
    def state_entries(self) -> list[str]: ...
    def render(self) -> str: ...
    def active_context(self) -> list[str]: ...
    def active_tokens(self) -> int: ...
    def inserted_tokens(self) -> int: ...
    def reduction_ratio(self) -> float: ...

def dehydrate(
    messages: Sequence[tuple[str, int]],
    half_life: float = 6.0,
    safe_threshold: float = 0.35,
    stable_prefix: int = 0,
) -> DehydrateResult: ...
def saturation_scan(text: str, window: int = 8) -> float: ...
def consolidation_gain(
    prefix_tokens: int,
    purgeable_tokens: int,
    calls_ahead: int = 8,
    cache_read_ratio: float = 0.1,
    cache_write_ratio: float = 1.25,
) -> ConsolidationResult: ...
def effort_gauge(text: str) -> EffortResult: ...
