#!/usr/bin/env python3
"""Holds the code to the include rules of the README's layout table.

Each row of the table under "## Layout of the code" names its folders and, in its last cell,
what they may include: project paths (a folder ends in "/", "*" stands for any name within one
folder), libraries as `<name/…>`, "everything", or nothing of the project. A file may always
include the files of its own folder. A library named in some row may be included only by the
folders of the rows that name it. Rows with an empty last cell (tests, benchmarks) are not
checked. Prints each include that breaks a rule and exits with 1; exits with 0 when none does.

    scripts/check_includes.py [REPOSITORY]
"""

import pathlib
import re
import sys

ROOT = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else pathlib.Path(__file__).parent.parent)
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^">]+)[">]', re.MULTILINE)


def pattern(path):
    """A project path of the table as a regular expression over include paths."""
    text = re.escape(path).replace(r"\*", "[^/]*")
    return re.compile(text + (".*" if path.endswith("/") else "") + "$")


def rows():
    """(folders, allowed project paths, allowed libraries, everything) of each checked row."""
    readme = (ROOT / "README.md").read_text(encoding="utf-8")
    table = readme.split("## Layout of the code", 1)[1]
    for line in table.splitlines():
        cells = [cell.strip() for cell in line.strip().strip("|").split("|")]
        if len(cells) != 3 or not cells[0].startswith("`") or not cells[2]:
            continue
        folders = re.findall(r"`([^`]+/)`", cells[0])
        named = re.findall(r"`([^`]+)`", cells[2])
        paths = [pattern(name) for name in named if not name.startswith("<")]
        libraries = [name[1:].rstrip(">…") for name in named if name.startswith("<")]
        yield folders, paths, libraries, cells[2] == "everything"


def main():
    table = list(rows())
    if not table:
        print("check_includes.py: the README has no layout table", file=sys.stderr)
        return 1
    restricted = {library for _, _, libraries, _ in table for library in libraries}
    broken = []
    for folders, paths, libraries, everything in table:
        for folder in folders:
            for source in sorted((ROOT / folder).rglob("*")):
                if source.suffix not in (".cpp", ".h"):
                    continue
                name = source.relative_to(ROOT).as_posix()
                own = name.rsplit("/", 1)[0] + "/"
                # A file belongs to the row of its nearest folder in the table.
                nearest = max((f for row in table for f in row[0] if name.startswith(f)), key=len)
                if nearest != folder:
                    continue
                for kind, included in INCLUDE.findall(source.read_text(encoding="utf-8")):
                    if kind == "<":
                        library = next((l for l in restricted if included.startswith(l)), None)
                        if library and library not in libraries:
                            broken.append(f"{name}: <{included}> belongs to other folders")
                    elif not (everything or included.rsplit("/", 1)[0] + "/" == own or
                              any(p.match(included) for p in paths)):
                        broken.append(f"{name}: \"{included}\" is not among what `{folder}` "
                                      "may include")
    for line in broken:
        print(f"check_includes.py: {line}", file=sys.stderr)
    return 1 if broken else 0


if __name__ == "__main__":
    sys.exit(main())
