"""The broker's own endpoints: the login handshake and the event feed."""
from . import signing
from .core import Reply, route


@route("GET", "time/", name="time", signed=False)
def time(ctx):
    return Reply.json({"time": ctx.broker.time_format(ctx.now())})


@route("GET", "login/", name="login", signed=False)
def login(ctx):
    try:
        user_id, index, public_key = signing.verify_login(ctx)
    except signing.Refused as refused:
        ctx.verdict = "refused: {}".format(refused)
        return Reply.json({"error": str(refused)}, ctx.broker.login_refusal_status)
    token, expires = signing.issue_token(ctx, user_id, index, public_key)
    return Reply.json({"token": token, "expiration": expires.isoformat()})


_FILTERS = (("containerId", "containerId"), ("containerType", "containerType"), ("action", "action"))


@route("GET", "events/", name="events")
def events(ctx):
    """Events of a type from "start" on (ids at least "start"), one page at a time."""
    kind = ctx.arg("type")
    try:
        start = int(ctx.arg("start") or 0)
    except ValueError:
        ctx.verdict = "400: start is not an integer"
        return Reply.status_only(400)
    with ctx.state.lock:
        matching = [e for e in ctx.state.events if e.get("type") == kind and e.get("eventId", 0) >= start]
    for param, field in _FILTERS:
        value = ctx.arg(param)
        if value is not None:
            matching = [e for e in matching if str(e.get(field)) == value]
    page = matching[: ctx.broker.events_page_size]
    return Reply.json({"events": page, "hasMore": len(matching) > len(page)})
