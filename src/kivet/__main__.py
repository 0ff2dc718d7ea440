"""``python -m kivet``: the ``kivet`` command."""

from kivet.cli import main

raise SystemExit(main())
