"""A collection's /export as a Ray Dataset, one read task per shard split.

The shards, splits and replica failover are those of `velkora.dask.read_collection`; each read task streams its
split through `ArrowStreamDecoder` on the Ray worker that runs it and hands on Arrow blocks. Needs the ``ray``
extra (this module imports ray; ``import velkora`` does not).
"""

from __future__ import annotations

import functools
from collections.abc import Callable, Sequence
from typing import TYPE_CHECKING, Any, Literal

import ray.data
from ray.data.block import BlockMetadata
from ray.data.datasource import ReadTask

from . import _splits, http

if TYPE_CHECKING:
    import pyarrow

__all__ = ["read_collection", "SolrCollectionDatasource", "ShardUnavailable"]

ShardUnavailable = _splits.ShardUnavailable


class SolrCollectionDatasource(ray.data.Datasource):
    """The splits of one collection read; each read task's block is one split's documents, read whole on one
    replica (a failed attempt leaves no rows behind)."""

    def __init__(self, read: _splits.SplitRead, splits: Sequence[_splits.Split]) -> None:
        super().__init__()  # type: ignore[no-untyped-call]
        self.read, self.splits = read, list(splits)

    def estimate_inmemory_data_size(self) -> int | None:
        return None

    def get_read_tasks(self, parallelism: int, per_task_row_limit: int | None = None,
                       data_context: Any = None) -> list[ReadTask]:
        # one task per split whatever the parallelism asked: a split is what Solr partitions by
        unknown = BlockMetadata(num_rows=None, size_bytes=None, input_files=None, exec_stats=None)
        return [ReadTask(functools.partial(_read_split, self.read, split), unknown, schema=self.read.schema,
                         per_task_row_limit=per_task_row_limit) for split in self.splits]


def _read_split(read: _splits.SplitRead, split: _splits.Split) -> list[pyarrow.Table]:
    return [read.table(split)]


def read_collection(solr_url: str, collection: str, params: http.Params, schema: Any = None, *,
                    splits_per_shard: int = 1, client_factory: Callable[[], http.Client] | None = None,
                    columns: Sequence[str] | None = None, partition_keys: str | None = None,
                    batch_size: int = 65536, children: Literal["skip", "explode"] = "skip",
                    timeout: Any = None) -> ray.data.Dataset:
    """A `ray.data.Dataset` of `collection`'s ``/export`` answer to `params`, one read task per shard and split.

    The arguments, the splits and the failover between replicas are those of `velkora.dask.read_collection`;
    a split that no replica could give raises `ShardUnavailable` from the computation. The shards are found
    now; the documents are read when the dataset is consumed.
    """
    factory = client_factory or _splits.requests_session
    splits, params, schema, keys = _splits.prepare(solr_url, collection, params, schema, columns, partition_keys,
                                                   splits_per_shard, factory, timeout)
    http._output_schema(schema, children)
    read = _splits.SplitRead(params, schema, keys, batch_size, children, factory, timeout)
    dataset: ray.data.Dataset = ray.data.read_datasource(SolrCollectionDatasource(read, splits),
                                                         override_num_blocks=len(splits))
    return dataset
