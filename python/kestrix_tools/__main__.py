"""``python -m kestrix_tools``: the ``kestrix`` command."""

from kestrix_tools.cli import main

raise SystemExit(main())
