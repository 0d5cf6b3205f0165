"""A SolrCloud collection's shards and their usable replicas, from the cluster itself.

`shards` asks the Collections API (``/admin/collections?action=CLUSTERSTATUS``) of any node over HTTP, in javabin;
ZooKeeper is never contacted. A replica is usable when its state is ``active`` and its node is among the
cluster's ``live_nodes``; a shard that is not ``active`` (the parent left behind by a shard split, a sub-shard
still under construction) is not read, so no document is counted twice.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

from . import http
from ._http_errors import SolrError

__all__ = ["Replica", "Shard", "shards", "SolrError"]


@dataclass(frozen=True)
class Replica:
    """One usable copy of a shard: its core, where it lives, whether it leads, and its type (NRT, TLOG, PULL)."""

    name: str
    core: str
    node_name: str
    base_url: str
    type: str
    leader: bool

    @property
    def core_url(self) -> str:
        return self.base_url.rstrip("/") + "/" + self.core

    @property
    def export_url(self) -> str:
        return self.core_url + "/export"


@dataclass(frozen=True)
class Shard:
    """An active shard of `collection`, with its usable replicas: the leader first, then the others in the
    cluster's order."""

    collection: str
    name: str
    range: str | None
    replicas: tuple[Replica, ...]


def status_url(solr_url: str) -> str:
    return solr_url.rstrip("/") + "/admin/collections"


def shards(client: http.Client, solr_url: str, collection: str, *, timeout: Any = None) -> list[Shard]:
    """The active shards of `collection` (an alias: of each collection it names, in its order), from the
    CLUSTERSTATUS answer of the node at `solr_url` (``http://host:8983/solr``).

    Raises `SolrError` for an error answer, for a collection the answer does not hold, and for a shard without a
    usable replica (the message names the shard and why each replica was left out).
    """
    url = status_url(solr_url)
    answer = http.fetch_javabin(client, url, {"action": "CLUSTERSTATUS", "collection": collection}, timeout)
    cluster = answer.get("cluster") if isinstance(answer, dict) else None
    if not isinstance(cluster, dict):
        raise _malformed(url, "it has no cluster entry")
    collections = cluster.get("collections") or {}
    live = set(cluster.get("live_nodes") or [])
    found: list[Shard] = []
    for name in _resolved(collection, collections, cluster.get("aliases") or {}, url):
        state = collections[name]
        if not isinstance(state, dict) or not isinstance(state.get("shards"), dict):
            raise _malformed(url, f"collection {name} has no shards entry")
        for shard_name, shard in state["shards"].items():
            if isinstance(shard, dict) and shard.get("state", "active") == "active":
                found.append(_shard(name, shard_name, shard, live, url))
    return found


def _resolved(collection: str, collections: dict[str, Any], aliases: dict[str, Any], url: str) -> list[str]:
    """The collections `collection` stands for: itself, or the ones its alias lists."""
    if collection in collections:
        return [collection]
    alias = aliases.get(collection)
    names = [n.strip() for n in alias.split(",") if n.strip()] if isinstance(alias, str) else []
    missing = [n for n in names if n not in collections]
    if not names or missing:
        held = ", ".join(sorted(collections)) or "none"
        raise SolrError(f"collection {missing[0] if missing else collection} is not in the cluster status "
                        f"(collections there: {held})", code=None, status=200, url=url)
    return names


def _shard(collection: str, name: str, shard: dict[str, Any], live: set[str], url: str) -> Shard:
    usable: list[Replica] = []
    left_out: list[str] = []
    for replica_name, r in (shard.get("replicas") or {}).items():
        node = r.get("node_name", "")
        if r.get("state") != "active":
            left_out.append(f"{replica_name} on {node} is {r.get('state', 'without a state')}")
        elif node not in live:
            left_out.append(f"{replica_name} on {node}: the node is not live")
        else:
            usable.append(Replica(replica_name, r["core"], node, r["base_url"], str(r.get("type", "NRT")),
                                  r.get("leader") == "true"))
    if not usable:
        why = "; ".join(left_out) or "it has no replicas"
        raise SolrError(f"shard {name} of collection {collection} has no usable replica ({why})",
                        code=None, status=200, url=url)
    usable.sort(key=lambda replica: not replica.leader)  # stable: the others keep the cluster's order
    return Shard(collection, name, shard.get("range"), tuple(usable))


def _malformed(url: str, why: str) -> SolrError:
    return SolrError(f"the CLUSTERSTATUS answer is not one: {why}", code=None, status=200, url=url)
