"""python -m tegulo_rl COMMAND ...: the command line, whose home is tegulo_rl._cli."""

import sys

from tegulo_rl._cli import main

if __name__ == "__main__":
    sys.exit(main())
