"""The `lma-cli` directive: the reference of the `lma` command, generated
from its argument parser (`kelvane.cli.build_parser`), so that a new
subcommand or option appears in the documentation as soon as it exists.

Each subcommand becomes a section with its usage and description, and each
option a `program`/`option` entry, which Sphinx lists in its inventory
(`objects.inv`) under the subcommand's name.
"""

import argparse
import re

from docutils import nodes
from docutils.statemachine import StringList
from sphinx.util.docutils import SphinxDirective
from sphinx.util.nodes import nested_parse_with_titles

_SPECIAL = re.compile(r"([\\`*_|])")


def _text(text):
    """`text` as plain reStructuredText: markup characters escaped."""
    return _SPECIAL.sub(r"\\\1", " ".join((text or "").split()))


def _signature(action):
    if not action.option_strings:
        return action.metavar or action.dest
    if action.nargs == 0:
        return ", ".join(action.option_strings)
    metavar = action.metavar or action.dest.upper()
    if isinstance(metavar, tuple):
        metavar = " ".join(metavar)
    return ", ".join(f"{o} {metavar}" for o in action.option_strings)


def _help(action):
    text = _text(action.help)
    if action.choices and not isinstance(action, argparse._SubParsersAction):
        text += " (one of: " + ", ".join(
            f"``{c}``" for c in action.choices) + ")"
    if action.required and action.option_strings:
        text += " (required)"
    return text or "(no description)"


def _options(parser, program, lines):
    lines += [f".. program:: {program}", ""]
    for action in parser._actions:
        if isinstance(action, (argparse._HelpAction,
                               argparse._SubParsersAction)):
            continue
        lines += [f".. option:: {_signature(action)}", "",
                  f"   {_help(action)}", ""]
    lines += [".. option:: -h, --help", "",
              "   print the command's help and exit", ""]


def _usage(parser):
    usage = parser.format_usage().strip()
    return ["::", ""] + ["   " + line for line in usage.splitlines()] + [""]


class LmaCli(SphinxDirective):
    """Sections for `lma` and each of its subcommands, from the parser."""

    has_content = False

    def run(self):
        from kelvane.cli import build_parser

        parser = build_parser()
        lines = _usage(parser) + [_text(parser.description), ""]
        _options(parser, "lma", lines)
        lines += [_text(parser.epilog), ""]
        sub = next(a for a in parser._actions
                   if isinstance(a, argparse._SubParsersAction))
        for name, subparser in sub.choices.items():
            title = f"lma {name}"
            lines += [title, "-" * len(title), ""]
            lines += _usage(subparser)
            if subparser.description:
                lines += [_text(subparser.description), ""]
            _options(subparser, title, lines)
        node = nodes.container()
        nested_parse_with_titles(self.state, StringList(lines, "lma-cli"),
                                 node)
        return node.children


def setup(app):
    app.add_directive("lma-cli", LmaCli)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
