"""Shared test settings: memory-bound tests do not run against the sanitizer build, whose quarantine keeps
freed memory on purpose."""

import os

import pytest


def pytest_collection_modifyitems(config, items):
    if os.environ.get("VELKORA_SANITIZED") != "1":
        return
    skip = pytest.mark.skip(reason="the sanitizer keeps freed memory in quarantine")
    for item in items:
        if "rss" in item.keywords:
            item.add_marker(skip)
