"""velkora.dask.read_export over three loopback shards: one partition per shard, equal to the shards read one
by one and concatenated, on the threaded scheduler and on a distributed cluster."""

import pyarrow as pa
import pytest

import javabin as jb
import velkora
from solr_node import schema_api

dd = pytest.importorskip("dask.dataframe")
pytest.importorskip("requests")
import velkora.dask as vd  # noqa: E402

SCHEMA = pa.schema([("id", pa.utf8()), ("n", pa.int64()), ("price", pa.float32()),
                    ("made", pa.timestamp("ms")), ("tags", pa.list_(pa.utf8()))])


def shard_body(shard, n):
    docs = [jb.MapEntryIter([("id", f"s{shard}-{i:03d}"), ("n", i * 10 + shard), ("price", jb.Float(i / 4)),
                             ("made", jb.Date(1_600_000_000_000 + i)), ("tags", jb.Iter(["x", "y"][: i % 3]))])
            for i in range(n)]
    return jb.encode(jb.MapEntryIter([
        ("responseHeader", jb.Map([("status", jb.Int(0))])),
        ("response", jb.MapEntryIter([("numFound", jb.solr_long(n)), ("docs", jb.Iter(docs))]))]))


@pytest.fixture
def shards(solr, solr_nodes):
    """Three shards on three nodes, of 120, 0 and 75 documents; (URLs, bodies)."""
    bodies = [shard_body(s, n) for s, n in enumerate([120, 0, 75])]
    urls = [node.serve(f"/solr/products_shard{s + 1}_replica_n1/export", body, chunk_size=1000)
            for s, (node, body) in enumerate(zip(solr_nodes, bodies))]
    return urls, bodies


def concatenated(bodies, schema=SCHEMA):
    return pa.concat_tables([pa.Table.from_batches([velkora.deserialize_arrow(b, schema)]) for b in bodies])


def same_frame(got, expected: pa.Table):
    """The computed frame holds exactly the rows of `expected` (dask may pick its own string dtype)."""
    assert pa.Table.from_pandas(got.reset_index(drop=True), schema=expected.schema, preserve_index=False) \
        .equals(expected)


PARAMS = {"q": "*:*", "sort": "id asc", "fl": "id,n,price,made,tags", "distrib": "false"}


def test_one_partition_per_shard_equal_to_the_shards_concatenated(shards, solr_nodes):
    urls, bodies = shards
    frame = vd.read_export(urls, PARAMS, SCHEMA, batch_size=50)
    assert frame.npartitions == 3 and list(frame.columns) == SCHEMA.names
    assert all(node.requests == [] for node in solr_nodes)  # nothing is read before compute
    got = frame.compute(scheduler="threads")
    same_frame(got, concatenated(bodies))
    assert dict(got.dtypes) == dict(frame.dtypes)  # the partitions match the frame's declared columns
    assert [len(frame.get_partition(i).compute(scheduler="sync")) for i in range(3)] == [120, 0, 75]
    for node, url in zip(solr_nodes, urls):
        assert all(p["wt"] == ["javabin"] and p["distrib"] == ["false"] for p in node.asked(url[len(node.base):]))


def test_on_a_distributed_cluster(shards):
    distributed = pytest.importorskip("distributed")
    urls, bodies = shards
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=False, dashboard_address=None) \
            as cluster, distributed.Client(cluster) as client:
        got = client.compute(vd.read_export(urls, PARAMS, SCHEMA)).result(timeout=60)
    same_frame(got, concatenated(bodies))


def test_a_failing_shard_fails_the_computation(shards, solr_nodes):
    urls, bodies = shards
    solr_nodes[2].serve(urls[2][len(solr_nodes[2].base):], bodies[2], cut="end", cut_at=len(bodies[2]) // 2)
    with pytest.raises(ValueError, match=r"^unexpected end of input at byte offset \d+$"):
        vd.read_export(urls, PARAMS, SCHEMA).compute(scheduler="sync")


def test_no_shards():
    with pytest.raises(ValueError, match="^read_export needs at least one shard URL$"):
        vd.read_export([], PARAMS, SCHEMA)


def test_schema_from_the_first_shards_schema_api(shards, solr_nodes):
    pytest.importorskip("velkora.schema")
    urls, bodies = shards
    fields = [{"name": "id", "type": "string"}, {"name": "n", "type": "plong"}]
    types = [{"name": "string", "class": "solr.StrField"}, {"name": "plong", "class": "solr.LongPointField"}]
    for path, respond in schema_api(fields, types).items():
        solr_nodes[0].serve("/solr/products_shard1_replica_n1" + path, respond)
    frame = vd.read_export(urls, {**PARAMS, "fl": "id,n"})
    assert list(frame.columns) == ["id", "n"]
    same_frame(frame.compute(scheduler="threads"), concatenated(bodies, pa.schema(list(SCHEMA)[:2])))
