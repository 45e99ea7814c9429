"""LmaFile over bytes held elsewhere: a URL served by a real HTTP server of
the test's own and by a standalone S3 server, and an open file object.
Every result is compared with the same file read locally."""

import hashlib
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
import io
import json
import os
import pickle
import socket
import threading

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
    (with the bytes sent), and how it misbehaves on range requests."""

    def __init__(self):
        self.files = {}
        self.requests = []
        self.fault = None   # None, "cut", "short" or "fail"
        self.etag = True
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
        data = self.served.files.get(self.path)
        if data is None and self.path.endswith("/"):
            data = self.listing()
        if data is None:
            self.record(0)
            self.send_response(404)
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        start, stop = 0, len(data)
        ranged = self.headers.get("Range")
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
            self.send_header("ETag",
                             '"%s"' % hashlib.md5(data).hexdigest())
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
    names = ["size", "mtime", "header", "etag", "offsets", "end"]
    for k, v in change.items():
        fields[names.index(k)] = v
    return kelvane.sidecar.from_parts(tuple(fields))


@pytest.mark.parametrize("fault, reason", [
    ("another header", "another header"),
    ("shorter", "shorter"),
    ("etag", "another version"),
    ("records moved", "no longer ends"),
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
    elif fault == "records moved":
        # Same header and size, other record lengths, no ETag kept: the
        # walk over the last record is what tells.
        a, now = tmp_path / "a.lma", str(tmp_path / "b.lma")
        write_lma(a, (0,), [Event(1, [[Pulse(0, [1] * 10)]]),
                            Event(2, [[Pulse(0, [2] * 30)]])], nsamples=64)
        write_lma(now, (0,), [Event(1, [[Pulse(0, [1] * 30)]]),
                              Event(2, [[Pulse(0, [2] * 10)]])], nsamples=64)
        put_s3(s3, name, a)
        fs.rm(f"runs/{name}.lmaidx")
        with kelvane.LmaFile(url, storage_options=options) as f:
            data = forged(f._native.sidecar(b"", f._source.size))
    elif fault == "etag":
        data = forged(data, etag=b'"another"')
    elif fault == "checksum":
        data = data[:100] + bytes([data[100] ^ 1]) + data[101:]
    elif fault == "version":
        data = data[:8] + b"\x02" + data[9:]
    elif fault == "negative offsets":
        offsets = np.frombuffer(kelvane.sidecar.parts(data)[4], np.int64)
        data = forged(data, offsets=(offsets - 10**6).tobytes())
    elif fault == "offsets":
        # The last offset inside the record before it.
        offsets = np.frombuffer(kelvane.sidecar.parts(data)[4], np.int64)
        data = forged(data, offsets=(offsets - np.arange(300) // 299 * 64
                                     ).tobytes())
    if fault in ("another header", "shorter"):
        # Without the ETag, which would tell first.
        data = forged(data, etag=b"")
    put_s3(s3, name, now)
    fs.pipe(f"runs/{name}.lmaidx", data)
    with pytest.warns(kelvane.StaleIndexWarning, match=reason) as caught:
        f = kelvane.LmaFile(url, storage_options=options)
    assert len(caught) == 1
    with f, kelvane.LmaFile(now) as local:
        assert f._native.scan_count == 1
        assert_same(f, local)


def test_s3_sidecar_of_a_grown_object(run, s3, fetches, small_blocks,
                                      recwarn):
    # Indexed while cut short; the whole run is there now.
    fs, options = s3
    url, _ = put_s3(s3, "grown.lma", run["damaged"])
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
            # Size, header, sidecar, the last records: a few requests,
            # and little of the file.
            assert web.count() - before == 4
            assert web.sent() - sent < os.path.getsize(run["damaged"]) // 4
            assert f._native.scan_count == 0
            assert_same(f, local)


def test_a_refused_upload_is_one_line(capsys, run, web):
    from kelvane import cli
    with open(run["run"], "rb") as raw:
        web.files["/unwritable.lma"] = raw.read()
    # The test's server answers no PUT.
    assert cli.main(["index", f"{web.url}/unwritable.lma"]) == 1
    err = capsys.readouterr().err
    assert err.startswith("lma: error: ") and err.count("\n") == 1


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
