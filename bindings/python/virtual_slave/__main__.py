"""``python -m virtual_slave``: the master against the virtual slave, shown step by step."""

import os
import sys

from virtual_slave.simulation import main

if __name__ == "__main__":
    try:
        code = main()
        sys.stdout.flush()
    except BrokenPipeError:
        # The reader went away (a pager or `head`): stop quietly.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        code = 1
    sys.exit(code)
