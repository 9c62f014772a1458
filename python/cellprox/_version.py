"""The release number: the one place it is written (the build reads it from here too)."""
__version__ = "0.1.0"
