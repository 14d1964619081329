"""Modules the tests use beside the stores, loaded on demand."""
import importlib

import pytest


def importable(name):
    """A module the tests use beside the stores, or a skip when it does not
    load: the interpreter's sqlite3 and psycopg's libpq need system libraries
    that the installed-wheel run hides (the modules under test carry their own)."""
    try:
        return importlib.import_module(name)
    except ImportError as e:
        pytest.skip(f"{name} does not load: {e}")
