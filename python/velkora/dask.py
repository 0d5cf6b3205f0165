"""A collection's /export as a dask DataFrame, one partition per shard or shard split.

Each partition streams its shard's ``/export`` through `ArrowStreamDecoder` on whichever worker runs it, so a
collection larger than one machine's memory is read by many machines at once. `read_collection` finds the
shards and their replicas in the cluster's own status and fails over between replicas; `read_export` reads
the URLs it is given. Needs the ``dask`` extra.
"""

from __future__ import annotations

from collections.abc import Callable, Iterable, Sequence
from typing import TYPE_CHECKING, Any, Literal

from . import _splits, http

if TYPE_CHECKING:
    import dask.dataframe
    import pandas
    import pyarrow

__all__ = ["read_collection", "read_export", "ShardUnavailable"]

ShardUnavailable = _splits.ShardUnavailable


_requests_session = _splits.requests_session


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


class SplitReader:
    """One partition per split: a split's documents as a pandas DataFrame. Dask passes the `columns` a
    computation needs, and the split asks Solr for those fields only."""

    def __init__(self, read: _splits.SplitRead) -> None:
        self.read = read

    def __call__(self, split: _splits.Split, columns: Sequence[str] | None = None) -> pandas.DataFrame:
        read = self.read
        if columns is not None and list(columns) != read.schema.names:
            read = read.narrowed(columns)
        return arrow_backed(read.table(split))


def read_collection(solr_url: str, collection: str, params: http.Params, schema: Any = None, *,
                    splits_per_shard: int = 1, client_factory: Callable[[], http.Client] | None = None,
                    columns: Sequence[str] | None = None, partition_keys: str | None = None,
                    batch_size: int = 65536, children: Literal["skip", "explode"] = "skip",
                    timeout: Any = None) -> dask.dataframe.DataFrame:
    """A dask DataFrame of `collection`'s ``/export`` answer to `params`, one partition per shard and split.

    The shards and their usable replicas come from the CLUSTERSTATUS answer of the node at `solr_url`
    (``http://host:8983/solr``; an alias works as `collection`), asked now. Split i of `splits_per_shard`
    asks ``numWorkers``, ``workerId`` and ``partitionKeys`` (the unique key unless given) of one core
    (``distrib=false``); a shard's splits start on its replicas in turn, so they see one commit only when the
    replicas hold the same. A split whose replica refuses the connection, answers 5xx or is cut short is read
    again from its start on the shard's next replica; when every replica failed the computation raises
    `ShardUnavailable`, naming the shard and each replica's error. `schema` is a pyarrow schema, or None to ask
    the Schema API once for the fields in ``fl``; `columns` narrows ``fl`` (and Dask's own column projection
    does the same). `client_factory` makes the HTTP client of each partition (default ``requests.Session``);
    it must be picklable for a cluster.
    """
    import dask.dataframe as dd

    factory = client_factory or _requests_session
    splits, params, schema, keys = _splits.prepare(solr_url, collection, params, schema, columns, partition_keys,
                                                   splits_per_shard, factory, timeout)
    http._output_schema(schema, children)  # a schema the decoder refuses fails here, not on every replica
    reader = SplitReader(_splits.SplitRead(params, schema, keys, batch_size, children, factory, timeout))
    frame: dask.dataframe.DataFrame = dd.from_map(  # type: ignore[no-untyped-call]
        reader, splits, meta=arrow_backed(schema.empty_table()), label="solr-collection", enforce_metadata=False)
    return frame
