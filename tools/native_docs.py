"""The ``vexolin._native`` section of docs/api/native.rst, made from the
module's docstrings (module/native_docstrings.h), so the page and the
bindings say the same.

    .venv/bin/python tools/native_docs.py          # rewrite the section
    .venv/bin/python tools/native_docs.py --check  # exit 1 if the committed page differs

The section lies between two comment lines of the page. A public name whose
binding has no docstring is left out of it, for the page's hand-written part
after it to describe.
"""

from __future__ import annotations

import argparse
import ast
import inspect
import sys
from pathlib import Path
from types import ModuleType
from typing import Any

ROOT = Path(__file__).resolve().parents[1]
PAGE = ROOT / "docs" / "api" / "native.rst"
START = (".. Made by tools/native_docs.py from the docstrings of vexolin._native (module/native_docstrings.h),\n"
         "   down to the comment that ends it; run it again rather than editing this part.\n")
END = ".. End of what tools/native_docs.py makes.\n"


def _split(doc: str | None, name: str) -> tuple[str | None, str]:
    """pybind11's docstring of ``name``: its signature line (None if it has
    none) and the text after it."""
    doc = doc or ""
    first, _, rest = doc.partition("\n")
    if first.startswith(f"{name}(") or first.startswith("("):
        return first, inspect.cleandoc(rest)
    return None, inspect.cleandoc(doc)


def _arguments(signature: str, name: str) -> str:
    """``name(a, *, b=1)``: the names and defaults of a pybind11 signature line, without types."""
    head = signature.rsplit(" -> ", 1)[0]
    args = ast.parse(f"def f{head[head.index('('):]}: pass").body[0].args  # type: ignore[attr-defined]
    shown = []
    positional = args.posonlyargs + args.args
    defaults = [None] * (len(positional) - len(args.defaults)) + list(args.defaults)
    for arg, default in zip(positional, defaults):
        if arg.arg in ("self", "arg0") and not shown:
            continue
        shown.append(arg.arg if default is None else f"{arg.arg}={ast.unparse(default)}")
    if args.kwonlyargs:
        shown.append("*")
        for arg, default in zip(args.kwonlyargs, args.kw_defaults):
            shown.append(arg.arg if default is None else f"{arg.arg}={ast.unparse(default)}")
    return f"{name}({', '.join(shown)})"


def _returns(signature: str) -> str:
    return signature.rsplit(" -> ", 1)[1].strip()


def _indent(text: str, by: int) -> str:
    return "\n".join(" " * by + line if line else "" for line in text.splitlines())


def _member(name: str, member: Any, indent: int) -> str | None:
    """The directive of a class's method or property, or None when it has no docstring."""
    pad = " " * indent
    if isinstance(member, property):
        text = inspect.cleandoc(member.__doc__ or "")
        if not text:
            return None
        signature, _ = _split(member.fget.__doc__, "")
        kind = f"{pad}.. py:property:: {name}\n" + (f"{pad}   :type: {_returns(signature)}\n" if signature else "")
        return f"{kind}\n{_indent(text, indent + 3)}\n"
    function = member.__func__ if isinstance(member, staticmethod) else member
    signature, text = _split(function.__doc__, name)
    if not text or signature is None:
        return None
    directive = "staticmethod" if isinstance(member, staticmethod) else "method"
    return f"{pad}.. py:{directive}:: {_arguments(signature, name)}\n\n{_indent(text, indent + 3)}\n"


def _entry(name: str, obj: Any) -> str | None:
    """The directive of a public name of the module, or None when it has no docstring."""
    if isinstance(obj, type) and issubclass(obj, BaseException):
        text = inspect.cleandoc(obj.__doc__ or "")
        return f".. py:exception:: {name}\n\n{_indent(text, 3)}\n" if text else None
    if isinstance(obj, type):
        text = inspect.cleandoc(obj.__doc__ or "")
        if not text:
            return None
        init = vars(obj).get("__init__")
        signature = _split(getattr(init, "__doc__", None), "__init__")[0]
        shown = _arguments(signature, name) if signature else name
        parts = [f".. py:class:: {shown}\n\n{_indent(text, 3)}\n"]
        for member_name, member in vars(obj).items():
            if not member_name.startswith("_"):
                entry = _member(member_name, member, 3)
                if entry is not None:
                    parts.append(entry)
        return "\n".join(parts)
    signature, text = _split(obj.__doc__, name)
    if not text or signature is None:
        return None
    return f".. py:function:: {_arguments(signature, name)}\n\n{_indent(text, 3)}\n"


def section(module: ModuleType) -> str:
    """The section's text: the module's docstring, then each documented public
    name in the order the module defines them."""
    parts = [START, f".. py:module:: {module.__name__}\n", inspect.cleandoc(module.__doc__ or "") + "\n"]
    for name, obj in vars(module).items():
        if not name.startswith("_"):
            entry = _entry(name, obj)
            if entry is not None:
                parts.append(entry)
    parts.append(END)
    return "\n".join(parts)


def page(current: str, module: ModuleType) -> str:
    """``current`` with the part between its comment lines made again."""
    if START not in current or END not in current:
        raise SystemExit(f"{PAGE.relative_to(ROOT)} has lost the comment lines around its generated part")
    before, rest = current.split(START, 1)
    after = rest.split(END, 1)[1]
    return before + section(module) + after


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--check", action="store_true", help="write nothing; exit 1 if the page differs")
    args = parser.parse_args()
    from vexolin import _native

    current = PAGE.read_text(encoding="utf-8")
    made = page(current, _native)
    if made == current:
        return 0
    if args.check:
        print(f"differs from the docstrings of vexolin._native: {PAGE.relative_to(ROOT)}")
        return 1
    PAGE.write_text(made, encoding="utf-8")
    print(f"wrote: {PAGE.relative_to(ROOT)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
