"""The package's version, read by the build (pyproject.toml) and by `korvel.__version__`."""

__version__ = "0.1.0"
