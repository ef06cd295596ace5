"""The package version (read by the build without importing the package)."""

__version__ = "0.2.0"
