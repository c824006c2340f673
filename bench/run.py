"""What `./dev bench [args]` runs: the benchmark suite (suite.py) with the
given arguments, for instance --quick.

The older scripts of this directory (run_cost.py, loop_ops.py, tcp.py) still
run on their own; the suite reuses their measuring code.
"""

import sys

import suite

if __name__ == "__main__":
    sys.exit(suite.main(sys.argv[1:]))
