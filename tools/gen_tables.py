"""What the generators of tools/ share: reading their tab-separated tables
and writing their files. Python 3 standard library only."""

import csv
import os


class TableError(Exception):
    pass


def read_tsv(path, columns):
    """The rows of `path` after its header, which must be `columns`, as
    (line number, {column: text})."""
    with open(path, newline="", encoding="utf-8") as f:
        reader = csv.reader(f, delimiter="\t", quoting=csv.QUOTE_NONE)
        header = next(reader, None)
        if header != columns:
            raise TableError("%s: header must be %s, not %s"
                             % (path, "\t".join(columns), header))
        rows = []
        for number, row in enumerate(reader, start=2):
            if len(row) != len(columns):
                raise TableError("%s:%d: %d columns instead of %d"
                                 % (path, number, len(row), len(columns)))
            rows.append((number, dict(zip(columns, row))))
        return rows


def write_if_changed(path, text):
    """Writes `text` to `path` unless it holds that already, so that the build
    recompiles only what a change of the tables touches."""
    try:
        with open(path, encoding="utf-8") as f:
            if f.read() == text:
                return False
    except FileNotFoundError:
        os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path + ".tmp", "w", encoding="utf-8") as f:
        f.write(text)
    os.replace(path + ".tmp", path)
    return True


def write_outputs(files, listing, out):
    """`files` maps a relative path to a function that renders it. With
    `listing` prints the paths, one a line, for the build to know them;
    otherwise writes each file under `out`."""
    if listing:
        print("\n".join(files))
        return
    for relative, render in files.items():
        write_if_changed(os.path.join(out, relative), render())
