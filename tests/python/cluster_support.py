"""Clusters on loopback for the tests, the example and the benchmark: nodes as processes driven over JSON lines, or
as systems in this process, behind one interface.

A node process runs this module (`python -c "import cluster_support; cluster_support.serve()" CONFIG`): it enters an
`ActorSystem` given a `vorel.Cluster` (or a `Client`), prints one "ready" line, then takes one command per line on
stdin and answers each on stdout, while its observer prints every event as a line of its own. It ends on the
command "exit" (leaving its block normally), "raise" (leaving it with an exception), a closed stdin (its parent
went away: it ends at once) or a signal. Every actor type a test uses lives here, so each process names it
"cluster_support:..." and finds the same body.
"""

from __future__ import annotations

import asyncio
import contextlib
import dataclasses
import hashlib
import inspect
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
from dataclasses import dataclass
from datetime import timedelta

import vorel
from vorel import ActorSystem, Client, Context, Ref, actor, nobody

HERE = os.path.dirname(os.path.abspath(__file__))

# Limits on every wait of the harness, in seconds.
READY = 20.0
ANSWER = 20.0
EXITED = 20.0


# ---------------------------------------------------------------------------------------------------------------
# Actor types


@dataclass(frozen=True)
class Seen:
    """A register's value and the node that answered for it."""

    value: int
    node: str | None


@dataclass(frozen=True)
class Put:
    value: int
    reply_to: Ref[Seen]


@dataclass(frozen=True)
class Get:
    reply_to: Ref[Seen]


async def _register(ctx: Context[int, Put | Get]) -> None:
    here = ctx.system.node.address
    async for m in ctx.inbox:
        match m:
            case Put(value, reply_to):
                await ctx.state.set(value)
                reply_to.tell(Seen(value, here))
            case Get(reply_to):
                reply_to.tell(Seen(ctx.state.value, here))


@actor(initial=0)
async def register(ctx: Context[int, Put | Get]):
    """A value written at "majority", the default write level."""
    await _register(ctx)


@actor(initial=0, write="one")
async def register_one(ctx: Context[int, Put | Get]):
    await _register(ctx)


@actor(initial=0, write="all")
async def register_all(ctx: Context[int, Put | Get]):
    await _register(ctx)


@dataclass(frozen=True)
class Echo:
    n: int
    reply_to: Ref[int]


@actor(initial=0)
async def echo(ctx: Context[int, Echo]):
    """Answers at once, writing nothing: what an ask costs on its road alone."""
    async for m in ctx.inbox:
        m.reply_to.tell(m.n)


TYPES = {t.name.rpartition(":")[2]: t for t in (register, register_one, register_all, echo)}


@actor(initial=0, durable="write")
async def stored_register(ctx: Context[int, Put | Get]):
    """A register whose every write the store keeps before it is answered."""
    await _register(ctx)


@dataclass(frozen=True)
class Logged:
    """Every value a ledger took, in order, and the node that answered for it."""

    entries: tuple[int, ...]
    node: str | None


@dataclass(frozen=True)
class Append:
    value: int
    reply_to: Ref[Logged]


@dataclass(frozen=True)
class Read:
    reply_to: Ref[Logged]


@actor(initial=())
async def ledger(ctx: Context[tuple[int, ...], Append | Read]):
    """Appends each value put (at "majority") and answers with the whole history: two owners taking writes of one
    key at once leave two histories, neither a prefix of the other."""
    here = ctx.system.node.address
    async for m in ctx.inbox:
        match m:
            case Append(value, reply_to):
                await ctx.state.set(ctx.state.value + (value,))
                reply_to.tell(Logged(ctx.state.value, here))
            case Read(reply_to):
                reply_to.tell(Logged(ctx.state.value, here))


TYPES["ledger"] = ledger
# Hosted from the start only by the members given a store, which a durable type needs.
TYPES["stored_register"] = stored_register


def hosted(config: dict):
    """The types a member hosts from the start."""
    return [t for t in TYPES.values() if config.get("store") or t.durable is None]


def message(name: str, put: int | None, n: int | None, told: bool = False):
    """The message a command names: a number for the echo, else a Put of `put` or a Get; a told one is answered
    to nobody, an asked one gets its reply target from the ask."""
    to = nobody() if told else None
    if name == "echo":
        return Echo(n or 0, to)
    if name == "ledger":
        return Read(to) if put is None else Append(put, to)
    return Get(to) if put is None else Put(put, to)


def answered(value) -> object:
    if isinstance(value, Logged):
        return [list(value.entries), value.node]
    return [value.value, value.node] if isinstance(value, Seen) else value


# ---------------------------------------------------------------------------------------------------------------
# Settings


# Short periods, so that failures are detected and removed members forgotten within a second or two.
FAST = {
    "heartbeat": 0.1,
    "suspect_after": 1.0,
    "dead_after": 1.0,
    "remove_after": 1.0,
    "anti_entropy": 0.25,
    "graft_after": 0.1,
    "shuffle_every": 1.0,
}


def seconds(s: float) -> timedelta:
    return timedelta(seconds=s)


def tls_of(tls: dict | None) -> vorel.Tls | None:
    return None if tls is None else vorel.Tls(**tls)


def cluster(bind: str, seeds: list[str], *, name: str = "test", periods: dict | None = None,
            tls: dict | None = None) -> vorel.Cluster:
    """The settings of a member listening at `bind` and joining through `seeds`."""
    p = {**FAST, **(periods or {})}
    return vorel.Cluster(
        bind,
        seeds=tuple(seeds),
        name=name,
        heartbeat=seconds(p["heartbeat"]),
        suspect_after=seconds(p["suspect_after"]),
        dead_after=seconds(p["dead_after"]),
        remove_after=None if p["remove_after"] is None else seconds(p["remove_after"]),
        anti_entropy=seconds(p["anti_entropy"]),
        overlay=vorel.Overlay(graft_after=seconds(p["graft_after"]), shuffle_every=seconds(p["shuffle_every"])),
        tls=tls_of(tls),
    )


def free_ports(count: int) -> list[int]:
    """Ports of 127.0.0.1 nobody listens on now, all different (held open together while they are picked)."""
    sockets = [socket.socket() for _ in range(count)]
    try:
        for s in sockets:
            s.bind(("127.0.0.1", 0))
        return [s.getsockname()[1] for s in sockets]
    finally:
        for s in sockets:
            s.close()


class Pki:
    """A certificate authority and one certificate for every node, made with the openssl tool in a directory of
    their own; `stranger()` gives the files of a node whose certificate another authority signed."""

    def __init__(self) -> None:
        if shutil.which("openssl") is None:
            raise RuntimeError("the TLS cases need the openssl tool on PATH")
        self.directory = tempfile.mkdtemp(prefix="vorel-cluster-tls-")
        self._authority("ca")
        self._signed("ca", "node")

    def _openssl(self, *args: str) -> None:
        subprocess.run(["openssl", *args], cwd=self.directory, check=True, capture_output=True, timeout=60)

    def _authority(self, name: str) -> None:
        self._openssl("req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-days", "2",
                      "-subj", f"/CN={name}", "-keyout", f"{name}.key", "-out", f"{name}.pem")

    def _signed(self, ca: str, name: str) -> None:
        self._openssl("req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-subj", f"/CN={name}",
                      "-keyout", f"{name}.key", "-out", f"{name}.csr")
        # A node is a server to the nodes that dial it and a client of those it dials.
        with open(self.path(f"{name}.ext"), "w") as f:
            f.write("basicConstraints = CA:FALSE\nextendedKeyUsage = serverAuth, clientAuth\n")
        self._openssl("x509", "-req", "-in", f"{name}.csr", "-CA", f"{ca}.pem", "-CAkey", f"{ca}.key",
                      "-CAcreateserial", "-days", "2", "-extfile", f"{name}.ext", "-out", f"{name}.pem")

    def path(self, name: str) -> str:
        return os.path.join(self.directory, name)

    def node(self) -> dict:
        return {"cert": self.path("node.pem"), "key": self.path("node.key"), "ca": self.path("ca.pem"),
                "require_client_cert": True}

    def stranger(self) -> dict:
        """A certificate the cluster's authority never signed, trusting that authority all the same."""
        if not os.path.exists(self.path("stranger.pem")):
            self._authority("other")
            self._signed("other", "stranger")
        return {**self.node(), "cert": self.path("stranger.pem"), "key": self.path("stranger.key")}

    def close(self) -> None:
        shutil.rmtree(self.directory, ignore_errors=True)


# ---------------------------------------------------------------------------------------------------------------
# What nodes tell: events and members as plain JSON values


def plain(value):
    if isinstance(value, vorel.NodeId):
        return {"address": value.address, "incarnation": str(value.incarnation)}
    if isinstance(value, (tuple, list, frozenset, set)):
        return sorted(plain(v) for v in value) if isinstance(value, (frozenset, set)) else [plain(v) for v in value]
    if isinstance(value, BaseException):
        return f"{type(value).__name__}: {value}"
    return value


def described(event) -> dict:
    """An observer event as a JSON object: its class under "event", then its fields."""
    out = {"event": type(event).__name__}
    for f in dataclasses.fields(event):
        out[f.name] = plain(getattr(event, f.name))
    if isinstance(out.get("node"), dict):
        out["address"] = out["node"]["address"]
    return out


def listed(members) -> list[dict]:
    return [{"address": m.node.address, "incarnation": str(m.node.incarnation), "status": m.status,
             "kinds": sorted(m.kinds)} for m in members]


def located(placement) -> dict:
    return {"owner": placement.owner.address if placement.owner is not None else None,
            "nodes": [n.address for n in placement.nodes]}


def failure(e: BaseException) -> dict:
    return {"error": type(e).__name__, "text": str(e)}


def raised(reply: dict) -> BaseException:
    """The exception a failed answer names: the class of vorel or of the built-ins by that name."""
    name = reply["error"]
    cls = getattr(vorel, name, None) or getattr(__import__("builtins"), name, None)
    if not (isinstance(cls, type) and issubclass(cls, BaseException)):
        return RuntimeError(f"{name}: {reply['text']}")
    return cls(reply["text"])


# ---------------------------------------------------------------------------------------------------------------
# The node process


class Crash(Exception):
    """What a node raises to leave its block with an exception."""


def _emit(line: dict) -> None:
    sys.stdout.write(json.dumps(line) + "\n")
    sys.stdout.flush()


class FileStore(vorel.Store):
    """A Python store object that keeps each key's record as a file of a directory the processes of a test
    share; a lock file makes each call one step among every process's."""

    def __init__(self, directory: str) -> None:
        self.directory = directory
        os.makedirs(directory, exist_ok=True)

    def _path(self, actor: str, key: str) -> str:
        return os.path.join(self.directory, hashlib.sha256(f"{actor}\0{key}".encode()).hexdigest())

    @contextlib.contextmanager
    def _locked(self):
        import fcntl

        with open(os.path.join(self.directory, ".lock"), "a") as f:
            fcntl.flock(f, fcntl.LOCK_EX)
            yield

    def _read(self, path: str) -> tuple[bytes, bytes | None] | None:
        try:
            with open(path, "rb") as f:
                data = f.read()
        except FileNotFoundError:
            return None
        return data[:32], (data[33:] if data[32:33] == b"s" else None)

    async def load(self, actor: str, key: str, /):
        with self._locked():
            return self._read(self._path(actor, key))

    async def save(self, actor: str, key: str, version: bytes, state: bytes | None, /):
        path = self._path(actor, key)
        with self._locked():
            kept = self._read(path)
            if kept is not None and kept[0] > version:
                return
            with open(path + ".new", "wb") as f:
                f.write(version + (b"-" if state is None else b"s" + state))
            os.replace(path + ".new", path)

    async def drop(self, actor: str, key: str, version: bytes, /):
        path = self._path(actor, key)
        with self._locked():
            kept = self._read(path)
            if kept is not None and kept[0] <= version:
                os.remove(path)


def stored(config: dict):
    """The store a member's config names: {"sql": url} or {"files": directory}; None without one."""
    store = config.get("store")
    if store is None:
        return None
    return vorel.SQL(store["sql"]) if "sql" in store else FileStore(store["files"])


def built(config: dict, store=None):
    observer = lambda event: _emit(described(event))  # noqa: E731
    timeouts = {k: seconds(config[k]) for k in ("ask_timeout", "write_timeout", "leave_timeout") if k in config}
    runtime = vorel._vorel.Runtime(threads=config["threads"]) if config.get("threads") else None
    if config.get("standalone"):
        return ActorSystem(observer=observer, **timeouts)
    if config.get("client"):
        return Client(seeds=config["seeds"], name=config.get("name", "test"), tls=tls_of(config.get("tls")),
                      observer=observer, ask_timeout=timeouts.get("ask_timeout"), runtime=runtime)
    settings = cluster(config["bind"], config["seeds"], name=config.get("name", "test"),
                       periods=config.get("periods"), tls=config.get("tls"))
    return ActorSystem(cluster=settings, observer=observer, runtime=runtime, store=store, **timeouts)


async def command(system, line: dict) -> dict:
    op = line["op"]
    if op in ("ask", "tell"):
        ref = system.ref(TYPES[line["actor"]], line["key"])
        m = message(line["actor"], line.get("put"), line.get("n"), told=op == "tell")
        if op == "tell":
            ref.tell(m)
            return {"ok": None}
        return {"ok": answered(await ref.ask(m))}
    if op == "members":
        return {"ok": listed(system.members)}
    if op == "placement":
        return {"ok": located(await system.placement(TYPES[line["actor"]], line["key"]))}
    if op == "node":
        return {"ok": plain(system.node)}
    if op == "stats":
        stats = system.stats()
        return {"ok": {f.name: getattr(stats, f.name) for f in dataclasses.fields(stats) if f.name != "actors"}}
    raise ValueError(f"no command {op!r}")


async def answer(system, line: dict) -> None:
    try:
        reply = await command(system, line)
    except Exception as e:  # the test asked for it: it reads the failure
        reply = failure(e)
    _emit({"id": line["id"], **reply})


async def commands(system) -> str:
    """Runs commands until one ends the node; gives back how it ends."""
    loop = asyncio.get_running_loop()
    reader = asyncio.StreamReader()
    await loop.connect_read_pipe(lambda: asyncio.StreamReaderProtocol(reader), sys.stdin)
    running = set()
    while True:
        raw = await reader.readline()
        if not raw:
            return "orphaned"
        line = json.loads(raw)
        if line["op"] in ("exit", "raise"):
            return line["op"]
        task = asyncio.ensure_future(answer(system, line))
        running.add(task)
        task.add_done_callback(running.discard)


async def run_node(config: dict) -> int:
    store = stored(config)
    async with store if isinstance(store, vorel.SQL) else contextlib.nullcontext():
        return await _run_node(config, store)


async def _run_node(config: dict, store) -> int:
    system = built(config, store)
    if not config.get("client"):
        # Every member hosts every type from the start, so placement is the same whichever node asks first.
        for t in hosted(config):
            system._learn(t)
    try:
        await asyncio.wait_for(system.__aenter__(), config.get("enter_timeout", READY))
    except (Exception, asyncio.TimeoutError) as e:
        _emit({"event": "failed", **failure(e)})
        return 4
    _emit({"event": "ready", "node": plain(system.node)})
    try:
        how = await commands(system)
        if how == "orphaned":
            os._exit(5)
        if how == "raise":
            raise Crash("the test ended this node with an exception")
    except Crash as e:
        await system.__aexit__(type(e), e, e.__traceback__)
        _emit({"event": "exited", "how": "raise"})
        return 3
    await system.__aexit__(None, None, None)
    _emit({"event": "exited", "how": "exit"})
    return 0


def _die_with(parent: int) -> None:
    # A node paused by SIGSTOP never reads the end of its stdin: it goes with its parent by a signal instead.
    with contextlib.suppress(Exception):
        import ctypes

        PR_SET_PDEATHSIG = 1
        ctypes.CDLL(None, use_errno=True).prctl(PR_SET_PDEATHSIG, signal.SIGKILL)
    if os.getppid() != parent:
        os._exit(5)


def serve() -> None:
    config = json.loads(sys.argv[1])
    _die_with(config["parent"])
    sys.exit(asyncio.run(run_node(config)))


# ---------------------------------------------------------------------------------------------------------------
# The test side


async def eventually(attempt, what: str, timeout: float = ANSWER, retry: tuple = ()):
    """Calls `attempt` (awaiting what it gives when that is awaitable) until it gives a true value, or, for the
    exception classes of `retry`, until it stops raising one; at most `timeout` seconds. Gives that value."""
    loop = asyncio.get_running_loop()
    deadline = loop.time() + timeout
    while True:
        try:
            last = attempt()
            if inspect.isawaitable(last):
                last = await last
            if last:
                return last
        except retry as e:
            last = e
        if loop.time() >= deadline:
            raise AssertionError(f"{what}: still not so after {timeout} s; the last attempt gave {last!r}")
        await asyncio.sleep(0.02)


def _matches(event: dict, want: dict) -> bool:
    return all(event.get(k) == v for k, v in want.items())


class Node:
    """The common face of a node: asks, members, placement and the events its observer heard."""

    address: str
    events: list[dict]

    def heard(self, test=None, **want) -> list[dict]:
        return [e for e in self.events if _matches(e, want) and (test is None or test(e))]

    async def hear(self, test=None, timeout: float = ANSWER, **want) -> dict:
        """The first event with these fields (and passing `test`), waiting for it at most `timeout` seconds."""
        found = await eventually(lambda: self.heard(test, **want), f"{self.address} hearing {want}{self.log()}",
                                 timeout)
        return found[0]

    async def until_members(self, want: dict[str, str], timeout: float = ANSWER) -> list[dict]:
        """Waits until the members this node lists, those that have left aside, are exactly `want` (address to
        status)."""

        async def listed():
            members = await self.members()
            seen = sorted((m["address"], m["status"]) for m in members if m["status"] != "left")
            return members if seen == sorted(want.items()) else None

        return await eventually(listed, f"{self.address} listing {want}{self.log()}", timeout)

    async def key_of(self, kind: str, owner: str, prefix: str = "k") -> str:
        """A key of `kind` whose owner, as this node places it, is the node at `owner`."""
        for i in range(200):
            key = f"{prefix}{i}"
            if (await self.placement(kind, key))["owner"] == owner:
                return key
        raise AssertionError(f"no key of {kind} is placed on {owner} by {self.address}")

    def log(self) -> str:
        return ""


class Process(Node):
    """A node in a process of its own."""

    def __init__(self, config: dict, workdir: str) -> None:
        self.config = {"parent": os.getpid(), **config}
        self.events = []
        self.replies: dict[int, asyncio.Future] = {}
        self.next_id = 0
        self.process: asyncio.subprocess.Process | None = None
        self.reading: asyncio.Task | None = None
        self.node: dict | None = None
        self.address = config.get("bind", "client")
        self.stderr_path = os.path.join(workdir, f"node-{os.getpid()}-{id(self)}.err")
        self.ready = None

    async def start(self) -> "Process":
        code = "import sys; sys.path.insert(0, sys.argv[2]); import cluster_support; cluster_support.serve()"
        self.stderr = open(self.stderr_path, "wb")
        self.process = await asyncio.create_subprocess_exec(
            sys.executable, "-c", code, json.dumps(self.config), HERE,
            stdin=asyncio.subprocess.PIPE, stdout=asyncio.subprocess.PIPE, stderr=self.stderr,
            limit=1 << 24,
        )
        self.ready = asyncio.get_running_loop().create_future()
        self.reading = asyncio.ensure_future(self._read())
        try:
            first = await asyncio.wait_for(asyncio.shield(self.ready), self.config.get("enter_timeout", READY) + 10)
        except asyncio.TimeoutError:
            raise AssertionError(f"{self.address} did not start within the time" + self.log()) from None
        if first["event"] != "ready":
            raise raised(first)
        self.node = first["node"]
        self.address = self.node["address"] or self.address
        return self

    async def _read(self) -> None:
        assert self.process is not None and self.process.stdout is not None
        while raw := await self.process.stdout.readline():
            line = json.loads(raw)
            if "id" in line:
                future = self.replies.pop(line["id"], None)
                if future is not None and not future.done():
                    future.set_result(line)
            elif line["event"] in ("ready", "failed"):
                if not self.ready.done():
                    self.ready.set_result(line)
            else:
                self.events.append(line)
        for future in self.replies.values():
            if not future.done():
                future.set_exception(ConnectionError(f"{self.address} ended before it answered" + self.log()))
        if not self.ready.done():
            self.ready.set_result({"error": "ConnectionError", "text": f"{self.address} ended" + self.log()})

    async def call(self, op: str, timeout: float = ANSWER, **args):
        """Sends one command and waits for its answer; a failed one raises the exception it names."""
        self.next_id += 1
        future = asyncio.get_running_loop().create_future()
        self.replies[self.next_id] = future
        self._send({"id": self.next_id, "op": op, **args})
        try:
            reply = await asyncio.wait_for(future, timeout)
        except asyncio.TimeoutError:
            raise AssertionError(f"{self.address} did not answer {op} {args} within {timeout} s" + self.log()) from None
        if "error" in reply:
            raise raised(reply)
        return reply["ok"]

    def _send(self, line: dict) -> None:
        assert self.process is not None and self.process.stdin is not None
        self.process.stdin.write((json.dumps(line) + "\n").encode())

    async def ask(self, kind: str, key: str, put: int | None = None, n: int | None = None, timeout: float = ANSWER):
        return await self.call("ask", timeout, actor=kind, key=key, put=put, n=n)

    async def tell(self, kind: str, key: str, put: int | None = None) -> None:
        await self.call("tell", actor=kind, key=key, put=put)

    async def members(self) -> list[dict]:
        return await self.call("members")

    async def placement(self, kind: str, key: str) -> dict:
        return await self.call("placement", actor=kind, key=key)

    async def exit(self, normal: bool = True, timeout: float = EXITED) -> int:
        """Ends the node by leaving its block normally or with an exception; gives its exit status."""
        self._send({"op": "exit" if normal else "raise"})
        return await self.wait(timeout)

    async def wait(self, timeout: float = EXITED) -> int:
        assert self.process is not None
        try:
            code = await asyncio.wait_for(self.process.wait(), timeout)
        except asyncio.TimeoutError:
            raise AssertionError(f"{self.address} did not end within {timeout} s" + self.log()) from None
        await asyncio.wait_for(self.reading, timeout)
        return code

    def signal(self, number: int) -> None:
        assert self.process is not None
        if self.process.returncode is None:
            self.process.send_signal(number)

    def pause(self) -> None:
        self.signal(signal.SIGSTOP)

    def resume(self) -> None:
        self.signal(signal.SIGCONT)

    async def kill(self) -> int:
        self.resume()
        self.signal(signal.SIGKILL)
        return await self.wait()

    async def reap(self) -> None:
        """Ends the process whatever state it is in, and forgets its files."""
        if self.process is not None and self.process.returncode is None:
            with contextlib.suppress(ProcessLookupError):
                self.process.send_signal(signal.SIGCONT)
                self.process.kill()
            with contextlib.suppress(asyncio.TimeoutError):
                await asyncio.wait_for(self.process.wait(), EXITED)
        if self.reading is not None and not self.reading.done():
            self.reading.cancel()
        if getattr(self, "stderr", None) is not None:
            self.stderr.close()

    def log(self) -> str:
        try:
            with open(self.stderr_path, errors="replace") as f:
                tail = f.read()[-4000:]
        except OSError:
            return ""
        return f"\n--- stderr of {self.address} ---\n{tail}" if tail.strip() else ""


class Local(Node):
    """A node in this process: a system or client entered on the test's own loop."""

    def __init__(self, system) -> None:
        self.system = system
        self.events = []
        self.address = "unstarted"

    def observe(self, event) -> None:
        self.events.append(described(event))

    async def start(self, timeout: float = READY) -> "Local":
        if isinstance(self.system, ActorSystem):
            for t in hosted({}):
                self.system._learn(t)
        await asyncio.wait_for(self.system.__aenter__(), timeout)
        self.address = self.system.node.address
        return self

    async def ask(self, kind: str, key: str, put: int | None = None, n: int | None = None, timeout: float = ANSWER):
        return answered(await asyncio.wait_for(self.system.ref(TYPES[kind], key).ask(message(kind, put, n)), timeout))

    async def tell(self, kind: str, key: str, put: int | None = None) -> None:
        self.system.ref(TYPES[kind], key).tell(message(kind, put, None, told=True))

    async def members(self) -> list[dict]:
        return listed(self.system.members)

    async def placement(self, kind: str, key: str) -> dict:
        return located(await asyncio.wait_for(self.system.placement(TYPES[kind], key), ANSWER))

    async def exit(self, normal: bool = True, timeout: float = EXITED) -> int:
        if normal:
            await asyncio.wait_for(self.system.__aexit__(None, None, None), timeout)
            return 0
        e = Crash("the test ended this node with an exception")
        await asyncio.wait_for(self.system.__aexit__(type(e), e, None), timeout)
        return 3


class Nodes:
    """Starts nodes for one test and ends every one of them afterwards, whatever the test did to it."""

    def __init__(self, tls: dict | None = None) -> None:
        self.tls = tls
        self.started: list[Node] = []
        self.workdir = tempfile.mkdtemp(prefix="vorel-cluster-")

    async def process(self, bind: str | None = None, seeds: list[str] = (), **config) -> Process:
        """A member listening on a free port of 127.0.0.1 (or `bind`), or a client when `client=True`."""
        config.setdefault("tls", self.tls)
        if not config.get("client"):
            config["bind"] = bind or f"127.0.0.1:{free_ports(1)[0]}"
        node = Process({"seeds": list(seeds), **config}, self.workdir)
        self.started.append(node)
        return await node.start()

    async def local(self, bind: str | None = None, seeds: list[str] = (), *, runtime=None, periods=None,
                    **timeouts) -> Local:
        """A member entered on this loop, sharing `runtime` when one is given."""
        node = Local(None)
        settings = cluster(bind or f"127.0.0.1:{free_ports(1)[0]}", list(seeds), periods=periods, tls=self.tls)
        node.system = ActorSystem(cluster=settings, observer=node.observe, runtime=runtime,
                                  **{k: seconds(v) for k, v in timeouts.items()})
        self.started.append(node)
        return await node.start()

    async def client(self, seeds: list[str], **timeouts) -> Local:
        """A client entered on this loop, reaching the cluster through `seeds`."""
        node = Local(None)
        node.system = Client(seeds=list(seeds), name="test", tls=tls_of(self.tls), observer=node.observe,
                             **{k: seconds(v) for k, v in timeouts.items()})
        self.started.append(node)
        return await node.start()

    async def close(self) -> None:
        for node in self.started:
            if isinstance(node, Process):
                await node.reap()
            elif isinstance(node, Local):
                with contextlib.suppress(Exception):
                    e = Crash("the test is over")
                    await asyncio.wait_for(node.system.__aexit__(type(e), e, None), EXITED)
        shutil.rmtree(self.workdir, ignore_errors=True)
