"""velkora.dask.read_export over loopback shards; velkora.cloud.shards, velkora.dask.read_collection and
velkora.ray.read_collection on a loopback SolrCloud of three nodes."""

import re
import socket

import pyarrow as pa
import pytest

import javabin as jb
import velkora
from solr_node import cluster_status, export_body, export_failure, node_name, partitioned_export, \
    replica_state, schema_api, solr_error

dd = pytest.importorskip("dask.dataframe")
requests = pytest.importorskip("requests")
import velkora.cloud  # noqa: E402
import velkora.dask as vd  # noqa: E402

# A loopback SolrCloud: collection "products", three active shards of two usable replicas each (the leader
# not always listed first), a replica down, one on a node that is not live, and the inactive parent of a
# split. Each core's /export gives only the fields in fl.
SCHEMA = pa.schema([("id", pa.utf8()), ("n", pa.int64()), ("price", pa.float32()),
                    ("made", pa.timestamp("ms")), ("tags", pa.list_(pa.utf8()))])
CLOUD_SCHEMA = pa.schema(list(SCHEMA)[:3])
DOCS = [[("id", f"doc-{i:03d}"), ("n", i), ("price", jb.Float(i / 4)), ("made", jb.Date(1_600_000_000_000 + i)),
         ("tags", jb.Iter(["x", "y"][: i % 3]))] for i in range(87)]
CLOUD_DOCS = {"shard1": DOCS[:50], "shard2": DOCS[50:], "shard3": []}
PARAMS = {"q": "*:*", "sort": "id asc", "fl": "id,n,price,made,tags", "distrib": "false"}
CLOUD_PARAMS = {"q": "*:*", "sort": "id asc", "fl": "id,n,price"}
SOLR_TYPES = {"string": "StrField", "plong": "LongPointField", "pfloat": "FloatPointField"}
SCHEMA_API = schema_api([{"name": n, "type": t} for n, t in zip(CLOUD_SCHEMA.names, SOLR_TYPES)],
                        [{"name": t, "class": f"solr.{c}"} for t, c in SOLR_TYPES.items()])
LEADERS = [f"products_shard{s}_replica_n1" for s in (1, 2, 3)]  # on nodes 0, 1 and 2
# Each replica: shard, core_node number, core number n, the node it is on (None: an address nothing answers at)
# and its state. Shard 2 lists its leader second; shard0 is the inactive parent of a split.
REPLICAS = [("shard0", 9, 1, 0, {"leader": True}), ("shard1", 1, 1, 0, {"leader": True}),
            ("shard1", 2, 2, 1, {"type": "TLOG"}), ("shard1", 7, 3, 2, {"state": "down"}),
            ("shard2", 4, 2, 2, {"type": "TLOG"}), ("shard2", 3, 1, 1, {"leader": True}), ("shard2", 8, 3, None, {}),
            ("shard3", 5, 1, 2, {"leader": True}), ("shard3", 6, 2, 0, {"type": "PULL"})]


class Cloud:
    """The cluster's state (changed in place by a test: every node answers from it) and its nodes."""

    def __init__(self, nodes):
        self.nodes, self.shards, self.cores, self.url = nodes, {}, {}, nodes[1].base + "/solr"
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            self.dead = f"http://127.0.0.1:{s.getsockname()[1]}"
        for shard, number, n, on, state in REPLICAS:
            core, node = f"products_{shard}_replica_n{n}", self.dead if on is None else nodes[on]
            entry = self.shards.setdefault(shard, {"range": None, "replicas": {},
                                                   "state": "inactive" if shard == "shard0" else "active"})
            entry["replicas"][f"core_node{number}"] = replica_state(node, core, **state)
            if on is not None:
                self.cores[core] = node
                self.serve(core, partitioned_export(CLOUD_DOCS.get(shard, DOCS)))
                for path, respond in SCHEMA_API.items():
                    node.serve(f"/solr/{core}{path}", respond)
        self.live = [node_name(n) for n in nodes]
        for node in nodes:
            node.serve("/solr/admin/collections", cluster_status({"products": {"shards": self.shards}}, self.live,
                                                                 {"everything": "products"}))
        self.leader_urls = [self.cores[core].url(f"/solr/{core}/export") for core in LEADERS]

    def serve(self, core, respond, **delivery):
        self.cores[core].serve(f"/solr/{core}/export", respond, **delivery)

    def asked(self, core):
        return self.cores[core].asked(f"/solr/{core}/export")

    def refuse(self, core):
        """The core's node stays live in the cluster's view, but nothing answers at its address."""
        replica = next(r for s in self.shards.values() for r in s["replicas"].values() if r["core"] == core)
        replica.update(base_url=self.dead + "/solr", node_name=node_name(self.dead))
        self.live.append(node_name(self.dead))


@pytest.fixture
def cloud(solr, solr_nodes):
    return Cloud(solr_nodes)


@pytest.fixture(scope="module")
def dask_client():
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=False,
                                  dashboard_address=None) as cluster, \
            distributed.Client(cluster, set_as_default=False) as client:
        yield client


def holds_every_document(got, schema=CLOUD_SCHEMA, ordered=False):
    """`got` (pandas) holds exactly the documents, as `schema` gives them, in their order if `ordered`, else in
    that of the first column (dask may pick its own string dtype)."""
    expected = pa.Table.from_batches([velkora.deserialize_arrow(export_body(DOCS), schema)])
    table = pa.Table.from_pandas(got.reset_index(drop=True), preserve_index=False).cast(expected.schema)
    key = schema.names[0]
    assert table.equals(expected) if ordered else table.sort_by(key).equals(expected.sort_by(key))


def test_read_export_one_partition_per_shard_equal_to_the_shards_concatenated(cloud, dask_client):
    with pytest.raises(ValueError, match="^read_export needs at least one shard URL$"):
        vd.read_export([], PARAMS, SCHEMA)
    frame = vd.read_export(cloud.leader_urls, PARAMS, SCHEMA, batch_size=20)
    assert frame.npartitions == 3 and list(frame.columns) == SCHEMA.names
    assert all(node.requests == [] for node in cloud.nodes)  # nothing is read before compute
    got = frame.compute(scheduler="threads")
    holds_every_document(got, SCHEMA, ordered=True)
    assert dict(got.dtypes) == dict(frame.dtypes)  # the partitions match the frame's declared columns
    assert [len(frame.get_partition(i).compute(scheduler="sync")) for i in range(3)] == [50, 37, 0]
    assert all(p["wt"] == ["javabin"] and p["distrib"] == ["false"] for core in LEADERS for p in cloud.asked(core))
    frame = vd.read_export(cloud.leader_urls, {**PARAMS, "fl": "id,n"})  # schema: the first shard's Schema API
    assert list(frame.columns) == ["id", "n"]
    holds_every_document(dask_client.compute(frame).result(timeout=60), pa.schema(list(SCHEMA)[:2]), ordered=True)
    assert {p.split("/")[2] for n in cloud.nodes for p, _ in n.requests if "/schema" in p} == {LEADERS[0]}
    cloud.serve(LEADERS[1], partitioned_export(CLOUD_DOCS["shard2"]), cut="end", cut_at=-100)  # a shard fails
    with pytest.raises(ValueError, match=r"^unexpected end of input at byte offset \d+$"):
        vd.read_export(cloud.leader_urls, PARAMS, SCHEMA).compute(scheduler="sync")


@pytest.mark.parametrize("name", ["products", "everything"])
def test_shards_from_the_cluster_status(cloud, name):
    got = velkora.cloud.shards(requests.Session(), cloud.url, name)
    assert [(s.collection, s.name, [(r.name, r.type, r.leader) for r in s.replicas]) for s in got] == [
        ("products", "shard1", [("core_node1", "NRT", True), ("core_node2", "TLOG", False)]),
        ("products", "shard2", [("core_node3", "NRT", True), ("core_node4", "TLOG", False)]),
        ("products", "shard3", [("core_node5", "NRT", True), ("core_node6", "PULL", False)])]
    assert got[1].replicas[0].export_url == cloud.leader_urls[1]
    assert cloud.nodes[1].asked("/solr/admin/collections") == [
        {"action": ["CLUSTERSTATUS"], "collection": [name], "wt": ["javabin"]}]


def test_cluster_status_errors(cloud):
    url = cloud.url + "/admin/collections"
    with pytest.raises(velkora.cloud.SolrError, match=re.escape(
            f"Solr error 400: Collection: nosuch not found (HTTP 400 from {url}?")):
        velkora.cloud.shards(requests.Session(), cloud.url, "nosuch")
    cloud.shards["shard2"]["replicas"]["core_node3"]["state"] = "recovering"
    cloud.live.remove(node_name(cloud.nodes[2]))
    with pytest.raises(velkora.cloud.SolrError, match="^" + re.escape(
            "Solr error 200: shard shard2 of collection products has no usable replica (core_node4 on "
            f"{node_name(cloud.nodes[2])}: the node is not live; core_node3 on {node_name(cloud.nodes[1])} "
            f"is recovering; core_node8 on {node_name(cloud.dead)}: the node is not live) (HTTP 200 from "
            f"{url})")):
        velkora.cloud.shards(requests.Session(), cloud.url, "products")


def test_every_replica_failed(cloud):
    other = "products_shard1_replica_n2"
    cloud.serve(LEADERS[0], solr_error(503, "no servers hosting shard"))
    cloud.refuse(other)
    url = f"{cloud.nodes[0].base}/solr/{LEADERS[0]}"
    with pytest.raises(vd.ShardUnavailable, match="^" + re.escape(
            f"shard shard1 of collection products could not be read from any replica: {url}: SolrError: "
            f"Solr error 503: no servers hosting shard (HTTP 503 from {url}/export?") + r".*; "
            + re.escape(f"{cloud.dead}/solr/{other}: ConnectionError: ")):
        vd.read_collection(cloud.url, "products", CLOUD_PARAMS, CLOUD_SCHEMA).compute(scheduler="sync")


def test_a_request_solr_refuses_is_not_retried(cloud):
    cloud.serve(LEADERS[0], export_failure("undefined field nosuch"))
    with pytest.raises(velkora.http.SolrError, match="undefined field nosuch"):
        vd.read_collection(cloud.url, "products", CLOUD_PARAMS, CLOUD_SCHEMA).compute(scheduler="sync")
    assert cloud.asked("products_shard1_replica_n2") == []


@pytest.fixture(scope="module")
def velkora_ray():
    ray = pytest.importorskip("ray")
    try:
        ray.init(num_cpus=1, include_dashboard=False, log_to_driver=False)
    except Exception as error:  # a machine where Ray's processes cannot start
        pytest.skip(f"Ray cannot start here: {error}")
    import velkora.ray

    yield velkora.ray
    ray.shutdown()


FAILURES = {  # how a leader fails: nothing answers at its address, it answers 503, or its answer is cut short
    "refused": lambda cloud, core: cloud.refuse(core),
    "503": lambda cloud, core: cloud.serve(core, solr_error(503, "no servers hosting shard")),
    **{f"cut at {at}": lambda cloud, core, at=at: cloud.serve(core, partitioned_export(CLOUD_DOCS[core.split("_")[1]]),
                                                              cut="drop", cut_at=at, chunk_size=at // 3)
       for at in (300, 600)}}


# reader, collection or alias, schema (None: the Schema API's), splits per shard, a leader's failure and its shard,
# and how the columns are narrowed to n: by dask's projection of the frame, or by the columns asked
@pytest.mark.parametrize("reader, name, schema, splits, failure, failed, by", [
    *[(reader, "everything", schema, *case, None) for reader, schema in [("dask", None), ("ray", CLOUD_SCHEMA)]
      for case in [(1, None, None), (3, None, None), (3, "cut at 300", 2)]],
    *[("dask", "products", CLOUD_SCHEMA, 1, failure, 1, None) for failure in ("refused", "503", "cut at 600")],
    *[("dask", "products", CLOUD_SCHEMA, 1, None, None, by) for by in ("dask", "columns")]])
def test_read_collection_reads_every_document_once(cloud, request, reader, name, schema, splits, failure, failed, by):
    if failure:
        FAILURES[failure](cloud, LEADERS[failed - 1])
    fl = ["n"] if by else CLOUD_SCHEMA.names
    if reader == "ray":
        got = request.getfixturevalue("velkora_ray").read_collection(cloud.url, name, CLOUD_PARAMS, schema,
                                                                      splits_per_shard=splits).to_pandas()
    else:
        frame = vd.read_collection(cloud.url, name, CLOUD_PARAMS, schema, splits_per_shard=splits,
                                   columns=fl if by == "columns" else None)
        assert frame.npartitions == 3 * splits and list(frame.columns) == (CLOUD_SCHEMA.names if by == "dask" else fl)
        got = request.getfixturevalue("dask_client").compute(frame[fl] if by == "dask" else frame).result(timeout=60)
    holds_every_document(got, pa.schema([CLOUD_SCHEMA.field(column) for column in fl]))
    schema_paths = [p for n in cloud.nodes for p, _ in n.requests if "/schema" in p]
    parts = [*["fields", "dynamicfields", "fieldtypes"] * (schema is None), *["uniquekey"] * (splits > 1)]
    assert sorted(schema_paths) == sorted(f"/solr/products_shard1_replica_n1/schema/{part}" for part in parts)
    # what every request asks: distrib, fl, numWorkers and partitionKeys
    wanted = (["false"], [",".join(fl)], *(([str(splits)], ["id"]) if splits > 1 else (None, None)))
    for s in (1, 2, 3):  # split i starts on replica i modulo 2, and is read again on the other when that fails
        asked = [cloud.asked(f"products_shard{s}_replica_n{r}") for r in (1, 2)]
        lead, other = ["0", "2"][:len(range(0, splits, 2))], ["1"][:splits // 2]
        if s == failed:
            lead, other = lead * (failure != "refused"), sorted(other + lead)
        assert [sorted(p.get("workerId", ["0"])[0] for p in on) for on in asked] == [lead, other]
        for p in asked[0] + asked[1]:
            assert (p["distrib"], p["fl"], p.get("numWorkers"), p.get("partitionKeys")) == wanted
    # the split parent, the down replica and the one on a node that is not live are never asked
    assert cloud.asked("products_shard0_replica_n1") == [] and cloud.asked("products_shard1_replica_n3") == []
