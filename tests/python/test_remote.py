"""LmaFile over bytes held elsewhere: a URL served by a real HTTP server of
the test's own and by a standalone S3 server, and an open file object.
Every result is compared with the same file read locally."""

import hashlib
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
import io
import json
import os
import pathlib
import pickle
import socket
import threading
import time
import types
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

import kelvane
from kelvane import sources
from kelvane.writer import (Channel, Event, Pulse, write_lma,
                            write_random_run)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Served:
    """What the HTTP server holds and has done: files by path, requests
    (with the bytes sent), the paths asked for, and how it misbehaves on
    range requests. `etag`: True, False or "weak"; `after_get`, if set, is
    called after each GET is answered."""

    def __init__(self):
        self.files = {}
        self.requests = []
        self.paths = []
        self.fault = None   # None, "cut", "short", "fail" or "whole"
        self.etag = True
        self.after_get = None
        self.lock = threading.Lock()

    def count(self):
        with self.lock:
            return len(self.requests)

    def sent(self):
        with self.lock:
            return sum(n for _, n in self.requests)


class RangeHandler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    served: Served = None

    def log_message(self, *args):
        pass

    def setup(self):
        super().setup()
        # Headers and body go out as separate writes: without this each
        # response waits on the client's delayed acknowledgement.
        self.connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)

    def do_HEAD(self):
        self.reply(head=True)

    def do_GET(self):
        self.reply(head=False)

    def listing(self):
        """A page linking the files under the directory asked for, as a
        server's index page does: what fsspec lists over HTTP."""
        return "".join(f'<a href="{p}">{p}</a>\n'
                       for p in sorted(self.served.files)
                       if p.startswith(self.path) and "?" not in p).encode()

    def reply(self, head):
        path = self.path.partition("?")[0]
        with self.served.lock:
            self.served.paths.append(self.path)
        data = self.served.files.get(path)
        if data is None and path.endswith("/"):
            data = self.listing()
        if data is None:
            self.record(0)
            self.send_response(404)
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        start, stop = 0, len(data)
        etag = '"%s"' % hashlib.md5(data).hexdigest()
        if self.served.etag == "weak":
            etag = "W/" + etag
        wanted = self.headers.get("If-Match")
        # A weak ETag never matches: If-Match compares bytes.
        if wanted is not None and wanted != "*" and (
                wanted != etag or etag.startswith("W/")):
            self.record(0)
            self.send_response(412)
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        ranged = self.headers.get("Range")
        if ranged and self.served.fault == "whole":
            ranged = None
        if ranged:
            first, _, last = ranged.split("=")[1].partition("-")
            start = int(first)
            stop = min(len(data), int(last) + 1) if last else len(data)
        body = data[start:stop]
        fault = self.served.fault if ranged and not head else None
        if fault == "fail":
            self.record(0)
            self.send_response(500)
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        self.send_response(206 if ranged else 200)
        if ranged:
            self.send_header("Content-Range",
                             f"bytes {start}-{stop - 1}/{len(data)}")
        if fault == "short":
            body = body[:len(body) // 2]   # says so, and sends that much
        self.send_header("Content-Length", str(len(body)))
        if self.served.etag:
            self.send_header("ETag", etag)
        self.send_header("Accept-Ranges", "bytes")
        if head:
            self.record(0)
            self.end_headers()
            return
        self.end_headers()
        # Counted before it is sent: the client may go on at once.
        if fault == "cut":
            # Promises the whole range, sends half, hangs up.
            self.record(len(body) // 2)
            self.wfile.write(body[:len(body) // 2])
            self.wfile.flush()
            self.close_connection = True
            self.connection.shutdown(socket.SHUT_RDWR)
            return
        self.record(len(body))
        # Before the body goes: the client's next request sees the change.
        if self.served.after_get is not None:
            self.served.after_get()
        self.wfile.write(body)

    def record(self, n):
        with self.served.lock:
            self.served.requests.append((self.command, n))


@pytest.fixture(scope="module", autouse=True)
def connections_closed():
    """Once this module ends, closes the connections the clients keep
    alive to its servers: their own timers would close them seconds later,
    under whichever test runs then (one counts open descriptors)."""
    yield
    import gc
    import fsspec
    for protocol in ("http", "s3"):
        fsspec.get_filesystem_class(protocol).clear_instance_cache()
    # Each filesystem closes its session as it is collected.
    gc.collect()


@pytest.fixture(scope="module")
def web():
    served = Served()
    handler = type("Handler", (RangeHandler,), {"served": served})
    server = ThreadingHTTPServer(("127.0.0.1", free_port()), handler)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    served.url = "http://127.0.0.1:%d" % server.server_address[1]
    yield served
    server.shutdown()
    server.server_close()


@pytest.fixture(scope="module")
def s3():
    """A standalone S3 server, a bucket on it, and the options that reach
    it."""
    from moto.server import ThreadedMotoServer
    env = {"AWS_ACCESS_KEY_ID": "testing", "AWS_SECRET_ACCESS_KEY": "testing",
           "AWS_DEFAULT_REGION": "us-east-1"}
    with pytest.MonkeyPatch.context() as mp:
        for k, v in env.items():
            mp.setenv(k, v)
        port = free_port()
        server = ThreadedMotoServer(ip_address="127.0.0.1", port=port)
        server.start()
        import s3fs
        options = {"key": "testing", "secret": "testing",
                   "client_kwargs": {"endpoint_url":
                                     f"http://127.0.0.1:{port}"}}
        fs = s3fs.S3FileSystem(skip_instance_cache=True, **options)
        fs.mkdir("runs")
        yield fs, options
        server.stop()


@pytest.fixture(scope="module")
def run(tmp_path_factory):
    """A run of 300 events, about 700 kB, and the same cut inside its
    last record."""
    path = tmp_path_factory.mktemp("runs") / "run.lma"
    write_random_run(path, 300, nchannels=4, nsamples=1024)
    data = path.read_bytes()
    damaged = path.with_name("damaged.lma")
    damaged.write_bytes(data[:-3000])
    return {"run": str(path), "damaged": str(damaged)}


@pytest.fixture
def small_blocks(monkeypatch):
    monkeypatch.setattr(sources, "BLOCK_BYTES", 64 << 10)
    return 64 << 10


def serve(kind, local, web, s3, name):
    """`local`'s bytes as the source of the kind asked for."""
    with open(local, "rb") as raw:
        data = raw.read()
    if kind == "web":
        web.files["/" + name] = data
        return kelvane.LmaFile(f"{web.url}/{name}")
    if kind == "s3":
        fs, options = s3
        fs.pipe(f"runs/{name}", data)
        return kelvane.LmaFile(f"s3://runs/{name}", storage_options=options)
    return kelvane.LmaFile(io.BytesIO(data))


def assert_same(f, g):
    assert len(f) == len(g)
    np.testing.assert_array_equal(f.offsets, g.offsets)
    assert repr(f.damage) == repr(g.damage)
    n = len(g)
    part = (n // 3, n - n // 4)
    for a, b in [(f.read(), g.read()), (f.read(*part, dtype="raw"),
                                        g.read(*part, dtype="raw"))]:
        np.testing.assert_array_equal(a.tags, b.tags)
        np.testing.assert_array_equal(a.horpos, b.horpos)
        for k in b.traces:
            np.testing.assert_array_equal(a.traces[k], b.traces[k])
    # Where and why it ends, and whether it may still be being written.
    assert str(f.damage) == str(g.damage)
    for x, y in zip(f.pulses(1, n), g.pulses(1, n)):
        np.testing.assert_array_equal(x, y)
    window = (g.nsamples // 8, g.nsamples - 3)
    fa, fb = f.features(window=window), g.features(window=window)
    for q in fb.values:
        np.testing.assert_array_equal(fa.values[q], fb.values[q])
    np.testing.assert_array_equal(f[n - 1].traces, g[n - 1].traces)


# Blocks smaller than a record (about 2.3 kB) make the scan fetch larger
# ones; that is the same for every source, so only the quickest has it.
@pytest.mark.parametrize("kind, block", [
    ("web", 64 << 10), ("s3", 64 << 10), ("fileobj", 64 << 10),
    ("fileobj", 1 << 10)])
@pytest.mark.parametrize("which", ["run", "damaged"])
def test_same_as_local(kind, block, which, run, web, s3, monkeypatch):
    monkeypatch.setattr(sources, "BLOCK_BYTES", block)
    with kelvane.LmaFile(run[which]) as local, \
            serve(kind, run[which], web, s3, f"{which}-{block}.lma") as f:
        assert (which == "damaged") == (local.damage is not None)
        # Cut inside its last record, as a file still being written is.
        assert which == "run" or local.damage.incomplete
        assert_same(f, local)


def test_requests_per_read(run, web, small_blocks):
    f = serve("web", run["run"], web, None, "count.lma")
    for first, last in [(0, 300), (17, 30), (100, 299)]:
        before = web.count()
        f.read(first, last)
        nbytes = int(f.offsets[last - 1] - f.offsets[first]) + 4096
        assert web.count() - before <= 1 + nbytes // small_blocks
    # Small batches read in turn share the block fetched ahead, and the
    # block after it, fetched while they are decoded; a batch that spans
    # the two takes its bytes from both.
    before = web.count()
    with kelvane.LmaFile(run["run"]) as local:
        whole = local.read(0, 120)
    for first in range(0, 120, 7):
        got = f.read(first, min(first + 7, 120))
        np.testing.assert_array_equal(
            got.traces["channel3"], whole.traces["channel3"][first:first + 7])
    assert web.count() - before <= 2 + int(f.offsets[120]) // small_blocks


@pytest.mark.parametrize("kind", ["web", "s3"])
def test_pickle_keeps_the_index(kind, run, web, s3):
    f = serve(kind, run["damaged"], web, s3, "pickled.lma")
    copy = pickle.loads(pickle.dumps(f))
    # Unpickling asks for the header and the damaged record, not the file.
    assert copy._native.scan_count == 0
    assert copy.path == f.path
    if kind == "web":
        before = web.sent()
        pickle.loads(pickle.dumps(f))
        assert web.sent() - before < os.path.getsize(run["damaged"]) // 4
    with kelvane.LmaFile(run["damaged"]) as local:
        assert_same(copy, local)


@pytest.mark.parametrize("etag", [True, False])
def test_pickle_sees_a_changed_store(etag, tmp_path, web):
    # Same size, records of other lengths. With an ETag the same header,
    # so only the ETag tells the index no longer fits; without, another
    # gain in the header.
    a, b = tmp_path / "a.lma", tmp_path / "b.lma"
    write_lma(a, (0,), [Event(1, [[Pulse(0, [1] * 10)]]),
                        Event(2, [[Pulse(0, [2] * 30)]])], nsamples=64)
    write_lma(b, (0,) if etag else {0: Channel(gain=0.5)},
              [Event(1, [[Pulse(0, [1] * 30)]]),
               Event(2, [[Pulse(0, [2] * 10)]])], nsamples=64)
    assert a.stat().st_size == b.stat().st_size
    web.etag = etag
    try:
        web.files["/changed.lma"] = a.read_bytes()
        state = pickle.dumps(kelvane.LmaFile(f"{web.url}/changed.lma"))
        web.files["/changed.lma"] = b.read_bytes()
        copy = pickle.loads(state)
    finally:
        web.etag = True
    with kelvane.LmaFile(str(b)) as local:
        assert_same(copy, local)


def test_file_object_does_not_pickle(run):
    with open(run["run"], "rb") as raw, kelvane.LmaFile(raw) as f:
        assert f.path == run["run"]
        with pytest.raises(TypeError, match="file object"):
            pickle.dumps(f)
    with open(run["run"], "rb") as raw:
        assert kelvane.LmaFile(io.BytesIO(raw.read())).path is None


@pytest.mark.parametrize("fault", ["cut", "short", "fail"])
def test_a_failing_server_names_the_record(fault, run, web, small_blocks):
    f = serve("web", run["run"], web, None, "faulty.lma")
    web.fault = fault
    try:
        with pytest.raises(OSError, match=r"faulty\.lma: event 150 at byte"):
            f.read(150, 160)
    finally:
        web.fault = None
    assert f.read(150, 160).tags.tolist() == list(range(150, 160))


def test_missing_url(web, s3, capsys):
    with pytest.raises(FileNotFoundError):
        kelvane.LmaFile(f"{web.url}/nothere.lma")
    with pytest.raises(FileNotFoundError):
        kelvane.LmaFile("s3://runs/nothere.lma", storage_options=s3[1])
    from kelvane import cli
    assert cli.main(["info", f"{web.url}/nothere.lma"]) == 1
    out, err = capsys.readouterr()
    assert out == "" and err.count("\n") == 1 and "nothere.lma" in err


def test_refresh_follows_the_store(run, web, small_blocks):
    with open(run["run"], "rb") as a, open(run["damaged"], "rb") as b:
        data, damaged = a.read(), b.read()
    web.files["/growing.lma"] = damaged
    f = kelvane.LmaFile(f"{web.url}/growing.lma")
    n = len(f)
    web.files["/growing.lma"] = data
    assert f.refresh() == 300 - n and f.damage is None
    with kelvane.LmaFile(run["run"]) as local:
        assert_same(f, local)
    # Cut back: indexed anew.
    web.files["/growing.lma"] = damaged
    assert f.refresh() == n - 300
    with kelvane.LmaFile(run["damaged"]) as local:
        assert_same(f, local)


@pytest.mark.parametrize("where", [60, -2000])
def test_refresh_finds_a_replaced_file(where, run, web):
    # A byte of a gain in the header, or the last record's pulse infos.
    with open(run["run"], "rb") as a:
        data = bytearray(a.read())
    web.files["/replaced.lma"] = bytes(data)
    f = kelvane.LmaFile(f"{web.url}/replaced.lma")
    data[where:where + 4 if where > 0 else None] = bytes(4 if where > 0
                                                        else -where)
    web.files["/replaced.lma"] = bytes(data)
    with pytest.raises(kelvane.FileReplacedError):
        f.refresh()
    with pytest.raises(kelvane.FileReplacedError):
        f.read(0, 1)


def test_storage_options_only_for_urls(run):
    with pytest.raises(ValueError, match="storage_options"):
        kelvane.LmaFile(run["run"], storage_options={"anon": True})
    with kelvane.LmaFile("file://" + run["run"]) as f:
        assert len(f) == 300


def test_dask_workers_read_urls(run, web, s3):
    # Through the xarray engine: the arrays, and the LmaFile in them,
    # travel to two worker processes, which reopen the URL themselves.
    import distributed
    import xarray as xr
    serve("web", run["run"], web, s3, "dask.lma")
    serve("s3", run["run"], web, s3, "dask.lma")
    opened = [xr.open_dataset(f"{web.url}/dask.lma", engine="lma",
                              chunks={"event": 100}),
              xr.open_dataset("s3://runs/dask.lma", engine="lma",
                              chunks={"event": 100},
                              storage_options=s3[1])]
    with xr.open_dataset(run["run"], engine="lma") as local:
        want = local.channel2.sum("sample").compute()
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1,
                                  processes=True, dashboard_address=":0") \
            as cluster, distributed.Client(cluster):
        for ds in opened:
            xr.testing.assert_identical(ds.channel2.sum("sample").compute(),
                                        want)
            ds.close()


def test_dataset_coordinates_come_from_the_index(run, web, tmp_path):
    # With a sidecar, opening and the coordinates fetch no record: the
    # size, the header, the sidecar, the last records and sampled heads.
    import xarray as xr
    serve("web", run["run"], web, None, "coords.lma")
    with kelvane.LmaFile(run["run"]) as local:
        local.save_index(tmp_path / "coords.lmaidx")
        web.files["/coords.lma.lmaidx"] = \
            (tmp_path / "coords.lmaidx").read_bytes()
        sent = web.sent()
        with xr.open_dataset(f"{web.url}/coords.lma", engine="lma") as ds:
            tags, horpos = ds.tag.values, ds.horpos.values
            assert web.sent() - sent < os.path.getsize(run["run"]) // 4
        events = local.read()
        assert tags.tolist() == events.tags.tolist()
        assert horpos.tobytes() == events.horpos.tobytes()


@pytest.mark.parametrize("command", [["info"], ["show", "--event", "-1"]])
def test_cli_reads_urls(command, run, web, s3, capsys):
    from kelvane import cli
    fs, options = s3
    serve("s3", run["run"], web, s3, "cli.lma")
    assert cli.main([*command, run["run"]]) == 0
    local = capsys.readouterr().out.replace(run["run"], "NAME")
    argv = [*command, "s3://runs/cli.lma", "--storage-option", "key=testing",
            "--storage-option", "secret=testing", "--storage-option",
            "client_kwargs=" + json.dumps(options["client_kwargs"])]
    assert cli.main(argv) == 0
    assert capsys.readouterr().out.replace("s3://runs/cli.lma",
                                           "NAME") == local


@pytest.mark.parametrize("fault", ["short", "shared"])
@pytest.mark.parametrize("blocks", [1, "many"])
def test_outputs_checked_before_the_first_block(fault, blocks, run,
                                                monkeypatch):
    # Refused before any block is written, as for a local file, whether
    # the range takes one block or many.
    if blocks == "many":
        monkeypatch.setattr(sources, "BLOCK_BYTES", 64 << 10)
    with open(run["run"], "rb") as raw, kelvane.LmaFile(raw) as f:
        out = f.read(0, 300)
        if fault == "short":
            out.traces["channel1"] = out.traces["channel1"][:-1]
        else:
            out.traces["channel1"] = out.traces["channel2"]
        out.tags[:] = -7
        with pytest.raises(ValueError, match="channel1"):
            f.read(0, 300, out=out)
        assert (out.tags == -7).all()


@pytest.mark.parametrize("blocks", [1, "many"])
def test_outputs_in_alternate_rows(blocks, run, monkeypatch):
    # Two channels in alternate rows of one array: their byte ranges
    # meet, yet they share no element, so the read goes ahead.
    if blocks == "many":
        monkeypatch.setattr(sources, "BLOCK_BYTES", 64 << 10)
    with kelvane.LmaFile(run["run"]) as local:
        expected = local.read(0, 300, channels=[0, 1])
    with open(run["run"], "rb") as raw, kelvane.LmaFile(raw) as f:
        rows = np.empty((600, f.nsamples))
        out = {"channel0": rows[0::2], "channel1": rows[1::2]}
        got = f.read(0, 300, channels=[0, 1], out=out)
    for k in out:
        np.testing.assert_array_equal(got.traces[k], expected.traces[k])
        assert np.shares_memory(got.traces[k], rows)


def test_bytesio_read_in_place(run):
    # Read from the object's own bytes, without a copy: the object can
    # still be written to; cut short, a read fails naming the record.
    with open(run["run"], "rb") as raw:
        data = raw.read()
    memory = io.BytesIO(data)
    with kelvane.LmaFile(memory) as f:
        n = len(f)
        f.read()
        f.pulses(0, 10)
        f.features(0, 10)
        memory.seek(0, io.SEEK_END)
        memory.write(b"more")
        memory.truncate(len(data) // 2)
        with pytest.raises(OSError, match=r"event \d+ at byte"):
            f.read(n - 10, n)
    # With a view of its buffer held, it is read as any file object.
    memory = io.BytesIO(data)
    with memory.getbuffer(), kelvane.LmaFile(memory) as f, \
            kelvane.LmaFile(run["run"]) as local:
        assert_same(f, local)


# --- the persistent index beside a URL ---------------------------------------

@pytest.fixture
def fetches(monkeypatch):
    """The byte ranges fetched from stores, as they pass through."""
    seen = []
    fetch = sources.UrlSource._fetch

    def recorded(self, start, stop):
        seen.append((start, stop))
        return fetch(self, start, stop)

    monkeypatch.setattr(sources.UrlSource, "_fetch", recorded)
    return seen


def put_s3(s3, name, local):
    fs, options = s3
    with open(local, "rb") as raw:
        fs.pipe(f"runs/{name}", raw.read())
    return f"s3://runs/{name}", options


def s3_cli(s3):
    return [arg for k, v in [("key", "testing"), ("secret", "testing"),
                             ("client_kwargs",
                              json.dumps(s3[1]["client_kwargs"]))]
            for arg in ("--storage-option", f"{k}={v}")]


@pytest.mark.parametrize("how", ["save_index", "cli"])
@pytest.mark.parametrize("which", ["run", "damaged"])
def test_s3_sidecar_spares_the_scan(how, which, run, s3, fetches, recwarn):
    from kelvane import cli
    url, options = put_s3(s3, f"indexed-{which}.lma", run[which])
    if how == "cli":
        assert cli.main(["index", url, *s3_cli(s3)]) == 0
    else:
        with kelvane.LmaFile(url, storage_options=options) as f:
            assert f.save_index() == url + ".lmaidx"
    assert s3[0].exists(f"runs/indexed-{which}.lma.lmaidx")
    del fetches[:]
    with kelvane.LmaFile(url, storage_options=options) as f, \
            kelvane.LmaFile(run[which]) as local:
        # The header and one range from the last indexed record on.
        assert f._native.scan_count == 0 and len(fetches) == 2
        assert fetches[1][0] == local.offsets[-1]
        assert_same(f, local)
    assert not [w for w in recwarn if w.category is
                kelvane.StaleIndexWarning]


def forged(data, **change):
    """Sidecar bytes with fields changed, checksum made anew."""
    fields = list(kelvane.sidecar.parts(data))
    names = ["size", "mtime", "header", "etag", "offsets", "end", "code",
             "value", "extra", "stop_offset", "stop_event", "modified"]
    for k, v in change.items():
        fields[names.index(k)] = v
    return kelvane.sidecar.from_parts(tuple(fields))


@pytest.mark.parametrize("fault, reason", [
    ("another header", "another header"),
    ("shorter", "shorter"),
    ("etag", "another version"),
    ("last modified", "another version"),
    ("records moved", "no longer ends"),
    ("middle records", "tags or horpos"),
    ("checksum", "checksum"),
    ("version", "version"),
    ("offsets", "offsets"),
    ("negative offsets", "offsets")])
def test_s3_sidecar_that_does_not_fit(fault, reason, run, s3, tmp_path):
    fs, options = s3
    name = "stale-%s.lma" % fault.replace(" ", "-")
    url, _ = put_s3(s3, name, run["run"])
    with kelvane.LmaFile(url, storage_options=options) as f:
        f.save_index()
    data = fs.cat(f"runs/{name}.lmaidx")
    now = run["run"]
    if fault == "another header":
        now = str(tmp_path / "other.lma")
        write_random_run(now, 300, nchannels=4, nsamples=512)
    elif fault == "shorter":
        now = run["damaged"]
    elif fault in ("records moved", "middle records"):
        # Same header and size, other record lengths (or tags), no ETag
        # kept: the walk over the last record (or the sampled heads) is
        # what tells.
        a, now = tmp_path / "a.lma", str(tmp_path / "b.lma")
        write_lma(a, (0,), [Event(1, [[Pulse(0, [1] * 10)]]),
                            Event(2, [[Pulse(0, [2] * 30)]])], nsamples=64)
        if fault == "records moved":
            # The same heads where indexed; the last record shorter, and
            # one with no pulse after it, in the same bytes.
            events = [Event(1, [[Pulse(0, [1] * 10)]]),
                      Event(2, [[Pulse(0, [2] * 23)]]), Event(3, [[]])]
        else:
            events = [Event(5, [[Pulse(0, [1] * 10)]]),
                      Event(2, [[Pulse(0, [2] * 30)]])]
        write_lma(now, (0,), events, nsamples=64)
        put_s3(s3, name, a)
        fs.rm(f"runs/{name}.lmaidx")
        with kelvane.LmaFile(url, storage_options=options) as f:
            data = forged(f._native.sidecar(b"", f._source.size))
    elif fault == "etag":
        data = forged(data, etag=b'"another"')
    elif fault == "last modified":
        data = forged(data, etag=b"",
                      modified=b"Thu, 01 Jan 1970 00:00:00 GMT")
    elif fault == "checksum":
        data = data[:100] + bytes([data[100] ^ 1]) + data[101:]
    elif fault == "version":
        data = data[:8] + b"\x03" + data[9:]
    elif fault == "negative offsets":
        offsets = np.frombuffer(kelvane.sidecar.parts(data)[4], np.int64)
        data = forged(data, offsets=(offsets - 10**6).tobytes())
    elif fault == "offsets":
        # The last offset inside the record before it.
        offsets = np.frombuffer(kelvane.sidecar.parts(data)[4], np.int64)
        data = forged(data, offsets=(offsets - np.arange(300) // 299 * 64
                                     ).tobytes())
    if fault in ("another header", "shorter"):
        # Without the ETag and Last-Modified, which would tell first.
        data = forged(data, etag=b"", modified=b"")
    put_s3(s3, name, now)
    fs.pipe(f"runs/{name}.lmaidx", data)
    with pytest.warns(kelvane.StaleIndexWarning, match=reason) as caught:
        f = kelvane.LmaFile(url, storage_options=options)
    assert len(caught) == 1
    with f, kelvane.LmaFile(now) as local:
        assert f._native.scan_count == 1
        assert_same(f, local)


@pytest.mark.parametrize("grown", ["inside a record", "by blocks"])
def test_s3_sidecar_of_a_grown_object(grown, run, s3, fetches, small_blocks,
                                      recwarn, tmp_path):
    # Indexed while cut short, or at 60 of 300 events, more than eight
    # blocks before the end; the whole run is there now.
    fs, options = s3
    before = run["damaged"]
    if grown == "by blocks":
        before = str(tmp_path / "first.lma")
        with kelvane.LmaFile(run["run"]) as local:
            pathlib.Path(before).write_bytes(
                pathlib.Path(run["run"]).read_bytes()[:local.offsets[60]])
    url, _ = put_s3(s3, "grown.lma", before)
    with kelvane.LmaFile(url, storage_options=options) as f:
        f.save_index("s3://runs/grown.idx")
        last = int(f.offsets[-1])
    put_s3(s3, "grown.lma", run["run"])
    del fetches[:]
    with kelvane.LmaFile(url, storage_options=options,
                         index="s3://runs/grown.idx") as f, \
            kelvane.LmaFile(run["run"]) as local:
        assert fetches[0] == (0, 1024) and min(
            start for start, _ in fetches[1:]) == last
        assert f._native.scan_count <= 1
        assert_same(f, local)
    assert not [w for w in recwarn if w.category is
                kelvane.StaleIndexWarning]


def test_http_sidecar_served_beside_the_file(run, web, tmp_path):
    serve("web", run["damaged"], web, None, "beside.lma")
    with kelvane.LmaFile(run["damaged"]) as local:
        local.save_index(tmp_path / "beside.lmaidx")
        web.files["/beside.lma.lmaidx"] = \
            (tmp_path / "beside.lmaidx").read_bytes()
        before, sent = web.count(), web.sent()
        with kelvane.LmaFile(f"{web.url}/beside.lma") as f:
            # Size, header, sidecar, the last records, and the heads of
            # the 16 records compared: a few requests, little of the file.
            assert web.count() - before <= 4 + 16
            assert web.sent() - sent < os.path.getsize(run["damaged"]) // 4
            assert f._native.scan_count == 0
            assert_same(f, local)


def test_http_oversized_sidecar_is_not_fetched_whole(run, web, tmp_path):
    serve("web", run["run"], web, None, "big.lma")
    with kelvane.LmaFile(run["run"]) as local:
        local.save_index(tmp_path / "big.lmaidx")
        longest = local._native.longest_sidecar(os.path.getsize(run["run"]))
    data = (tmp_path / "big.lmaidx").read_bytes()
    web.files["/big.lma.lmaidx"] = data + bytes(longest + (4 << 20))
    sent = web.sent()
    with pytest.warns(kelvane.StaleIndexWarning,
                      match="larger than any index"):
        f = kelvane.LmaFile(f"{web.url}/big.lma")
    with f:
        assert f._native.scan_count == 1
    # The file itself once, and the sidecar no further than any index.
    assert web.sent() - sent < os.path.getsize(run["run"]) + longest + \
        (1 << 20)


def test_a_refused_upload_is_one_line(capsys, run, web):
    from kelvane import cli
    with open(run["run"], "rb") as raw:
        web.files["/unwritable.lma"] = raw.read()
    # The test's server answers no PUT.
    assert cli.main(["index", f"{web.url}/unwritable.lma"]) == 1
    err = capsys.readouterr().err
    assert err.startswith("lma: error: ") and err.count("\n") == 1
    import aiohttp
    with kelvane.LmaFile(f"{web.url}/unwritable.lma") as f, \
            pytest.raises(OSError, match="unwritable.lma.lmaidx") as caught:
        f.save_index()
    assert isinstance(caught.value.__cause__, aiohttp.ClientError)


# --- fetching each byte once, and little for a jump --------------------------

@pytest.fixture
def blocks_of(monkeypatch):
    """Blocks of 128 kB and small reads of 16 kB, so that a run of
    700 kB spans several of each."""
    monkeypatch.setattr(sources, "BLOCK_BYTES", 128 << 10)
    monkeypatch.setattr(sources, "SMALL_BYTES", 16 << 10)
    return 128 << 10


@pytest.mark.parametrize("batch", [1, 7, 61, 113, 300])
def test_sequential_batches_fetch_each_byte_once(batch, run, web,
                                                 blocks_of):
    # 61 and 113 events are more than a block: a batch ends inside the
    # bytes fetched past the one before.
    f = serve("web", run["run"], web, None, f"once-{batch}.lma")
    size = os.path.getsize(run["run"])
    before = web.sent()
    with f, kelvane.LmaFile(run["run"]) as local:
        for first in range(0, 300, batch):
            got = f.read(first, min(300, first + batch))
            np.testing.assert_array_equal(
                got.traces["channel1"],
                local.read(first, min(300, first + batch)).traces["channel1"])
    assert web.sent() - before <= size + blocks_of


def test_parallel_tasks_fetch_each_byte_once(run, web, blocks_of):
    from concurrent.futures import ThreadPoolExecutor
    f = serve("web", run["run"], web, None, "tasks.lma")
    size = os.path.getsize(run["run"])
    chunks = [(a, min(300, a + 43)) for a in range(0, 300, 43)]
    before = web.sent()
    with f, ThreadPoolExecutor(3) as pool:
        got = list(pool.map(lambda c: f.read(*c).tags, chunks))
    assert np.concatenate(got).tolist() == list(range(300))
    assert web.sent() - before <= size + len(chunks) * blocks_of


@pytest.mark.parametrize("order", ["random", "backwards"])
def test_single_events_fetch_what_they_need(order, run, web, monkeypatch):
    # A run of three blocks stands for one of many.
    monkeypatch.setattr(sources, "BLOCK_BYTES", 256 << 10)
    f = serve("web", run["run"], web, None, f"single-{order}.lma")
    with f:
        ends = np.append(f.offsets[1:], os.path.getsize(run["run"]))
        largest = int((ends - f.offsets).max())
        picks = np.random.default_rng(3).integers(0, 300, 1000) \
            if order == "random" else range(299, -1, -1)
        before = web.sent()
        for i in picks:
            assert f[int(i)].tag == int(i)
        assert web.sent() - before <= len(picks) * (largest + (64 << 10))


# --- an object replaced in the store -----------------------------------------

def other_run(run, tmp_path, nevents=600):
    """Another run behind the same header bytes: records of other
    lengths, more of them."""
    with kelvane.LmaFile(run["run"]) as f:
        begin = f.pos_begin
    other = tmp_path / "other.lma"
    write_random_run(other, nevents, nchannels=4, nsamples=1024, pulses=5,
                     seed=1)
    data = pathlib.Path(run["run"]).read_bytes()[:begin] + \
        other.read_bytes()[begin:]
    return data


def put(kind, name, data, web, s3):
    if kind == "web":
        web.files["/" + name] = data
        return f"{web.url}/{name}", None
    if kind == "s3":
        s3[0].pipe(f"runs/{name}", data)
        return f"s3://runs/{name}", s3[1]
    import fsspec
    fsspec.filesystem("memory").pipe(f"/runs/{name}", data)
    return f"memory://runs/{name}", None


@pytest.mark.parametrize("kind", ["web", "memory"])
def test_refresh_over_kept_bytes_of_a_replaced_object(kind, run, web, s3,
                                                      tmp_path):
    # The last records' bytes are kept from a read; the object is then
    # another run with the same header. Walked over the kept bytes, the
    # last record would still fit and the count would be wrong.
    url, options = put(kind, "kept.lma", pathlib.Path(run["run"]).read_bytes(),
                       web, s3)
    with kelvane.LmaFile(url, storage_options=options) as f:
        f.read(290, 300)
        put(kind, "kept.lma", other_run(run, tmp_path), web, s3)
        with pytest.raises(kelvane.FileReplacedError, match="kept.lma"):
            f.refresh()


@pytest.mark.parametrize("kind", ["web", "s3"])
def test_reads_are_pinned_to_the_object_opened(kind, run, web, s3, tmp_path,
                                               small_blocks):
    # Replaced between the requests of one read: never a mix of both.
    data = pathlib.Path(run["run"]).read_bytes()
    url, options = put(kind, "pinned.lma", data, web, s3)
    f = kelvane.LmaFile(url, storage_options=options)
    other = other_run(run, tmp_path)
    if kind == "web":
        web.after_get = lambda: web.files.update({"/pinned.lma": other})
    else:
        fetch = sources.UrlSource._fetch

        def then_replace(self, start, stop):
            got = fetch(self, start, stop)
            put(kind, "pinned.lma", other, web, s3)
            return got
        f._source._fetch = types.MethodType(then_replace, f._source)
    try:
        with f, pytest.raises(kelvane.FileReplacedError, match="pinned.lma"):
            f.read()
    finally:
        web.after_get = None
    # Grown, it is followed: re-pinned to the new version.
    records = data[f.pos_begin:]
    put(kind, "pinned.lma", data + records, web, s3)
    with kelvane.LmaFile(url, storage_options=options) as f:
        put(kind, "pinned.lma", data + records * 2, web, s3)
        with pytest.raises(kelvane.FileReplacedError):
            f.read(0, 10)
        assert f.refresh() == 300 and len(f.read().tags) == 900


@pytest.mark.parametrize("etag", ["weak", False])
def test_without_a_strong_etag_refresh_checks(etag, run, web, tmp_path):
    # Nothing to pin reads to: they go on, and refresh() tells.
    web.etag = etag
    try:
        web.files["/weak.lma"] = pathlib.Path(run["run"]).read_bytes()
        with kelvane.LmaFile(f"{web.url}/weak.lma") as f:
            assert len(f.read(0, 300).tags) == 300
            web.files["/weak.lma"] = other_run(run, tmp_path)
            with pytest.raises(kelvane.FileReplacedError):
                f.refresh()
    finally:
        web.etag = True


# --- what a store or its server does wrong, said once ------------------------

def test_a_server_that_ignores_ranges(run, web, capsys):
    from kelvane import cli
    web.files["/whole.lma"] = pathlib.Path(run["run"]).read_bytes()
    url = f"{web.url}/whole.lma"
    web.fault = "whole"
    try:
        with pytest.raises(OSError) as caught:
            kelvane.LmaFile(url)
        assert cli.main(["info", url]) == 1
    finally:
        web.fault = None
    message = str(caught.value)
    assert sources.RANGE_IGNORED in message and message.count(url) == 1
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and err.count(url) == 1 and \
        sources.RANGE_IGNORED in err


def test_a_refused_connection_is_not_a_missing_file(capsys):
    from kelvane import cli
    url = f"http://127.0.0.1:{free_port()}/a.lma"
    with pytest.raises(ConnectionError, match="connection failed: "
                       "Connection refused"):
        kelvane.LmaFile(url)
    assert cli.main(["info", url]) == 1
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and "connection failed" in err


def test_a_presigned_url_has_no_sidecar(run, web, recwarn):
    web.files["/signed.lma"] = pathlib.Path(run["run"]).read_bytes()
    del web.paths[:]
    with kelvane.LmaFile(f"{web.url}/signed.lma?X-Signature=ab%2Fc") as f:
        assert len(f) == 300
    assert not [p for p in web.paths if "lmaidx" in p]
    assert not [w for w in recwarn if w.category is
                kelvane.StaleIndexWarning]


def test_a_local_file_with_a_sidecar_at_a_url(run, web, tmp_path):
    with kelvane.LmaFile(run["run"]) as local:
        local.save_index(tmp_path / "url.lmaidx")
    web.files["/url.lmaidx"] = (tmp_path / "url.lmaidx").read_bytes()
    with kelvane.LmaFile(run["run"], index=f"{web.url}/url.lmaidx") as f:
        assert f._native.scan_count == 0 and len(f) == 300


def test_file_urls_name_their_path(run, tmp_path):
    spaced = tmp_path / "a run #1.lma"
    spaced.write_bytes(pathlib.Path(run["run"]).read_bytes())
    for url in (spaced.as_uri(), "file://localhost" + str(spaced)):
        with kelvane.LmaFile(url) as f:
            assert f.path == url and len(f) == 300


class Trickle(io.RawIOBase):
    """A raw file that gives at most 7 bytes a call."""

    def __init__(self, data):
        self.inner = io.BytesIO(data)

    def readable(self):
        return True

    def seekable(self):
        return True

    def seek(self, offset, whence=0):
        return self.inner.seek(offset, whence)

    def readinto(self, b):
        return self.inner.readinto(memoryview(b)[:7])


class OnlyReadinto:
    """A file object with `seek` and `readinto`, no `read`."""

    def __init__(self, data):
        self.inner = Trickle(data)
        self.seek, self.readinto = self.inner.seek, self.inner.readinto


@pytest.mark.parametrize("make", [Trickle, OnlyReadinto])
def test_file_objects_that_give_few_bytes(make, make_lma):
    path = make_lma((0, 2), [Event(i, [[Pulse(i, [i] * 9)], []])
                             for i in range(20)], nsamples=40)
    with kelvane.LmaFile(make(pathlib.Path(path).read_bytes())) as f, \
            kelvane.LmaFile(path) as local:
        assert_same(f, local)


def test_a_versioned_bucket_reads_the_version_opened(run, s3, tmp_path):
    # Where the store keeps versions, reads go on from the one opened.
    fs, options = s3
    fs.mkdir("versioned")
    fs.call_s3("put_bucket_versioning", Bucket="versioned",
               VersioningConfiguration={"Status": "Enabled"})
    fs.pipe("versioned/run.lma", pathlib.Path(run["run"]).read_bytes())
    with kelvane.LmaFile("s3://versioned/run.lma",
                         storage_options=options) as f, \
            kelvane.LmaFile(run["run"]) as local:
        fs.pipe("versioned/run.lma", other_run(run, tmp_path))
        assert_same(f, local)


def test_refresh_drops_bytes_read_ahead(web, tmp_path, small_blocks):
    # The same records with other samples, and more of them: refresh()
    # takes it as grown, and reads then give the new samples, none from
    # a block read ahead before.
    a, b = tmp_path / "a.lma", tmp_path / "b.lma"
    for path, sign, n in [(a, 1, 300), (b, -1, 400)]:
        write_lma(path, (0,), [Event(i, [[Pulse(0, [sign * i] * 300)]])
                               for i in range(n)], nsamples=512)
    web.files["/ahead.lma"] = a.read_bytes()
    with kelvane.LmaFile(f"{web.url}/ahead.lma") as f, \
            kelvane.LmaFile(str(b)) as local:
        for first in range(0, 120, 5):
            f.read(first, first + 5)
        start, _, pending = f._source._next
        pending.result()
        web.files["/ahead.lma"] = b.read_bytes()
        assert f.refresh() == 100
        i = int(np.searchsorted(f.offsets, start))
        np.testing.assert_array_equal(f.read(i, i + 50).traces["channel0"],
                                      local.read(i, i + 50).traces["channel0"])


def test_credentials_are_neither_written_nor_shown(run, web, tmp_path,
                                                   capsys):
    # The user-info part of a URL stays in `path` and pickles, which
    # reopen it, and out of every output, message and repr.
    from kelvane import cli
    pd = pytest.importorskip("pandas")
    serve("web", run["damaged"], web, None, "private.lma")
    url = web.url.replace("://", "://user:pa55w0rd@") + "/private.lma"
    bare = f"{web.url}/private.lma"
    with kelvane.LmaFile(url) as f:
        assert f.path == pickle.loads(pickle.dumps(f)).path == url
        assert "pa55w0rd" not in repr(f)
    commands = [["convert", url, "out.zarr"], ["convert", url, "out.nc"],
                ["convert", url, "out.npz"],
                ["convert", "--pulses", url, "pulses.parquet"],
                ["features", url, "-o", "table.parquet"],
                ["features", url, "-o", "table.csv"], ["info", url]]
    for argv in commands:
        argv = [str(tmp_path / a) if "." in a and a != url else a
                for a in argv]
        assert cli.main(argv) == 1      # the input ends in a damaged record
        out, err = capsys.readouterr()
        assert "pa55w0rd" not in out + err and bare in out + err
    for path in tmp_path.rglob("*"):
        if path.is_file():
            assert b"pa55w0rd" not in path.read_bytes(), path
    assert set(pd.read_parquet(tmp_path / "table.parquet")["file"]) == {bare}


@pytest.mark.parametrize("option", [
    "config_kwargs=5", "client_kwargs=5", 'client_kwargs={"region_name": 5}'])
def test_storage_options_the_store_cannot_use(option, run, s3, capsys):
    from kelvane import cli
    url, _ = put_s3(s3, "options.lma", run["run"])
    assert cli.main(["info", url, *s3_cli(s3)[:4],
                     "--storage-option", option]) == 1
    err = capsys.readouterr().err
    assert err.startswith(f"lma: error: cannot open {url}: ")
    assert err.count("\n") == 1


@pytest.mark.parametrize("kind", ["web", "s3"])
def test_a_run_elsewhere_equals_the_run_here(kind, run, web, s3, tmp_path):
    names = []
    for k, n in enumerate([120, 7, 60]):
        local = tmp_path / f"part_{k}.lma"
        write_random_run(local, n, nchannels=4, nsamples=1024, seed=k)
        names.append(str(local))
        put(kind, f"runs-{kind}/part_{k}.lma", local.read_bytes(), web, s3)
    here = kelvane.Run(names)
    if kind == "web":
        before = web.sent()
        there = kelvane.Run([f"{web.url}/runs-web/part_{k}.lma"
                             for k in range(3)])
        # Each header, and no record: the files are indexed when needed.
        assert web.sent() - before <= 3 * sources.HEADER_BYTES
    else:
        there = kelvane.Run("s3://runs/runs-s3/part_*.lma",
                            storage_options=s3[1])
    assert len(there) == len(here) == 187
    for a, b in [(0, 187), (110, 130)]:
        x, y = there.read(a, b), here.read(a, b)
        assert x.file.tolist() == y.file.tolist()
        for key in x.traces:
            np.testing.assert_array_equal(x.traces[key], y.traces[key])
        np.testing.assert_array_equal(there.pulses(a, b).samples,
                                      here.pulses(a, b).samples)
        np.testing.assert_array_equal(
            there.features(a, b, threshold=10.0).values["cfd"],
            here.features(a, b, threshold=10.0).values["cfd"])


def test_threads_index_a_file_of_a_run_once(run, web):
    size = os.path.getsize(run["run"])
    web.files["/once.lma"] = pathlib.Path(run["run"]).read_bytes()
    f = kelvane.Run(f"{web.url}/once.lma").files[0]
    start = threading.Barrier(4)

    def count(_):
        start.wait()
        return len(f)

    before = web.sent()
    # Slow responses, so that every thread asks while the index is made.
    web.after_get = lambda: time.sleep(0.02)
    try:
        with ThreadPoolExecutor(4) as pool:
            assert list(pool.map(count, range(4))) == [300] * 4
    finally:
        web.after_get = None
    assert web.sent() - before <= size


def test_dask_partitions_fetch_their_own_records(run, web, tmp_path):
    size = os.path.getsize(run["run"])
    web.files["/parts.lma"] = pathlib.Path(run["run"]).read_bytes()
    there = kelvane.Run(f"{web.url}/parts.lma")
    with kelvane.LmaFile(run["run"]) as f:
        largest = int(np.diff(np.append(f.offsets, size)).max())
        header = f.pos_begin
    frame = there.to_dask_dataframe(partition_events=40, threshold=10.0)
    before = web.sent()
    got = frame.compute(scheduler="processes", num_workers=2)
    assert got["tag"].tolist() == list(range(300))
    parts = frame.npartitions
    assert web.sent() - before <= size + parts * (header + largest
                                                  + (64 << 10))


@pytest.mark.parametrize("kind", ["web", "s3"])
def test_a_header_not_yet_written(kind, run, web, s3, tmp_path):
    local = tmp_path / "new.lma"
    for size in (0, 60):
        with open(run["run"], "rb") as whole:
            local.write_bytes(whole.read(size))
        if kind == "web":
            web.files["/new.lma"] = local.read_bytes()
            url, options = f"{web.url}/new.lma", None
        else:
            url, options = put_s3(s3, "new.lma", local)
        with pytest.raises(kelvane.IncompleteHeaderError,
                           match=rf"no complete header yet \({size} bytes\)"):
            kelvane.LmaFile(url, storage_options=options)


# Served under glob/, a run of files of 10, 2 and 1 events (by name), and
# one the pattern leaves out.
GLOBBED = {"run_10.lma": 10, "run_2.lma": 2, "run_1.lma": 1, "other.lma": 3}


@pytest.mark.parametrize("kind", ["web", "s3"])
def test_patterns_over_urls(kind, web, s3, tmp_path, capsys):
    from kelvane import cli
    for name, n in GLOBBED.items():
        write_lma(tmp_path / name, (0,),
                  [Event(i, [[Pulse(0, [i])]]) for i in range(n)], nsamples=4)
        data = (tmp_path / name).read_bytes()
        if kind == "web":
            web.files[f"/glob/{name}"] = data
        else:
            s3[0].pipe(f"runs/glob/{name}", data)
    base, options, argv = (f"{web.url}/glob", None, []) if kind == "web" \
        else ("s3://runs/glob", s3[1], s3_cli(s3))
    want = [f"{base}/run_{k}.lma" for k in (1, 2, 10)]
    assert cli.main(["info", f"{base}/run_*.lma", *argv]) == 0
    out = capsys.readouterr().out
    assert [line.split()[-1] for line in out.splitlines()
            if line.startswith("file" + " " * 13)] == want
    with kelvane.open_dataset(f"{base}/run_*.lma",
                              storage_options=options) as ds:
        assert list(ds.attrs["sources"]) == want
        assert ds.sizes["event"] == 13
    assert cli.main(["info", f"{base}/nope_*.lma", *argv]) == 1
    assert capsys.readouterr().err == \
        f"lma: error: no file matches {base}/nope_*.lma\n"
    if kind == "web":
        # A query string (a presigned URL's) is no pattern.
        signed = f"{base}/run_2.lma?sig=a*b"
        web.files["/glob/run_2.lma?sig=a*b"] = web.files["/glob/run_2.lma"]
        assert cli.main(["info", signed]) == 0
        assert "events           2\n" in capsys.readouterr().out
