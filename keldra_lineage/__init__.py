"""Command line for column-level SQL lineage: ``keldra-lineage``.

The analysis itself is ``sqlparse_main.KeldraParseMain()._parse_sql(sql)``;
this package reads files, splits them into statements and writes the records.
"""
from importlib.metadata import PackageNotFoundError, version

try:
    __version__ = version("keldra-lineage")
except PackageNotFoundError:  # running from a source tree
    __version__ = "0+unknown"
