"""A walk through fenwa_micro as an agent host would use it.

    python examples/agent_host.py
"""
from __future__ import annotations

import fenwa_micro as fm


def main() -> None:
    print(f"{fm.__doc__}  (version {fm.__version__})")
    print("members:", ", ".join(fm.__all__))
    load = fm.HormonalSignal(fm.USER | fm.TOOL, 0.75)
    print("signal:", load)


if __name__ == "__main__":
    main()
