"""The packages that the examples need beyond marundex and NumPy, and the one line
that a script prints when one of them is missing.

`pip install "marundex[examples]"` brings matplotlib (the demo), pandas and tqdm;
`pip install "marundex[dask]"` adds dask and dask.distributed for dask_symbols.py.
From a checkout: `pip install ".[examples]"`.
"""

from __future__ import annotations

import contextlib
import sys
from collections.abc import Iterator


@contextlib.contextmanager
def packages_of(extra: str, program: str, as_script: bool) -> Iterator[None]:
    """Imports in the block that find no package end a script with one line naming
    the extra that brings it (exit status 2). Imported as a module (`as_script`
    false), the ImportError passes on to the importer."""
    try:
        yield
    except ModuleNotFoundError as missing:
        if not as_script:
            raise
        package = (missing.name or str(missing)).partition(".")[0]
        print(f'{program}: the package {package!r} is not installed; pip install "marundex[{extra}]" brings it '
              f'(from a checkout: pip install ".[{extra}]")', file=sys.stderr)
        raise SystemExit(2) from None
