"""``python -m klimora``: the main job (see klimora/cli/ and --help)."""

import sys

if __name__ == "__main__":
    try:
        from klimora.cli import main
    except KeyboardInterrupt:   # Ctrl-C while the modules load
        sys.exit(130)
    sys.exit(main())
