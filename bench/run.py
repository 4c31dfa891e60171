"""Run every benchmark (bench/bench_*.py) and print one table of ratios.

    python bench/run.py            # table
    python bench/run.py --json     # machine-readable rows
    python bench/run.py --quick    # fewer repetitions
    python bench/run.py signal bus # only the named benchmark files
"""
from __future__ import annotations

import argparse
import importlib.util
import json
import platform
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent


def load(path: Path):
    loader_spec = importlib.util.spec_from_file_location(path.stem, path)
    module = importlib.util.module_from_spec(loader_spec)
    sys.path.insert(0, str(HERE))
    try:
        loader_spec.loader.exec_module(module)
    finally:
        sys.path.remove(str(HERE))
    return module


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("only", nargs="*", help="benchmark names (bench_<name>.py)")
    parser.add_argument("--json", action="store_true", help="print JSON rows")
    parser.add_argument("--quick", action="store_true", help="fewer repetitions")
    args = parser.parse_args()

    rows = []
    for path in sorted(HERE.glob("bench_*.py")):
        name = path.stem[len("bench_"):]
        if args.only and name not in args.only:
            continue
        for r in load(path).run(quick=args.quick):
            r.setdefault("group", name)
            rows.append(r)

    machine = f"{platform.machine()}, {platform.processor() or 'cpu'}, Python {platform.python_version()}"
    if args.json:
        print(json.dumps({"machine": machine, "rows": rows}, indent=2))
        return 0
    print(f"machine: {machine}")
    header = f"{'benchmark':<46} {'ours':>12} {'baseline':<30} {'ratio':>9}  {'target':<14} note"
    print(header)
    print("-" * len(header))
    for r in rows:
        ours = r["ours_s"]
        unit = f"{ours * 1e9:9.1f} ns" if ours < 1e-3 else f"{ours * 1e3:9.2f} ms"
        kind = "x faster" if r["kind"] == "speed-up" else "x cost"
        print(f"{r['benchmark']:<46} {unit:>12} {r['baseline']:<30} {r['ratio']:>7.2f}{kind[:2]}  "
              f"{r['target']:<14} {r.get('note', '')}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
