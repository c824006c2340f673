"""Runs every benchmark script of this directory in turn: ./dev bench [args].

Arguments (for instance --quick) are passed to each script.
"""

import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent


def main(argv):
    failed = 0
    for script in sorted(HERE.glob("*.py")):
        if script.name == Path(__file__).name:
            continue
        print(f"== {script.name}", flush=True)
        failed |= subprocess.run([sys.executable, str(script), *argv]).returncode != 0
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
