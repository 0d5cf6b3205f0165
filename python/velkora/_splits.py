"""A collection read as shard splits, each split's /export read with replica failover.

Split i of N asks its replica's core for ``numWorkers=N&workerId=i&partitionKeys=<key>``: Solr sends each
document to exactly one worker by a hash of its keys, so the N splits of a shard hold its documents once each.
The splits of a shard start on its replicas in turn; a split whose replica fails is read again, from its first
byte, on the shard's next replica. Shared by `velkora.dask` and `velkora.ray`, which run `SplitRead` where
their workers are.
"""

from __future__ import annotations

import functools
from collections.abc import Callable, Sequence
from dataclasses import dataclass, replace
from typing import TYPE_CHECKING, Any, Literal

from . import cloud, http
from ._http_errors import SolrError

if TYPE_CHECKING:
    import pyarrow

__all__ = ["ShardUnavailable", "Split", "SplitRead", "plan"]

Children = Literal["skip", "explode"]
ClientFactory = Callable[[], "http.Client"]


class ShardUnavailable(RuntimeError):
    """No replica of a shard could be read: ``shard`` and ``collection`` name it, ``errors`` holds each
    replica's core URL with the error it gave, in the order they were tried."""

    def __init__(self, collection: str, shard: str, errors: Sequence[tuple[str, str]]) -> None:
        tried = "; ".join(f"{url}: {error}" for url, error in errors)
        super().__init__(f"shard {shard} of collection {collection} could not be read from any replica: {tried}")
        self.collection, self.shard, self.errors = collection, shard, list(errors)

    def __reduce__(self) -> tuple[Any, tuple[()]]:
        return functools.partial(type(self), self.collection, self.shard, self.errors), ()


@dataclass(frozen=True)
class Split:
    """Split `index` of `count` of a shard, with the replicas to try in order."""

    collection: str
    shard: str
    index: int
    count: int
    replicas: tuple[cloud.Replica, ...]


def plan(shards: Sequence[cloud.Shard], splits_per_shard: int) -> list[Split]:
    """`splits_per_shard` splits of each shard; split i starts on replica i modulo their number."""
    if splits_per_shard < 1:
        raise ValueError(f"splits_per_shard must be at least 1, got {splits_per_shard}")
    splits = []
    for shard in shards:
        for i in range(splits_per_shard):
            turn = i % len(shard.replicas)
            splits.append(Split(shard.collection, shard.name, i, splits_per_shard,
                                shard.replicas[turn:] + shard.replicas[:turn]))
    return splits


def split_pairs(params: http.Params, split: Split, partition_keys: str) -> list[tuple[str, str]]:
    """The query of one split: `params` kept on its core, partitioned when the shard is split. An unsplit shard
    asks no partition, so the HTTP layer can still check its count against ``numFound``."""
    extra = {"distrib": "false"}
    if split.count > 1:
        extra |= {"numWorkers": str(split.count), "workerId": str(split.index), "partitionKeys": partition_keys}
    return http.query_pairs(params, **extra)


def with_fl(params: http.Params, columns: Sequence[str]) -> list[tuple[str, str]]:
    return [*[(k, v) for k, v in http.query_pairs(params) if k != "fl"], ("fl", ",".join(columns))]


def retried(error: Exception) -> bool:
    """Whether another replica may answer where this one failed: anything but Solr refusing the request
    itself (a 4xx, or an in-band report of a 200), which every replica would refuse alike."""
    return not (isinstance(error, SolrError) and error.status < 500)


@dataclass(frozen=True)
class SplitRead:
    """What every split of one read shares; called with a split, returns its documents as one table. Pickled
    to the workers, so it holds plain values and a picklable client factory; the client is made where it runs."""

    params: http.Params
    schema: pyarrow.Schema
    partition_keys: str
    batch_size: int
    children: Children
    client_factory: ClientFactory
    timeout: Any

    def narrowed(self, columns: Sequence[str]) -> SplitRead:
        """The same read of `columns` only: ``fl`` and the schema narrowed to them."""
        return replace(self, params=with_fl(self.params, columns), schema=self.schema_of(columns))

    def schema_of(self, columns: Sequence[str]) -> pyarrow.Schema:
        import pyarrow

        return pyarrow.schema([self.schema.field(name) for name in columns])

    def table(self, split: Split) -> pyarrow.Table:
        errors: list[tuple[str, str]] = []
        pairs = split_pairs(self.params, split, self.partition_keys)
        client = self.client_factory()
        try:
            for replica in split.replicas:
                try:
                    # read whole before anything is handed on: a failed attempt leaves no rows behind
                    return http.read_arrow(client, replica.export_url, pairs, self.schema, self.batch_size,
                                           self.children, timeout=self.timeout)
                except Exception as error:
                    if not retried(error):
                        raise
                    errors.append((replica.core_url, f"{type(error).__name__}: {error}"))
        finally:
            client.close()
        raise ShardUnavailable(split.collection, split.shard, errors)


def requests_session() -> http.Client:
    import requests

    return requests.Session()


def prepare(solr_url: str, collection: str, params: http.Params, schema: Any, columns: Sequence[str] | None,
            partition_keys: str | None, splits_per_shard: int, client_factory: ClientFactory,
            timeout: Any) -> tuple[list[Split], http.Params, pyarrow.Schema, str]:
    """The splits, the parameters (``fl`` narrowed to `columns`), the schema (from the Schema API of the first
    shard's leader when None, asked once) and the partition keys (the unique key unless given)."""
    import pyarrow

    if columns is not None:
        params = with_fl(params, columns)
    client = client_factory()
    try:
        splits = plan(cloud.shards(client, solr_url, collection, timeout=timeout), splits_per_shard)
        if not splits:
            raise SolrError(f"collection {collection} has no active shard", code=None, status=200,
                            url=cloud.status_url(solr_url))
        core = splits[0].replicas[0].export_url
        if schema is None:
            schema = http.schema_from_solr(client, core, params, timeout)
        if partition_keys is None and splits_per_shard > 1:
            answer = http.fetch_javabin(client, http.collection_url(core) + "/schema/uniquekey", {}, timeout)
            partition_keys = answer.get("uniqueKey") if isinstance(answer, dict) else None
            if not isinstance(partition_keys, str):
                raise SolrError("the Schema API gave no uniqueKey to partition the shards by; pass partition_keys",
                                code=None, status=200, url=http.collection_url(core) + "/schema/uniquekey")
    finally:
        client.close()
    schema = pyarrow.schema(schema)
    if columns is not None:
        schema = pyarrow.schema([schema.field(name) for name in columns])
    return splits, params, schema, partition_keys or ""
