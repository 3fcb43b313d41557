"""``python -m klimora``: the main job (see klimora/cli.py and --help)."""

import sys

from klimora.cli import main

if __name__ == "__main__":
    sys.exit(main())
