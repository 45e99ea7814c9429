"""kelvane: reading LMA waveform files.

The reader itself is the extension module :mod:`kelvane.lmafmt`.
"""
