"""The web pages of a run: `lma view`, a live page served from this
process, and the figures it shares with a static report (`plots`).

The data layer (`data`: what is read, filled and kept per event) stays
apart from the page (`app`: widgets, plots, callbacks) and from the server
(`serve`: sockets, origins, start and stop). Needs Bokeh, the ``view``
extra; nothing here is imported by ``import kelvane``.
"""
