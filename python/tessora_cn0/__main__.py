"""``python -m tessora_cn0``: the tessora-cn0 command line."""
import sys

from tessora_cn0.cli import main

if __name__ == "__main__":
    sys.exit(main())
