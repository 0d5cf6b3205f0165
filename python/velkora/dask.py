"""python/velkora/dask.py: a collection's /export as a dask DataFrame, one partition per shard.

Each partition streams its shard's ``/export`` through `ArrowStreamDecoder` on whichever worker runs it, so a
collection larger than one machine's memory is read by many machines at once. Needs the ``dask`` extra.
"""

from __future__ import annotations

from collections.abc import Callable, Iterable
from typing import TYPE_CHECKING, Any, Literal

from . import http

if TYPE_CHECKING:
    import dask.dataframe
    import pandas
    import pyarrow

__all__ = ["read_export"]


def _requests_session() -> http.Client:
    import requests

    return requests.Session()


class ShardReader:
    """One partition: a shard's /export read into a pandas DataFrame. Pickled to the workers, so it holds
    only plain values and a picklable client factory; the client is made on the worker."""

    def __init__(self, params: http.Params, schema: pyarrow.Schema, batch_size: int,
                 children: Literal["skip", "explode"], client_factory: Callable[[], http.Client],
                 timeout: Any) -> None:
        self.params = params
        self.schema = schema
        self.batch_size = batch_size
        self.children: Literal["skip", "explode"] = children
        self.client_factory = client_factory
        self.timeout = timeout

    def __call__(self, shard_url: str) -> pandas.DataFrame:
        client = self.client_factory()
        try:
            table = http.read_arrow(client, shard_url, self.params, self.schema, self.batch_size, self.children,
                                    timeout=self.timeout)
        finally:
            client.close()
        return arrow_backed(table)


def arrow_backed(table: pyarrow.Table) -> pandas.DataFrame:
    """`table` as pandas with Arrow-backed columns: types kept exactly, and list columns stay lists (dask turns
    object columns into text)."""
    import pandas

    return table.to_pandas(types_mapper=pandas.ArrowDtype)


def read_export(shard_urls: Iterable[str], params: http.Params, schema: Any = None, batch_size: int = 65536, *,
                children: Literal["skip", "explode"] = "skip",
                client_factory: Callable[[], http.Client] | None = None,
                timeout: Any = None) -> dask.dataframe.DataFrame:
    """A dask DataFrame with one partition per shard, each that shard's ``/export`` answer to `params`.

    `shard_urls` are the shards' full /export URLs (``http://host:8983/solr/products_shard1_replica_n1/export``;
    add ``distrib=false`` to `params` when a URL names a collection rather than a core). `schema` is a pyarrow
    schema, or None to ask the first shard's Schema API for the fields in ``fl``. `client_factory` makes the
    HTTP client each partition uses (default ``requests.Session``); it must be picklable for a cluster.
    Columns are Arrow-backed (``pandas.ArrowDtype``), exactly the schema's types. Nothing is read until the
    frame is computed; a shard that fails raises from the computation.
    """
    import dask.dataframe as dd
    import pyarrow

    urls = list(shard_urls)
    if not urls:
        raise ValueError("read_export needs at least one shard URL")
    factory = client_factory or _requests_session
    if schema is None:
        client = factory()
        try:
            schema = http.schema_from_solr(client, urls[0], params, timeout)
        finally:
            client.close()
    schema = pyarrow.schema(schema)
    reader = ShardReader(params, schema, batch_size, children, factory, timeout)
    frame: dask.dataframe.DataFrame = dd.from_map(  # type: ignore[no-untyped-call]
        reader, urls, meta=arrow_backed(schema.empty_table()), label="solr-export", enforce_metadata=False)
    return frame
