"""Runs a Python program in a child interpreter that imports the fenwa_micro under test."""
import os
import subprocess
import sys
from pathlib import Path

import fenwa_micro


def run_child(code, *, timeout, leak_checks=True):
    """The finished child (text output captured). The child finds the module this
    interpreter imported first on its path, whatever directory it starts in."""
    env = dict(os.environ)
    module_dir = str(Path(fenwa_micro.__file__).resolve().parent)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [module_dir, env.get("PYTHONPATH")]))
    if not leak_checks and "ASAN_OPTIONS" in env:
        env["ASAN_OPTIONS"] += ":detect_leaks=0"
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          env=env, timeout=timeout)
