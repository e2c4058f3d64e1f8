"""Fails the build (a warning, errors under -W) when a public name of the
package or of the native modules has no entry in the API reference, so that
a name added to ``__all__`` cannot go undocumented."""

from __future__ import annotations

import importlib
import re
from pathlib import Path
from types import ModuleType
from typing import Any

from sphinx.application import Sphinx
from sphinx.util import logging

logger = logging.getLogger(__name__)

# Each module whose public names must all be in the reference.
MODULES = ("vexolin", "vexolin.batch", "vexolin.plot", "_vexolin", "vexolin._native")

_CURRENT = re.compile(r"^\.\. (?:py:)?(?:current)?module:: (\S+)", re.M)
_DIRECTIVE = re.compile(r"^\s*\.\. (?:py:)?(?:function|class|data|exception|method|attribute|property)::\s+"
                        r"([\w.]+)", re.M)


def public_names(module: ModuleType) -> set[str]:
    names = getattr(module, "__all__", None)
    if names is None:
        names = [n for n in dir(module) if not n.startswith("_")
                 and getattr(getattr(module, n), "__module__", None) == module.__name__]
    return set(names)


def documented_names(api_dir: Path) -> set[str]:
    """Full names with an autosummary entry or a hand-written directive."""
    found: set[str] = set()
    for page in sorted(api_dir.glob("*.rst")):
        module = ""
        in_summary = False
        for line in page.read_text(encoding="utf-8").splitlines():
            current = _CURRENT.match(line)
            if current:
                module = current.group(1)
                continue
            if line.startswith(".. autosummary::"):
                in_summary = True
                continue
            if in_summary:
                entry = line.strip()
                if line and not line[0].isspace():
                    in_summary = False
                elif entry and not entry.startswith(":"):
                    found.add(entry if "." in entry and entry.split(".")[0] in ("vexolin", "_vexolin")
                              else f"{module}.{entry}")
                    continue
                else:
                    continue
            directive = _DIRECTIVE.match(line)
            if directive:
                name = directive.group(1)
                found.add(name if name.startswith(("vexolin.", "_vexolin.")) else f"{module}.{name}")
    return found


def check(app: Sphinx) -> None:
    documented = documented_names(Path(app.srcdir) / "api")
    for module_name in MODULES:
        module = importlib.import_module(module_name)
        missing = sorted(n for n in public_names(module) if f"{module_name}.{n}" not in documented)
        for name in missing:
            logger.warning("%s.%s is public but has no entry in docs/api/*.rst", module_name, name)


def setup(app: Sphinx) -> dict[str, Any]:
    app.connect("builder-inited", check)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
