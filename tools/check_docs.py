#!/usr/bin/env python3
"""Checks that the built documentation documents every public name and
every `lma` subcommand and option, so that none lands undocumented.

    python tools/check_docs.py docs/_build/html

The public names are `kelvane.__all__`; each must be in the build's
inventory (objects.inv) as `kelvane.NAME`. The subcommands and options are
those of `kelvane.cli.build_parser()`; each subcommand must be in the
inventory and have a section of the command-line page, which must name
each of its options. Prints what is missing and exits with status 1.
"""

import argparse
import html
import re
import sys
import zlib
from pathlib import Path

CLI_PAGE = Path("reference") / "cli.html"


def inventory(path):
    """The names in a Sphinx objects.inv, by "domain:role"."""
    with open(path, "rb") as f:
        for _ in range(4):  # the header: format, project, version, note
            f.readline()
        text = zlib.decompress(f.read()).decode("utf-8")
    names = {}
    for line in text.splitlines():
        found = re.match(r"(.+?)\s+(\S+:\S+)\s+-?\d+\s", line)
        if found:
            names.setdefault(found.group(2), set()).add(found.group(1))
    return names


def sections(page, ids):
    """The text of each section of `page` whose id is one of `ids`, up to
    the next of them."""
    starts = sorted((m.start(), m.group(1)) for m in re.finditer(
        r'<section id="([^"]+)"', page) if m.group(1) in ids)
    bounds = [s for s, _ in starts[1:]] + [len(page)]
    return {name: page[start:end]
            for (start, name), end in zip(starts, bounds)}


def subcommands(parser):
    for action in parser._actions:
        if isinstance(action, argparse._SubParsersAction):
            return dict(action.choices)
    return {}


def options(parser):
    return [o for a in parser._actions for o in a.option_strings]


def main(build):
    import kelvane
    from kelvane.cli import build_parser

    build = Path(build)
    names = inventory(build / "objects.inv")
    python = set().union(*(v for k, v in names.items()
                           if k.startswith("py:")))
    missing = [f"kelvane.{name} (Python API)" for name in kelvane.__all__
               if f"kelvane.{name}" not in python]

    parser = build_parser()
    commands = subcommands(parser)
    page = html.unescape((build / CLI_PAGE).read_text(encoding="utf-8"))
    documented = names.get("commands:command", set())
    found = sections(page, {"lma-named-arguments"}
                     | {f"lma-{c}" for c in commands})
    checks = [("lma", "lma-named-arguments", parser)] + [
        (f"lma {c}", f"lma-{c}", p) for c, p in commands.items()]
    for title, section, sub in checks:
        if title != "lma" and title not in documented:
            missing.append(f"{title} (command-line reference)")
        text = found.get(section)
        if text is None:
            missing.append(f"{title}: no section {section} in {CLI_PAGE}")
            continue
        missing += [f"{title} {o} (command-line reference)"
                    for o in options(sub)
                    if o not in ("-h", "--help")
                    and f"<kbd>{o}" not in text and f", {o}<" not in text]
    for line in missing:
        print(f"check_docs: not documented: {line}", file=sys.stderr)
    if not missing:
        print(f"check_docs: {len(kelvane.__all__)} public names, "
              f"{len(commands)} lma commands and their options documented")
    return 1 if missing else 0


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    sys.exit(main(sys.argv[1]))
