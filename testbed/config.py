"""Configuration files of the daemons, filled in from ``templates/``
(``$name`` placeholders, all required)."""

from __future__ import annotations

import os
import string
from pathlib import Path

TEMPLATES = Path(__file__).parent / "templates"


def render(template: str, dest: Path, mode: int = 0o644, **values) -> str:
    """Write the filled-in `template` to `dest` (a new file) with `mode`;
    the mode is set from the start, so a secret is never readable by others."""
    text = string.Template((TEMPLATES / template).read_text()).substitute(values)
    fd = os.open(dest, os.O_WRONLY | os.O_CREAT | os.O_EXCL, mode)
    with os.fdopen(fd, "w") as fh:
        fh.write(text)
    os.chmod(dest, mode)  # whatever the umask took away
    return str(dest)
