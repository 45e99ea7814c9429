"""Sphinx configuration of kelvane's documentation.

Built offline and nitpicky (`sphinx-build -n -W --keep-going docs
docs/_build/html`): no inventory is fetched over the network, so the types
of other packages are named in the text and listed in `nitpick_ignore`.
"""

from importlib.metadata import version as _version

project = "kelvane"
copyright = "the kelvane developers"
release = _version("kelvane")
version = release

extensions = [
    "myst_parser",
    "sphinx.ext.autodoc",
    "sphinx.ext.napoleon",
    # The lma reference, generated from kelvane.cli.build_parser().
    "sphinxarg.ext",
]

source_suffix = {".md": "markdown"}
root_doc = "index"
exclude_patterns = ["_build"]

myst_enable_extensions = ["colon_fence"]
# Headings get anchors so that a page can link to a section of another.
myst_heading_anchors = 3

html_theme = "furo"
html_title = f"kelvane {release}"

autodoc_typehints = "description"
autodoc_member_order = "bysource"
autodoc_default_options = {"members": True, "show-inheritance": True}
napoleon_google_docstring = False
napoleon_numpy_docstring = True
# Attributes sections as fields of their class, not as entries of their own
# that would repeat the named tuples' fields.
napoleon_use_ivar = True

# Names Sphinx would link to another project's inventory. None is fetched
# (the build runs offline), so each is named in the text instead.
nitpick_ignore = [
    # NumPy's array: what every result holds.
    ("py:class", "numpy.ndarray"),
    # What to_pandas, to_xarray and open_dataset return.
    ("py:class", "pandas.DataFrame"),
    ("py:class", "xarray.Dataset"),
    # The same class by its module, as some xarray releases name it in a
    # signature.
    ("py:class", "xarray.core.dataset.Dataset"),
    # The standard library's: a path argument, and what build_parser
    # returns.
    ("py:class", "os.PathLike"),
    ("py:class", "argparse.ArgumentParser"),
    ("py:mod", "argparse"),
    # The (tags, traces) pair of read_events and iterate, described with
    # them rather than as a class of its own.
    ("py:class", "kelvane.batch.Events"),
    # Damage's private base, the tuple of its first three fields.
    ("py:class", "kelvane.damage._Where"),
    # NumPy's type object, which Run.file_dtype returns.
    ("py:class", "numpy.dtype"),
]
nitpick_ignore_regex = [
    # The words of NumPy-style type descriptions ("sequence of int or
    # str, optional", '{"float64", "raw"}', "dict of str to array"):
    # prose about a type, not the name of a class.
    ("py:class", r"optional|sequence|iterable|mapping|floating dtype|"
                 r"a list|them|URL|binary file object|array_like|path|"
                 r".* to .*|\{.*|.*\}|\".*\"|-?\d+"),
]

