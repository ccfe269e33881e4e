"""A cluster's durable keys in a store every member shares: two members in processes of their own, a client in a
third asking and telling through one seed, and the key's state loaded back from the store once every member has
been replaced by a new one."""

import os
import uuid

import pytest
from cluster_support import FileStore, Nodes, stored_register

from vorel import SQL

pytestmark = pytest.mark.timeout(120)

KIND = "stored_register"


def store_config(which, tmp_path):
    if which == "sqlite":
        return {"sql": f"sqlite://{tmp_path / 'records.db'}?mode=rwc"}
    if which == "files":
        return {"files": str(tmp_path / "records")}
    found = os.environ.get("VOREL_TEST_POSTGRES")
    if not found:
        pytest.skip("no postgres server: VOREL_TEST_POSTGRES is not set (bash scripts/test.sh sets it)")
    return {"sql": found}


async def kept(store: dict, key: str):
    """The record the store holds for the key, read beside the cluster: (version, state) or None."""
    if "files" in store:
        return await FileStore(store["files"]).load(stored_register.name, key)
    async with SQL(store["sql"]) as sql:
        return await sql.load(stored_register.name, key)


async def members_and_client(nodes, store):
    a = await nodes.process(store=store)
    b = await nodes.process(seeds=[a.address], store=store)
    both = {a.address: "alive", b.address: "alive"}
    await a.until_members(both)
    await b.until_members(both)
    client = await nodes.process(client=True, seeds=[a.address])
    await client.until_members(both)
    return a, b, client


@pytest.fixture
async def nodes():
    made = Nodes()
    yield made
    await made.close()


@pytest.mark.parametrize("which", ["postgres", "sqlite", "files"])
async def test_a_durable_key_loads_back_from_the_store_after_every_member_restarted(nodes, tmp_path, which):
    store = store_config(which, tmp_path)
    key = f"k-{uuid.uuid4().hex}"
    a, b, client = await members_and_client(nodes, store)

    value, first = await client.ask(KIND, key, put=5)
    assert value == 5 and first in (a.address, b.address)
    await client.tell(KIND, key, put=6)
    assert (await client.ask(KIND, key))[0] == 6
    # A durable write is answered once the store kept it: its record is there before anything else happens.
    version, state = await kept(store, key)
    assert len(version) == 32 and state

    # Nothing of the key is left in any memory: one member leaves, the other is killed, the client goes too.
    assert await a.exit() == 0
    assert await b.kill() != 0
    assert await client.exit() == 0

    c, d, again = await members_and_client(nodes, store)
    value, node = await again.ask(KIND, key)
    assert value == 6 and node in (c.address, d.address)
    # The new owner's writes go on from the loaded record, a greater version in the store.
    assert (await again.ask(KIND, key, put=7))[0] == 7
    assert (await kept(store, key))[0] > version
    assert (await again.ask(KIND, key))[0] == 7

