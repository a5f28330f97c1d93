"""The object store: plain PUT and GET by URL, with byte ranges."""
import gzip
import re

from .core import IGNORE_RANGE, SHORT_BODY, Reply, route

_RANGE = re.compile(r"bytes=(\d+)-(\d*)")


def _accepts_gzip(ctx):
    offered = ctx.request.headers.get("Accept-Encoding") or ""
    return any(part.split(";")[0].strip().lower() == "gzip" for part in offered.split(","))


@route("PUT", "objects/<name>", name="object-put", signed=False, api=False)
def put_object(ctx):
    with ctx.state.lock:
        ctx.state.objects[ctx.params["name"]] = ctx.request.body
    return Reply(200)


@route("GET", "objects/<name>", name="object-get", signed=False, api=False)
def get_object(ctx):
    with ctx.state.lock:
        data = ctx.state.objects.get(ctx.params["name"])
    if data is None:
        return Reply.status_only(404)
    status, headers, body = 200, {"Content-Type": "application/octet-stream"}, data
    m = _RANGE.fullmatch(ctx.request.headers.get("Range") or "")
    if m and IGNORE_RANGE not in ctx.flags:
        first = int(m.group(1))
        last = int(m.group(2)) if m.group(2) else len(data) - 1
        if first >= len(data) or last < first:
            return Reply(416, b"", {"Content-Range": "bytes */{}".format(len(data))})
        last = min(last, len(data) - 1)
        status, body = 206, data[first:last + 1]
        headers["Content-Range"] = "bytes {}-{}/{}".format(first, last, len(data))
        if SHORT_BODY in ctx.flags:
            body = body[:-1]
    if ctx.broker.compress_objects and _accepts_gzip(ctx):
        body = gzip.compress(body)
        headers["Content-Encoding"] = "gzip"
    return Reply(status, body, headers)
