"""vantrel: a Python client for a remote data server, with a C++ connection core.

``vantrel.connection`` is the compiled connection; ``vantrel._pyconnection`` is
its pure-Python twin, kept as a test oracle and a benchmark baseline.
"""

__version__ = "0.1.0"
