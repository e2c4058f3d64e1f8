"""The table of a store, ``files.csv``: one file's record, which is also its
row; the table written; and the table read back as written, or as a
spreadsheet saved it: a byte-order mark (UTF-8 or UTF-16), ``;`` or tab
separators, columns moved, added or dropped, the header lost, rows of junk.
The rows that can be read are kept; the caller rebuilds the rest from the
entries."""

from __future__ import annotations

import codecs
import csv
import io
import os
from collections.abc import Iterable, Iterator, Mapping
from typing import Literal, NotRequired, TypedDict, get_args

from vexolin.batch._fs import is_url

Status = Literal["done", "failed", "pending", "skipped"]


class FileRecord(TypedDict):
    """How one file went: a worker's record of it, and its row of the table."""

    path: str
    status: Status
    # None where an entry of an older version records none.
    frames: NotRequired[int | None]
    #: Seconds of audio.
    seconds: NotRequired[float | None]
    compute_seconds: NotRequired[float | None]
    sr: NotRequired[int | None]
    channels: NotRequired[int | None]
    #: The file's size and modification time when it was read.
    size: NotRequired[int | None]
    mtime_ns: NotRequired[int | None]
    error: NotRequired[str]
    #: Runs that tried the file since it last changed.
    attempts: NotRequired[int | None]


# A row as read back from the table: the columns it has, as text.
Row = dict[str, str]

# The table's columns, in the record's order.
COLUMNS: tuple[str, ...] = tuple(FileRecord.__annotations__)
STATUSES = frozenset(get_args(Status))
_DELIMITERS = (",", ";", "\t")


def decode_table(data: bytes) -> str:
    """The table's text. Without a byte-order mark it is UTF-8, and a file
    name that is not keeps its bytes (surrogateescape)."""
    if data.startswith((codecs.BOM_UTF16_LE, codecs.BOM_UTF16_BE)):
        return data.decode("utf-16", "replace")
    return data.removeprefix(codecs.BOM_UTF8).decode("utf-8", "surrogateescape")


def _rows(text: str, delimiter: str) -> Iterator[list[str]]:
    """CSV rows; a row the reader cannot take (a field over its size limit) is passed over."""
    reader = csv.reader(io.StringIO(text, newline=""), delimiter=delimiter)
    while True:
        try:
            yield next(reader)
        except StopIteration:
            return
        except csv.Error:
            continue


def _header(row: list[str]) -> list[str] | None:
    """The column names of a header row, or None when ``row`` is not one."""
    names = [field.strip().strip('"').lower() for field in row]
    return names if "path" in names and "status" in names else None


def _is_row(row: Row) -> bool:
    path = row.get("path", "")
    # No file name holds a NUL: a path with one is damage (a zeroed block), not a file.
    return (bool(path) and "\0" not in path and (os.path.isabs(path) or is_url(path))
            and row.get("status") in STATUSES)


def _with_header(text: str) -> list[Row] | None:
    """The rows under the first header found with any separator, by column
    name; None when there is no header."""
    for delimiter in _DELIMITERS:
        rows = _rows(text, delimiter)
        for row in rows:
            names = _header(row)
            if names is None:
                continue
            columns = {name: i for i, name in reversed(list(enumerate(names))) if name in COLUMNS}
            found = [{name: fields[i].strip() if name == "status" else fields[i]
                      for name, i in columns.items() if i < len(fields)} for fields in rows]
            return [row for row in found if _is_row(row)]
    return None


def _without_header(text: str) -> list[Row]:
    """Rows in the table's own column order, when exactly one separator cuts
    them into its columns with a path first and a status second; nothing
    when none does or when several do (which columns are which is unknown)."""
    layouts = []
    for delimiter in _DELIMITERS:
        rows = [dict(zip(COLUMNS, fields)) for fields in _rows(text, delimiter) if len(fields) == len(COLUMNS)]
        rows = [row for row in rows if _is_row(row)]
        if rows:
            layouts.append(rows)
    return layouts[0] if len(layouts) == 1 else []


def table_text(rows: Iterable[Mapping[str, object]]) -> bytes:
    """The table's file: a header and a row per file, empty cells for what a row lacks."""
    text = io.StringIO(newline="")
    writer = csv.DictWriter(text, COLUMNS, extrasaction="ignore")
    writer.writeheader()
    for row in rows:
        writer.writerow({k: "" if row.get(k) is None else row[k] for k in COLUMNS})
    return text.getvalue().encode("utf-8", "surrogateescape")


def parse_table(data: bytes) -> list[Row]:
    """The rows of a table that can be read, each with a path and a status
    and the other columns it has."""
    text = decode_table(data)
    rows = _with_header(text)
    return _without_header(text) if rows is None else rows
