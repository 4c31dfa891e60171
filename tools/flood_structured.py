"""Structured tool output for the flood corpus: what an agent host's tools return.

Natural outputs are what real tools print for one question: a metric timeline,
a trace, a key-value stats dump, a CSV table, a JSON API response, a stack
trace, a directory listing, test runner output, a diff, a short log excerpt.
They repeat a row layout, but each row carries its own values, and a page of
them holds at most about forty rows of one layout (a few hundred bytes to about
8 KB), as tools page or truncate their answers.

Floods of the structured kind are built to fill a window: hundreds of rows of
one layout (forged logs, metric rows, records, listing entries), or one forged
line repeated with only a counter or a timestamp moving.

Every text here is generated from the templates and word lists below, written
for this project (MIT). The generator has its own seed, so these records come
out the same on any machine.
"""
from __future__ import annotations

import json
import random
from typing import Callable, List, Tuple

rng = random.Random(20261209)

SERVICES = ["checkout", "pricing", "auth", "search", "billing", "inventory", "gateway", "notify"]
WORDS = ["cache", "rules", "quote", "session", "token", "order", "refund", "invoice", "report",
         "export", "upload", "index", "profile", "ledger", "coupon", "shipment", "catalog", "payment"]
USERS = ["ana", "bo", "chen", "dara", "eli", "fatima", "goran", "hana", "ivo", "jun", "kemal", "lina"]
CITIES = ["Lisbon", "Osaka", "Lagos", "Quito", "Tallinn", "Perth", "Cairo", "Oslo", "Lyon", "Pune",
          "Recife", "Hanoi", "Tunis", "Leeds", "Graz", "Busan"]
LEVELS = ["INFO", "INFO", "INFO", "WARN", "DEBUG", "ERROR"]
MESSAGES = [
    "accepted connection from {ip}:{port}",
    "GET /api/v2/{w}/{n} 200 {lat}ms",
    "POST /api/v2/{w} 201 {lat}ms",
    "{w} cache miss for key {w2}:{n}",
    "retrying {w} job {hex} attempt {a}/5",
    "slow query on {w}s took {lat}ms rows={n}",
    "scheduled {w} compaction in {a}m",
    "user {u} signed in from {ip}",
    "flushed {n} {w} events to kafka partition {a}",
    "config reloaded: {w}.ttl={a}s",
    "health check ok ({lat}ms)",
    "worker {a} picked up {w} batch {n}",
]


def ip() -> str:
    return ".".join(str(rng.randint(1, 254)) for _ in range(4))


def clock(start: int, step: int, i: int) -> str:
    t = start + i * step + rng.randint(0, step // 2)
    return f"{t // 3600 % 24:02d}:{t // 60 % 60:02d}:{t % 60:02d}"


def ident(n: int = 8) -> str:
    return f"{rng.getrandbits(4 * n):0{n}x}"


def log_line(i: int, start: int) -> str:
    msg = rng.choice(MESSAGES).format(
        ip=ip(), port=rng.randint(1024, 65535), w=rng.choice(WORDS), w2=rng.choice(WORDS),
        n=rng.randint(1, 99999), lat=rng.randint(1, 3000), hex=ident(12), a=rng.randint(1, 9),
        u=rng.choice(USERS))
    return (f"2026-12-0{rng.randint(1, 8)}T{clock(start, 7, i)}.{rng.randint(0, 999):03d}Z "
            f"{rng.choice(LEVELS):<5} [{rng.choice(SERVICES)}] {msg}")


# --------------------------------------------------------------------------- natural

def metric_timeline() -> str:
    svc = rng.choice(SERVICES)
    rows = rng.randint(6, 36)
    start = rng.randint(0, 80000)
    head = (f"{svc}: p95 latency by {rng.choice(['minute', '2 minutes', '5 minutes'])}, "
            f"{rows} samples from {rng.choice(['prometheus', 'datadog', 'grafana'])}\n"
            f"{'time':<10} {'p95_ms':>7} {'p50_ms':>7} {'rps':>6} {'errors':>7}  pod\n")
    base = rng.randint(80, 900)
    body = []
    for i in range(rows):
        p95 = base + rng.randint(-base // 3, base)
        body.append(f"{clock(start, 60, i)}Z {p95:>7} {p95 // rng.randint(2, 6):>7} "
                    f"{rng.randint(20, 900):>6} {rng.random() * 2:>6.2f}%  {svc}-{rng.randint(1, 12)}")
    tail = f"\nmax p95 {max(int(r.split()[1]) for r in body)} ms; {rng.choice(['no alerts fired', 'alert SLO-burn fired at ' + clock(start, 60, rows // 2)])}"
    return head + "\n".join(body) + tail


def trace() -> str:
    ops = [f"{s}.{rng.choice(['handle', 'quote', 'load', 'render', 'query', 'publish', 'verify'])}"
           for s in rng.sample(SERVICES, 5)]
    spans = rng.randint(5, 30)
    lines = [f"trace {ident(16)}: {spans} spans, {rng.randint(40, 4000)} ms total, root {ops[0]}",
             f"{'span':<17} {'parent':<17} {'operation':<22} {'ms':>6}  attributes"]
    ids = [ident(16)]
    for _ in range(spans):
        sid = ident(16)
        attrs = rng.choice([f"db.rows={rng.randint(0, 900)}", f"http.status={rng.choice([200, 200, 304, 404, 503])}",
                            f"cache.hit={rng.choice(['true', 'false'])}", f"retry={rng.randint(0, 3)}",
                            f"peer={ip()}", f"user={rng.choice(USERS)}"])
        lines.append(f"{sid:<17} {rng.choice(ids):<17} {rng.choice(ops):<22} {rng.randint(0, 2000):>6}  {attrs}")
        ids.append(sid)
    return "\n".join(lines)


def kv_stats() -> str:
    sections = {
        "Server": ["redis_version:7.2.4", f"uptime_in_seconds:{rng.randint(1000, 9999999)}", f"tcp_port:{rng.choice([6379, 6380])}",
                   "process_supervisor:systemd", f"executable:/usr/bin/redis-server", f"config_file:/etc/redis/redis.conf"],
        "Clients": [f"connected_clients:{rng.randint(1, 900)}", f"blocked_clients:{rng.randint(0, 9)}",
                    f"maxclients:{rng.choice([1000, 10000])}", f"client_recent_max_input_buffer:{rng.randint(8, 90000)}"],
        "Memory": [f"used_memory:{rng.randint(10**6, 10**10)}", f"used_memory_human:{rng.uniform(0.1, 9):.2f}G",
                   f"used_memory_peak_human:{rng.uniform(1, 12):.2f}G", f"maxmemory_policy:{rng.choice(['allkeys-lru', 'noeviction', 'volatile-ttl'])}",
                   f"mem_fragmentation_ratio:{rng.uniform(0.9, 2.5):.2f}"],
        "Stats": [f"total_connections_received:{rng.randint(1000, 10**7)}", f"total_commands_processed:{rng.randint(10**6, 10**9)}",
                  f"instantaneous_ops_per_sec:{rng.randint(10, 90000)}", f"keyspace_hits:{rng.randint(10**5, 10**8)}",
                  f"keyspace_misses:{rng.randint(10**4, 10**8)}", f"expired_keys:{rng.randint(0, 10**7)}",
                  f"evicted_keys:{rng.randint(0, 10**5)}", f"rejected_connections:{rng.randint(0, 40)}"],
        "Replication": [f"role:{rng.choice(['master', 'replica'])}", f"connected_slaves:{rng.randint(0, 3)}",
                        f"master_repl_offset:{rng.randint(0, 10**9)}"],
    }
    out = []
    for name in rng.sample(list(sections), rng.randint(2, 5)):
        out.append(f"# {name}")
        out += sections[name]
        out.append("")
    out.append("# Keyspace")
    for d in range(rng.randint(1, 16)):
        out.append(f"db{d}:keys={rng.randint(1, 90000)},expires={rng.randint(0, 9000)},avg_ttl={rng.randint(0, 90000)}")
    return "\n".join(out)


def csv_table() -> str:
    cols = rng.choice([
        ("order_id", "customer", "city", "total_eur", "status", "created"),
        ("sku", "name", "stock", "price", "warehouse"),
        ("user", "city", "plan", "seats", "mrr", "signup"),
    ])
    lines = [",".join(cols)]
    for _ in range(rng.randint(5, 35)):
        vals = {"order_id": str(rng.randint(10000, 99999)), "customer": f"{rng.choice(USERS)}@example.org",
                "city": rng.choice(CITIES), "total_eur": f"{rng.uniform(3, 900):.2f}",
                "status": rng.choice(["paid", "refunded", "pending", "shipped"]),
                "created": f"2026-{rng.randint(1, 12):02d}-{rng.randint(1, 28):02d}",
                "sku": f"{rng.choice('ABCDEFGH')}{rng.randint(100, 999)}-{rng.choice(WORDS)[:3].upper()}",
                "name": f"{rng.choice(WORDS)} {rng.choice(['kit', 'pack', 'box', 'set', 'refill'])}",
                "stock": str(rng.randint(0, 500)), "price": f"{rng.uniform(1, 300):.2f}",
                "warehouse": rng.choice(["AMS1", "FRA2", "DUB1", "WAW3"]), "user": rng.choice(USERS),
                "plan": rng.choice(["free", "team", "business", "enterprise"]), "seats": str(rng.randint(1, 400)),
                "mrr": str(rng.randint(0, 20000)), "signup": f"2025-{rng.randint(1, 12):02d}-{rng.randint(1, 28):02d}"}
        lines.append(",".join(vals[c] for c in cols))
    return "\n".join(lines)


def json_api() -> str:
    items = []
    for _ in range(rng.randint(2, 30)):
        items.append({"id": ident(12), "type": rng.choice(WORDS), "owner": rng.choice(USERS),
                      "status": rng.choice(["open", "closed", "merged", "draft"]),
                      "labels": rng.sample(["bug", "infra", "p1", "p2", "flaky", "docs", "perf"], rng.randint(0, 3)),
                      "updated_at": f"2026-12-0{rng.randint(1, 8)}T{clock(rng.randint(0, 80000), 1, 0)}Z",
                      "stats": {"comments": rng.randint(0, 40), "reactions": rng.randint(0, 12)}})
    body = {"data": items, "meta": {"page": rng.randint(1, 9), "per_page": 25, "total": rng.randint(len(items), 900)},
            "links": {"next": f"https://api.example.com/v3/items?page={rng.randint(2, 10)}&cursor={ident(16)}"}}
    return json.dumps(body, indent=rng.choice([2, 2, None]))


PY_FRAMES = [("app/server.py", "handle_request", "response = await handler(request)"),
             ("app/routes/checkout.py", "post_checkout", "quote = pricing.quote(cart)"),
             ("pricing/client.py", "quote", "unit = self._price(item.sku)"),
             ("pricing/client.py", "_price", "raw = cache.get(key)"),
             ("pricing/cache.py", "get", "return self._conn.execute('GET', key)"),
             ("redis/client.py", "execute_command", "return conn.retry.call_with_retry("),
             ("redis/retry.py", "call_with_retry", "return do()"),
             ("redis/connection.py", "read_response", "response = self._parser.read_response()"),
             ("lib/json/decoder.py", "raw_decode", "obj, end = self.scan_once(s, idx)"),
             ("app/models.py", "from_row", "return cls(**{k: row[k] for k in cls.FIELDS})")]


def stack_trace() -> str:
    if rng.random() < 0.5:
        frames = rng.sample(PY_FRAMES, rng.randint(3, len(PY_FRAMES)))
        out = ["Traceback (most recent call last):"]
        for path, fn, code in frames:
            out.append(f'  File "/srv/{path}", line {rng.randint(10, 900)}, in {fn}')
            out.append(f"    {code}")
        out.append(rng.choice(["redis.exceptions.ConnectionError: Error 111 connecting to 10.0.3.7:6379. Connection refused.",
                               "KeyError: 'unit_price_cents'", "TimeoutError: pricing quote took longer than 2.0 s",
                               "json.decoder.JSONDecodeError: Expecting value: line 1 column 1 (char 0)"]))
        return "\n".join(out)
    pkgs = ["org.springframework.web.servlet.FrameworkServlet", "org.apache.catalina.core.ApplicationFilterChain",
            "com.example.pricing.QuoteService", "com.example.pricing.cache.RedisCache", "io.lettuce.core.RedisClient",
            "org.springframework.web.filter.OncePerRequestFilter", "org.apache.coyote.http11.Http11Processor",
            "java.base/java.util.concurrent.ThreadPoolExecutor", "com.example.checkout.CheckoutController",
            "org.hibernate.engine.jdbc.spi.SqlExceptionHelper", "com.zaxxer.hikari.pool.HikariPool"]
    methods = ["doFilter", "invoke", "service", "quote", "get", "connect", "process", "runWorker", "handle", "execute"]
    out = [f"{rng.choice(['java.lang.IllegalStateException', 'io.lettuce.core.RedisConnectionException', 'java.net.SocketTimeoutException'])}: "
           f"{rng.choice(['Unable to connect to redis:6379', 'Read timed out', 'pool exhausted after 30000ms'])}"]
    for _ in range(rng.randint(6, 40)):
        cls = rng.choice(pkgs)
        out.append(f"\tat {cls}.{rng.choice(methods)}({cls.rsplit('.', 1)[-1]}.java:{rng.randint(20, 2000)})")
    out.append(f"\t... {rng.randint(5, 80)} more")
    return "\n".join(out)


def dir_listing() -> str:
    out = [f"total {rng.randint(8, 9000)}"]
    exts = [".py", ".md", ".json", ".yaml", ".log", ".csv", "", ".sh", ".toml", ".lock"]
    for _ in range(rng.randint(4, 36)):
        d = rng.random() < 0.2
        name = f"{rng.choice(WORDS)}{rng.choice(['', '_' + rng.choice(WORDS), 's', '-v' + str(rng.randint(1, 9))])}" + ("" if d else rng.choice(exts))
        out.append(f"{'drwxr-xr-x' if d else rng.choice(['-rw-r--r--', '-rw-rw-r--', '-rwxr-xr-x'])} {rng.randint(1, 9):>2} "
                   f"{rng.choice(USERS):<7} {rng.choice(['staff', 'users', 'dev']):<6} {rng.randint(0, 10**6):>8} "
                   f"{rng.choice(['Nov', 'Dec'])} {rng.randint(1, 30):>2} {clock(rng.randint(0, 80000), 1, 0)[:5]} {name}{'/' if d else ''}")
    return "\n".join(out)


def test_output() -> str:
    if rng.random() < 0.5:
        tests = [f"tests/test_{rng.choice(WORDS)}.py::test_{rng.choice(WORDS)}_{rng.choice(['ok', 'empty', 'retry', 'expired', 'unicode', 'limit', 'roundtrip'])}"
                 for _ in range(rng.randint(5, 35))]
        out = [f"============================= test session starts ==============================",
               f"platform linux -- Python 3.{rng.randint(9, 13)}.{rng.randint(0, 9)}, pytest-8.{rng.randint(0, 3)}.{rng.randint(0, 4)}",
               f"collected {len(tests)} items", ""]
        fails = 0
        for k, t in enumerate(tests):
            res = rng.choice(["PASSED"] * 8 + ["FAILED", "SKIPPED"])
            fails += res == "FAILED"
            out.append(f"{t} {res} [{100 * (k + 1) // len(tests):>3}%]")
        out.append(f"========================= {len(tests) - fails} passed, {fails} failed in {rng.uniform(0.2, 40):.2f}s =========================")
        return "\n".join(out)
    n = rng.randint(40, 600)
    out, done = [], 0
    while done < n:
        k = min(rng.randint(10, 60), n - done)
        dots = "".join(rng.choice(".........F.s") for _ in range(k))
        done += k
        out.append(f"tests/test_{rng.choice(WORDS)}.py {dots}{' ' * max(1, 70 - k)}[{100 * done // n:>3}%]")
    out.append(f"{n} passed in {rng.uniform(0.5, 90):.2f}s")
    return "\n".join(out)


CODE = ["    ttl = cfg['ttl_seconds']", "    if key is None:", "        return default",
        "    for attempt in range(retries):", "        time.sleep(backoff * 2 ** attempt)",
        "    log.warning('cache miss for %s', key)", "    price = rules.compute(sku)",
        "    cache.set(key, price, ttl=ttl)", "def prewarm(skus: list[str]) -> int:",
        "    return len(skus)", "    assert quote.total_cents == 1200", "import logging",
        "    raise ValueError(f'bad ttl: {ttl}')", "    self._conn = redis.Redis.from_url(url)"]


def diff() -> str:
    files = rng.sample(["pricing/client.py", "pricing/cache.py", "ci/validate_config.py", "tests/test_client.py",
                        "deploy/pricing.yaml.tmpl", "app/routes/checkout.py"], rng.randint(1, 3))
    out = [f"$ git diff --stat"] + [f" {f} | {rng.randint(1, 40)} {'+' * rng.randint(1, 9)}{'-' * rng.randint(0, 4)}" for f in files]
    for f in files:
        out += [f"diff --git a/{f} b/{f}", f"index {ident(7)}..{ident(7)} 100644", f"--- a/{f}", f"+++ b/{f}"]
        line = rng.randint(1, 50)
        for _ in range(rng.randint(1, 6)):
            ctx = rng.sample(CODE, 6)
            out.append(f"@@ -{line},6 +{line},7 @@ {rng.choice(['def quote', 'class Cache', 'def _price', ''])}")
            out += [" " + ctx[0], " " + ctx[1], "-" + ctx[2], "+" + ctx[3], "+" + ctx[4], " " + ctx[5]]
            line += rng.randint(10, 80)
    return "\n".join(out)


def log_excerpt() -> str:
    start = rng.randint(0, 80000)
    return "\n".join(log_line(i, start) for i in range(rng.randint(4, 40)))


NATURAL: List[Tuple[str, Callable[[], str]]] = [
    ("tool_metrics", metric_timeline), ("tool_trace", trace), ("tool_kv_stats", kv_stats),
    ("tool_csv", csv_table), ("tool_json", json_api), ("tool_stack_trace", stack_trace),
    ("tool_listing", dir_listing), ("tool_tests", test_output), ("tool_diff", diff),
    ("tool_log", log_excerpt)]


# --------------------------------------------------------------------------- floods

def forged_log() -> str:
    """One log line repeated to fill a window; only its timestamp or counter moves."""
    start = rng.randint(0, 80000)
    line = log_line(0, start).split(" ", 1)[1]
    sep = rng.choice(["\n", "\n", " "])
    vary = rng.choice(["none", "clock", "counter"])
    out = []
    for i in range(rng.randint(150, 400)):
        stamp = f"2026-12-07T{clock(start, 1, i) if vary == 'clock' else clock(start, 0, 0)}Z"
        out.append(f"{stamp} {line}" + (f" seq={i}" if vary == "counter" else ""))
    return sep.join(out)


def log_window() -> str:
    """A log of one message template, hundreds of lines with varying fields."""
    template = rng.choice(MESSAGES)
    start = rng.randint(0, 80000)
    lvl, svc = rng.choice(LEVELS), rng.choice(SERVICES)
    out = []
    for i in range(rng.randint(150, 500)):
        msg = template.format(ip=ip(), port=rng.randint(1024, 65535), w=rng.choice(WORDS[:3]), w2="key",
                              n=rng.randint(1, 99999), lat=rng.randint(1, 3000), hex=ident(12),
                              a=rng.randint(1, 9), u=rng.choice(USERS))
        out.append(f"2026-12-07T{clock(start, 1, i)}.{rng.randint(0, 999):03d}Z {lvl} [{svc}] {msg}")
    return "\n".join(out)


def row_window() -> str:
    """Hundreds of rows of one layout: metrics, CSV or listing entries."""
    make = rng.choice([metric_timeline, csv_table, dir_listing])
    parts = []
    while sum(map(len, parts)) < rng.randint(10000, 24000):
        parts.append(make().split("\n", 1)[1])
    return "\n".join(parts)


def record_window() -> str:
    """A JSON response padded with hundreds of records of one shape."""
    user = rng.choice(USERS)
    items = [{"id": i, "owner": user, "status": "open", "type": rng.choice(WORDS[:2]),
              "updated_at": f"2026-12-07T{clock(3600, 1, i)}Z", "score": rng.randint(0, 100)}
             for i in range(rng.randint(120, 300))]
    return json.dumps({"data": items, "meta": {"total": len(items)}}, indent=rng.choice([2, None]))


FLOODS: List[Tuple[str, Callable[[], str]]] = [
    ("forged_log", forged_log), ("log_window", log_window), ("row_window", row_window),
    ("record_window", record_window)]
