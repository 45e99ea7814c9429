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

# Names Sphinx would link to another project's inventory. None is fetched
# (the build runs offline), so each is named in the text instead.
nitpick_ignore = [
    # NumPy's array and dtype types: the results' arrays.
    ("py:class", "numpy.ndarray"),
    ("py:class", "np.ndarray"),
    ("py:class", "numpy.dtype"),
    ("py:class", "np.dtype"),
    ("py:class", "numpy.float64"),
    ("py:class", "numpy.int16"),
    ("py:class", "numpy.int32"),
    # pandas and xarray: what to_pandas, to_xarray and open_dataset return.
    ("py:class", "pandas.DataFrame"),
    ("py:class", "pd.DataFrame"),
    ("py:class", "xarray.Dataset"),
    ("py:class", "xr.Dataset"),
    ("py:class", "xarray.core.dataset.Dataset"),
    ("py:class", "xarray.backends.BackendEntrypoint"),
    # The standard library's, whose inventory is not fetched either.
    ("py:class", "os.PathLike"),
    ("py:class", "argparse.ArgumentParser"),
    ("py:class", "NoneType"),
    # A path: a str or an os.PathLike of one, as the signature says.
    ("py:class", "PathLike"),
    ("py:class", "kelvane.lmafile.PathLike"),
    # The (tags, traces) pair of read_events and iterate, described with
    # them.
    ("py:class", "kelvane.batch.Events"),
    # The base classes of Damage and the exceptions: documented by Python.
    ("py:class", "kelvane.damage._Where"),
]
nitpick_ignore_regex = [
    # The standard library's types in signatures (typing, builtins,
    # io, exceptions), named as Python documents them.
    ("py:class", r"(typing\.)?(Any|Optional|Union|Dict|List|Tuple|Mapping|"
                 r"Sequence|Iterator|Iterable|Callable|NamedTuple)"),
    ("py:class", r"(int|float|str|bytes|bool|object|dict|list|tuple|range|"
                 r"type|BaseException|Exception|OSError|ValueError|"
                 r"UserWarning|RuntimeWarning|TypeError|IndexError)"),
    ("py:class", r"(io\.|typing\.|collections\.abc\.).*"),
    ("py:(exc|class)", r"(OSError|ValueError|IndexError|TypeError|"
                       r"FileNotFoundError|SystemExit|MemoryError)"),
    ("py:mod", r"argparse"),
    # The words of NumPy-style type descriptions ("sequence of int or
    # str, optional", '{"float64", "raw"}', "dict of str to array"):
    # prose about a type, not the name of a class.
    ("py:class", r"optional|sequence|iterable|mapping|floating dtype|"
                 r"a list|them|URL|binary file object|"
                 r".* to .*|\{.*|.*\}|\".*\"|-?\d+"),
]
napoleon_use_ivar = True


def _public_name(app, env, node, contnode):
    """Resolves `kelvane.lmafile.Events` (as annotations name it) to the
    documented `kelvane.Events` when both are the same object."""
    import importlib

    import kelvane

    target = node.get("reftarget", "")
    if node.get("refdomain") != "py" or not target.startswith("kelvane."):
        return None
    module, _, name = target.rpartition(".")
    if name not in kelvane.__all__ or module == "kelvane":
        return None
    try:
        same = getattr(importlib.import_module(module), name, None) is \
            getattr(kelvane, name)
    except ImportError:
        return None
    if not same:
        return None
    return env.get_domain("py").resolve_xref(
        env, node["refdoc"], app.builder, node["reftype"],
        f"kelvane.{name}", node, contnode)


def setup(app):
    app.connect("missing-reference", _public_name)
