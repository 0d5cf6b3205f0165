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


# ---------------------------------------------------------------------------
# Loopback Solr nodes for the HTTP tests: started once for the session, routes cleared after each test.

@pytest.fixture(scope="session")
def solr_nodes():
    from solr_node import SolrNode

    nodes = [SolrNode() for _ in range(3)]
    yield nodes
    for node in nodes:
        node.close()


@pytest.fixture
def solr(solr_nodes):
    """One loopback Solr node (the first of `solr_nodes`), its routes cleared after the test."""
    yield solr_nodes[0]
    for node in solr_nodes:
        node.reset()
