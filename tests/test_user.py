import dataclasses
import inspect
import logging
import uuid

import pytest

import norvo.crypto.keys
import norvo.decorators
import norvo.providers
import norvo.user
import norvo.utils
from norvo.crypto.keys import Key, KeyRing, KeyType
from norvo.crypto.strongbox import KeyFile
from norvo.user import User
from rings import new_key_file

USER_ID = uuid.UUID("3b0a9c1e-5d7f-4e2a-9b8c-0d1e2f3a4b5c")
OTHER_ID = uuid.UUID("7c6d5e4f-3a2b-4c1d-8e9f-a0b1c2d3e4f5")
PASSWORD = "Str0ng!pass"
PASSPHRASE = "Corr3ct horse battery"
REMINDER = "the horse"


@pytest.fixture(scope="module")
def decrypted():
    return new_key_file(USER_ID)


@pytest.fixture(scope="module")
def encrypted():
    kf = new_key_file(USER_ID)
    kf.encrypt(password=PASSWORD, passphrase=PASSPHRASE)
    return kf


def lines(caplog, logger="norvo.user"):
    return [(r.levelname, r.getMessage()) for r in caplog.records if r.name == logger]


@pytest.fixture
def info(caplog):
    caplog.set_level(logging.INFO, logger="norvo.user")
    return caplog


@pytest.fixture
def traces(caplog, debug_traces):
    """Call traces on, and every line of "norvo.user" captured."""
    caplog.set_level(logging.DEBUG, logger="norvo.user")
    return caplog


class TestUser:
    def test_built_from_a_decrypted_key_file(self, decrypted):
        user = User(USER_ID, decrypted)
        assert user.id is USER_ID
        assert user.strongbox is decrypted
        for section in (KeyType.AUTH, KeyType.DERIVATION):
            key = user.keys[section][0]
            assert isinstance(key, Key) and key.private is not None
        assert user.keys.user_id == USER_ID
        assert list(vars(user)) == ["id", "keys", "_strongbox"]
        assert User.__bases__ == (object,) and User.__module__ == "norvo.user"

    def test_encrypted_key_file_refused(self, decrypted, encrypted):
        with pytest.raises(ValueError, match=r"^Can only accept decrypted key files\.$"):
            User(USER_ID, encrypted)
        user = User(id=USER_ID, strongbox=decrypted)
        ring = user.keys
        with pytest.raises(ValueError, match=r"^Can only accept decrypted key files\.$"):
            user.strongbox = encrypted
        assert user.keys is ring and user.strongbox is decrypted
        with pytest.raises(AttributeError):
            user.strongbox = None
        assert user.keys is ring and user.strongbox is decrypted

    def test_assigning_a_decrypted_key_file_replaces_both(self, decrypted):
        user = User(USER_ID, decrypted)
        other = new_key_file(OTHER_ID)
        user.strongbox = other
        assert user.strongbox is other
        assert user.keys == KeyRing(strongbox=other) and user.keys.user_id == OTHER_ID

    def test_text_form(self, decrypted):
        user = User(USER_ID, decrypted)
        assert str(user) == repr(user) == "<User 3b0a9c1e-5d7f-4e2a-9b8c-0d1e2f3a4b5c>"
        assert "{} has been created.".format(user) == "<User 3b0a9c1e-5d7f-4e2a-9b8c-0d1e2f3a4b5c> has been created."

    def test_equality(self, decrypted):
        a, b = User(USER_ID, decrypted), User(USER_ID, decrypted)
        assert a == b and not a != b
        assert User(OTHER_ID, decrypted) != a
        assert a != "<User 3b0a9c1e-5d7f-4e2a-9b8c-0d1e2f3a4b5c>" and not a == None  # noqa: E711
        b.note = "added"
        assert a != b

    def test_equality_looks_at_own_class_only(self, decrypted):
        class Admin(User):
            pass

        plain, admin = User(USER_ID, decrypted), Admin(USER_ID, decrypted)
        assert plain.__eq__(admin) is True
        assert admin.__eq__(plain) is False

    def test_no_hash(self, decrypted):
        with pytest.raises(TypeError):
            {User(USER_ID, decrypted)}


class TestModule:
    def test_attributes_in_load_order(self):
        names = [n for n in vars(norvo.user) if not n.startswith("__")]
        assert names == [
            "keys",
            "providers",
            "is_password_valid",
            "is_passphrase_valid",
            "is_reminder_valid",
            "logged",
            "login_required",
            "log",
            "create",
            "delete",
            "get_backup_reminder",
            "change_credentials",
            "User",
        ]
        assert norvo.user.keys is norvo.crypto.keys and norvo.user.providers is norvo.providers
        assert norvo.user.log is logging.getLogger("norvo.user")
        assert norvo.user.logged is norvo.decorators.logged

    def test_operations_look_like_functions(self):
        create = norvo.user.create
        assert (create.__name__, create.__module__) == ("create", "norvo.user")
        assert list(inspect.signature(create).parameters) == [
            "password",
            "reminder",
            "passphrase",
            "password_validator",
            "reminder_validator",
            "passphrase_validator",
        ]
        assert inspect.signature(norvo.user.delete).parameters == {}
        assert str(inspect.signature(norvo.user.get_backup_reminder)) == "(user_id=None)"
        params = inspect.signature(norvo.user.change_credentials).parameters
        assert list(params)[:3] == ["password", "passphrase", "reminder"]
        assert params["password_validator"].default is norvo.utils.is_password_valid


class TestCreateRefusals:
    def test_short_password_with_defaults(self, recording, info, monkeypatch):
        monkeypatch.setattr(norvo.crypto.keys, "AuthKey", _no_keys)
        with pytest.raises(ValueError, match=r"^password does not meet complexity requirements\.$"):
            norvo.user.create("Sh0rt!", REMINDER, PASSPHRASE)
        assert lines(info) == [
            ("INFO", "Creating a new user."),
            ("INFO", "password does not meet complexity requirements."),
        ]
        assert recording.recorder.calls == []

    def test_order_password_passphrase_reminder(self, recording):
        seen = []

        def refuse(name):
            return lambda value: seen.append((name, value)) or False

        with pytest.raises(ValueError, match="^password does"):
            norvo.user.create("p", "r", "pp", refuse("password"), refuse("reminder"), refuse("passphrase"))
        assert seen == [("password", "p")]

        seen.clear()
        with pytest.raises(ValueError, match="^passphrase does"):
            norvo.user.create(PASSWORD, "r", "pp", passphrase_validator=refuse("passphrase"))
        assert seen == [("passphrase", "pp")]

        seen.clear()
        with pytest.raises(ValueError, match=r"^reminder does not meet complexity requirements\.$"):
            norvo.user.create(PASSWORD, "r", PASSPHRASE, reminder_validator=refuse("reminder"))
        assert seen == [("reminder", "r")]
        assert recording.recorder.calls == []

    @pytest.mark.parametrize("verdict", ["", 0, None, []])
    def test_validators_judged_by_truth_value(self, recording, verdict):
        with pytest.raises(ValueError, match="^password does"):
            norvo.user.create(PASSWORD, REMINDER, PASSPHRASE, password_validator=lambda v: verdict)

    def test_validator_errors_pass_unchanged(self, recording):
        def broken(value):
            raise LookupError("validator broke")

        with pytest.raises(LookupError, match="validator broke"):
            norvo.user.create(PASSWORD, REMINDER, PASSPHRASE, reminder_validator=broken)
        assert recording.recorder.calls == []

    def test_defaults_fixed_when_loaded(self, recording, monkeypatch):
        monkeypatch.setattr(norvo.utils, "is_password_valid", lambda v: True)
        with pytest.raises(ValueError, match="^password does"):
            norvo.user.create("weak", REMINDER, PASSPHRASE)
        # Every reminder passes the default reminder validator, None and the empty text too.
        monkeypatch.setattr(norvo.crypto.keys, "AuthKey", _no_keys)
        for reminder in (None, ""):
            with pytest.raises(LookupError, match="keys generated"):
                norvo.user.create(PASSWORD, reminder, PASSPHRASE)


def _no_keys():
    raise LookupError("keys generated")


class TestCreate:
    def test_success(self, recording, traces):
        user = norvo.user.create(PASSWORD, REMINDER, PASSPHRASE)
        created = recording.user.registered[user.id]
        assert user is created and recording.session.user is user
        assert user.strongbox.encrypted and recording.strongbox.stored[user.id] is user.strongbox
        # The key ring built from the decrypted file stays usable after the file's encryption.
        assert user.keys[KeyType.AUTH][0].private is not None

        calls = recording.recorder.calls
        assert [c[0] for c in calls] == ["enter", "user.create", "login", "strongbox.update_or_create", "exit"]
        keys = calls[1][2]
        assert set(keys) == {"signing_key", "derivation_key"}
        assert (keys["signing_key"].type, keys["derivation_key"].type) == (KeyType.AUTH, KeyType.DERIVATION)
        assert calls[2][1:] == ((), {"user": user})
        assert calls[3][1:] == ((user.strongbox,), {"reminder": REMINDER, "passphrase": PASSPHRASE})
        assert calls[4] == ("exit", (None,), {})

        assert lines(traces) == [
            ("DEBUG", "create(***,the horse,***, {})"),
            ("INFO", "Creating a new user."),
            ("INFO", "{} has been created.".format(user)),
            ("DEBUG", "create(...) --> {}".format(user)),
        ]
        assert PASSWORD not in traces.text and PASSPHRASE not in traces.text


# Where account creation can fail, what it raises and leaves behind. "login, once logged in"
# logs the new user in and then fails. The undo runs only while the new user is the logged-in
# one, through delete() as an application would; the failure that stopped the creation is the
# one raised. Otherwise nothing may remove the new account: the user logged in before keeps its
# login and its account, and a RuntimeError names the account left behind.
@dataclasses.dataclass
class Failure:
    name: str
    fails: dict  # step: (error class, text), the step that stops the creation first
    raised: str  # None: the stopping error itself; else the RuntimeError's text, with {id}
    calls: list  # a scope's exit with the error class that left it
    lines: list  # every line of "norvo.user", with {user} for the new user; DEBUG lines when traced
    errors: list  # the step whose error each ERROR line carries
    left: str  # "nothing", "new" (the new account, logged in) or "both" (beside the one before)
    before: bool = False  # another user is logged in when the creation starts
    login_switches: bool = True  # False: a login that returns, leaving the user before logged in


CREATING = [("DEBUG", "create(***,the horse,***, {})"), ("INFO", "Creating a new user.")]
CREATE_FAILED = ("ERROR", "Failed to create user.")
KEY_FILE_FAILED = ("ERROR", "Failed to create user key file.")
DELETING = [("DEBUG", "delete(, {})"), ("INFO", "Deleting {user}")]
UNDONE = DELETING + [("INFO", "Deleted {user}"), ("DEBUG", "delete(...) --> None")]
UNDONE_BY_DELETE = ["enter", "exit", "enter", "user.delete", "logout", "exit"]
STORE = "strongbox.update_or_create"
NOT_LOGGED_IN = "it is not the logged-in user, so it could not be removed."

FAILURES = [
    Failure("registration", {"user.create": (ConnectionError, "broker down")}, None,
            ["enter", "user.create", "exit ConnectionError"],
            CREATING + [CREATE_FAILED], ["user.create"], "nothing"),
    Failure("login", {"login, once logged in": (TimeoutError, "login failed")}, None,
            ["enter", "user.create", "login"] + UNDONE_BY_DELETE + ["exit TimeoutError"],
            CREATING + [CREATE_FAILED] + UNDONE, ["login, once logged in"], "nothing"),
    Failure("key file encryption", {"encrypt": (TimeoutError, "encrypt failed")}, None,
            ["enter", "user.create", "login"] + UNDONE_BY_DELETE + ["exit TimeoutError"],
            CREATING + [CREATE_FAILED] + UNDONE, ["encrypt"], "nothing"),
    Failure("storing the key file", {STORE: (OSError, "disk full")}, None,
            ["enter", "user.create", "login", STORE] + UNDONE_BY_DELETE + ["exit OSError"],
            CREATING + [KEY_FILE_FAILED] + UNDONE, [STORE], "nothing"),
    Failure("login, another user logged in", {"login": (ConnectionError, "broker down")}, NOT_LOGGED_IN,
            ["enter", "user.create", "login", "exit RuntimeError"],
            CREATING + [CREATE_FAILED], ["login"], "both", before=True),
    Failure("storing, another user still logged in", {STORE: (ConnectionError, "broker down")}, NOT_LOGGED_IN,
            ["enter", "user.create", "login", STORE, "exit RuntimeError"],
            CREATING + [KEY_FILE_FAILED], [STORE], "both", before=True, login_switches=False),
    Failure("the undo", {STORE: (OSError, "disk full"), "user.delete": (PermissionError, "deletion refused")},
            "removing it failed. It is still logged in, so delete() can remove it.",
            ["enter", "user.create", "login", STORE, "enter", "exit", "enter", "user.delete", "exit PermissionError",
             "exit RuntimeError"],
            CREATING + [KEY_FILE_FAILED] + DELETING + [("ERROR", "Failed to delete {user} after its creation failed.")],
            [STORE, "user.delete"], "new"),
]


def _break(recording, monkeypatch, step, error):
    if step == "encrypt":
        def encrypt(self, password, passphrase):
            raise error

        monkeypatch.setattr(KeyFile, "encrypt", encrypt)
    elif step == "login, once logged in":
        recording.recorder.fail("login", error, after=True)
    else:
        recording.recorder.fail(step, error)


def _described(call):
    name, args, _ = call
    return "exit " + args[0].__name__ if name == "exit" and args[0] is not None else name


class TestCreateFailures:
    @pytest.mark.parametrize("traced", [False, True], ids=["quiet", "traced"])
    @pytest.mark.parametrize("row", FAILURES, ids=lambda row: row.name)
    def test_step_fails(self, recording, caplog, monkeypatch, request, row, traced):
        if traced:
            request.getfixturevalue("debug_traces")
        caplog.set_level(logging.DEBUG if traced else logging.INFO, logger="norvo.user")
        before = request.getfixturevalue("logged_in") if row.before else None
        if not row.login_switches:
            monkeypatch.setattr(recording, "login", lambda **kw: recording.recorder.call("login", (), kw))
        errors = {step: cls(text) for step, (cls, text) in row.fails.items()}
        for step, error in errors.items():
            _break(recording, monkeypatch, step, error)
        error = next(iter(errors.values()))

        with pytest.raises(RuntimeError if row.raised else type(error)) as raised:
            norvo.user.create(PASSWORD, REMINDER, PASSPHRASE)

        calls = recording.recorder.calls
        new = next((c[2]["user"] for c in calls if c[0] == "login"), None)
        if row.raised:
            assert str(raised.value) == (
                "Account {id} is left registered without a key file: " + row.raised).format(id=new.id)
            assert raised.value.user_id == new.id and raised.value.__cause__ is error
        else:
            assert raised.value is error
        assert [_described(c) for c in calls] == row.calls
        # The undo runs while create's own scope is still open.
        assert recording.max_depth == (2 if "user.delete" in row.calls else 1)

        assert lines(caplog) == [(level, text.replace("{user}", str(new))) for level, text in row.lines
                                 if traced or level != "DEBUG"]
        assert [r.exc_info[1] for r in caplog.records if r.levelname == "ERROR"] == [errors[s] for s in row.errors]
        assert "has been created" not in caplog.text

        accounts, logged_in = {"nothing": ((), None), "new": ((new,), new), "both": ((before, new), before)}[row.left]
        assert list(recording.user.registered) == [a.id for a in accounts]
        assert all(a is b for a, b in zip(recording.user.registered.values(), accounts))
        assert recording.session.user is logged_in
        if row.left == "new":
            # Once the provider can delete again, delete() removes what was left.
            recording.recorder.fail("user.delete", None)
            norvo.user.delete()
            assert recording.user.registered == {} and recording.session.user is None


@pytest.fixture
def logged_in(recording, decrypted):
    user = User(USER_ID, decrypted)
    recording.user.registered[USER_ID] = user
    recording.session.user = user
    return user


class TestDelete:
    def test_deletes_and_logs_out(self, recording, logged_in, info):
        assert norvo.user.delete() is None
        assert recording.user.registered == {} and recording.session.user is None
        assert recording.recorder.calls == [
            ("enter", (), {}),
            ("exit", (None,), {}),
            ("enter", (), {}),
            ("user.delete", (logged_in,), {}),
            ("logout", (), {}),
            ("exit", (None,), {}),
        ]
        assert lines(info) == [("INFO", "Deleting {}".format(logged_in)), ("INFO", "Deleted {}".format(logged_in))]

    def test_nobody_logged_in(self, recording, info):
        with pytest.raises(RuntimeError, match="^Must login!$"):
            norvo.user.delete()
        with pytest.raises(RuntimeError, match="^Must login!$"):
            norvo.user.delete("extra")
        assert recording.recorder.provider_calls() == []
        assert lines(info) == []

    def test_arguments_refused_after_the_check(self, recording, logged_in):
        with pytest.raises(TypeError):
            norvo.user.delete(logged_in)
        assert recording.recorder.provider_calls() == []

    def test_provider_deletion_fails(self, recording, logged_in, info):
        recording.recorder.fail("user.delete", ConnectionError("broker down"))
        with pytest.raises(ConnectionError):
            norvo.user.delete()
        assert lines(info) == [("INFO", "Deleting {}".format(logged_in))]
        assert "logout" not in recording.recorder.names()
        assert recording.session.user is logged_in


class TestGetBackupReminder:
    def test_logged_in_user_by_default(self, recording, logged_in):
        recording.user.reminders[USER_ID] = REMINDER
        assert norvo.user.get_backup_reminder() == REMINDER
        assert norvo.user.get_backup_reminder("") == REMINDER
        assert recording.recorder.provider_calls() == [("user.get_backup_reminder", (), {"user_id": USER_ID})] * 2

    def test_given_id_passes_unchanged(self, recording):
        recording.user.reminders["some-id"] = "hint"
        assert norvo.user.get_backup_reminder(user_id="some-id") == "hint"
        assert recording.recorder.provider_calls() == [("user.get_backup_reminder", (), {"user_id": "some-id"})]

    @pytest.mark.parametrize("user", [None, object()])
    def test_no_id_and_no_user_id(self, recording, caplog, user):
        recording.session.user = user
        with pytest.raises(ValueError, match=r"^No currently authenticated user, user_id must be provided\.$"):
            norvo.user.get_backup_reminder(0)
        assert recording.recorder.names() == ["enter", "exit"]
        assert lines(caplog) == []

    def test_an_id_of_another_type_is_refused(self, recording, logged_in):
        with pytest.raises(TypeError, match="^user_id must be a UUID or its text, not int$"):
            norvo.user.get_backup_reminder(12345)
        with pytest.raises(TypeError, match="^user_id must be a UUID or its text, not bytes$"):
            norvo.user.get_backup_reminder(OTHER_ID.bytes)
        assert recording.recorder.provider_calls() == []
        for user_id in (OTHER_ID, str(OTHER_ID)):
            norvo.user.get_backup_reminder(user_id)
        assert [c[2]["user_id"] for c in recording.recorder.provider_calls()] == [OTHER_ID, str(OTHER_ID)]


class TestChangeCredentials:
    def test_defaults_travel_by_keyword(self, recording, logged_in):
        assert norvo.user.change_credentials("N3w!password", "N3w pass phrase") is recording.changed
        assert recording.recorder.provider_calls() == [
            (
                "user.change_credentials",
                (),
                {
                    "password": "N3w!password",
                    "passphrase": "N3w pass phrase",
                    "reminder": None,
                    "password_validator": norvo.utils.is_password_valid,
                    "reminder_validator": norvo.utils.is_reminder_valid,
                    "passphrase_validator": norvo.utils.is_passphrase_valid,
                },
            )
        ]

    def test_positional_arguments_travel_by_keyword(self, recording, logged_in, debug_traces, caplog):
        v1, v2, v3 = (lambda v: True), (lambda v: True), (lambda v: True)
        norvo.user.change_credentials("pw", "pp", "hint", v1, v2, v3)
        ((_, args, kwargs),) = recording.recorder.provider_calls()
        assert args == () and kwargs == {
            "password": "pw",
            "passphrase": "pp",
            "reminder": "hint",
            "password_validator": v1,
            "reminder_validator": v2,
            "passphrase_validator": v3,
        }
        call_line = lines(caplog)[0][1]
        assert call_line.startswith("change_credentials(***,***,hint,")

    def test_nobody_logged_in(self, recording):
        with pytest.raises(RuntimeError, match="^Must login!$"):
            norvo.user.change_credentials("pw", "pp")
        assert recording.recorder.provider_calls() == []

    def test_provider_refusal_passes(self, recording, logged_in):
        recording.recorder.fail("user.change_credentials", ValueError("password does not meet complexity requirements."))
        with pytest.raises(ValueError, match="^password does not"):
            norvo.user.change_credentials("weak", "weak")


def _accept(value):
    return True


# Values that no default validator accepts as a password or a passphrase: not text, or too weak.
NOT_ACCEPTABLE = [None, "", 0, 12345678, 3.5, True, b"", ["Str0ng!pass"], {"password": PASSWORD}, "Sh0rt!"]
# Reminders of every kind: the default reminder validator passes each, to be stored as given.
REMINDERS = [None, "", REMINDER, 5, 2.5, False, ["a", 1], {"hint": [1, 2]}, b"hint", (1, 2)]


def _credentials(name, value):
    given = {"password": PASSWORD, "passphrase": PASSPHRASE, "reminder": REMINDER}
    given[name] = value
    return given


def _refusals(caplog, logger):
    return [line for line in lines(caplog, logger) if line[1].endswith("complexity requirements.")]


class TestCredentialRefusals:
    """Whatever its type, a credential is judged by its validator first: with the defaults a
    password or passphrase that is no acceptable text is refused as too weak. A TypeError
    naming it is left for a value that a caller's validator accepted and the key file cannot
    take, raised before any key is generated."""

    @pytest.mark.parametrize("name", ["password", "passphrase"])
    @pytest.mark.parametrize("value", NOT_ACCEPTABLE, ids=repr)
    def test_create_with_the_default_validators(self, recording, info, monkeypatch, name, value):
        monkeypatch.setattr(norvo.crypto.keys, "AuthKey", _no_keys)
        given = _credentials(name, value)
        message = "{} does not meet complexity requirements.".format(name)
        with pytest.raises(ValueError, match="^{}$".format(message)):
            norvo.user.create(given["password"], given["reminder"], given["passphrase"])
        assert lines(info) == [("INFO", "Creating a new user."), ("INFO", message)]
        assert recording.recorder.calls == []

    @pytest.mark.parametrize("reminder", REMINDERS, ids=repr)
    def test_create_passes_every_reminder_as_given(self, recording, reminder):
        user = norvo.user.create(PASSWORD, reminder, PASSPHRASE)
        ((_, _, stored),) = [c for c in recording.recorder.calls if c[0] == "strongbox.update_or_create"]
        assert stored["reminder"] is reminder and recording.user.reminders[user.id] is reminder

    @pytest.mark.parametrize("arguments, message", [
        ((None, REMINDER, PASSPHRASE), "password must be str or bytes, not NoneType"),
        ((12345678, REMINDER, PASSPHRASE), "password must be str or bytes, not int"),
        ((["Str0ng!pass"], REMINDER, PASSPHRASE), "password must be str or bytes, not list"),
        ((PASSWORD, REMINDER, None), "passphrase must be str or bytes, not NoneType"),
        ((PASSWORD, REMINDER, 123), "passphrase must be str or bytes, not int"),
        ((PASSWORD, REMINDER, b"\xff\xfe" + PASSPHRASE.encode()),
         "passphrase must be str or UTF-8 bytes; these bytes are not UTF-8"),
    ])
    def test_create_with_permissive_validators(self, recording, monkeypatch, arguments, message):
        monkeypatch.setattr(norvo.crypto.keys, "AuthKey", _no_keys)
        with pytest.raises(TypeError, match="^{}$".format(message)):
            norvo.user.create(*arguments, password_validator=_accept, passphrase_validator=_accept)
        assert recording.recorder.calls == []

    def test_the_validators_judge_before_the_key_file_does(self, recording):
        # The password passes its own validator but not the key file; the passphrase's refusal
        # is reported all the same, as the validators run first.
        with pytest.raises(ValueError, match="^passphrase does not"):
            norvo.user.create(["not text"], REMINDER, None, password_validator=_accept)
        assert recording.recorder.calls == []

    def test_create_takes_a_passphrase_as_the_utf8_bytes_the_default_validator_accepts(self, recording):
        user = norvo.user.create(PASSWORD, None, PASSPHRASE.encode())
        stored = KeyFile(enc_data=recording.strongbox.stored[user.id].data)
        assert stored.decrypt(stored.rescue.get_password(PASSPHRASE)) is stored  # its text opens the rescue

    def test_create_takes_a_password_as_bytes(self, recording):
        user = norvo.user.create(PASSWORD.encode(), None, PASSPHRASE)
        stored = KeyFile(enc_data=recording.strongbox.stored[user.id].data)
        assert stored.decrypt(PASSWORD) is stored  # the text of the same password opens it

    def test_change_credentials_leaves_every_check_to_the_provider(self, recording, logged_in):
        norvo.user.change_credentials(None, 7, b"hint")
        ((_, _, passed),) = recording.recorder.provider_calls()
        assert (passed["password"], passed["passphrase"], passed["reminder"]) == (None, 7, b"hint")

    @pytest.mark.parametrize("name", ["password", "passphrase"])
    @pytest.mark.parametrize("value", NOT_ACCEPTABLE, ids=repr)
    def test_the_provider_refuses_a_change_with_the_default_validators(self, provider_user, name, value):
        given = _credentials(name, value)
        message = "{} does not meet complexity requirements.".format(name)
        with pytest.raises(ValueError, match="^{}$".format(message)):
            norvo.user.change_credentials(given["password"], given["passphrase"], given["reminder"])
        assert _refusals(provider_user, "norvo.providers") == [("INFO", message)]

    @pytest.mark.parametrize("arguments, error, message", [
        ((None, PASSPHRASE), TypeError, "password must be str or bytes, not NoneType"),
        (([PASSWORD], PASSPHRASE), TypeError, "password must be str or bytes, not list"),
        ((PASSWORD, 7), TypeError, "passphrase must be str or bytes, not int"),
        ((PASSWORD, b"\xff" + PASSPHRASE.encode()), TypeError,
         "passphrase must be str or UTF-8 bytes; these bytes are not UTF-8"),
        ((PASSWORD, PASSPHRASE, b"hint"), ValueError, "The reminder cannot be stored as given: .* not bytes as it is"),
        ((PASSWORD, PASSPHRASE, (1, 2)), ValueError, "The reminder cannot be stored as given: .* not tuple as it is"),
        ((PASSWORD, PASSPHRASE, float("nan")), ValueError, "The reminder cannot be stored as given"),
    ])
    def test_the_provider_refuses_a_change_the_key_file_or_the_broker_cannot_take(self, provider_user, arguments,
                                                                                  error, message):
        # The provider is not initialized: a refusal that came after the checks would say so.
        with pytest.raises(error, match="^{}".format(message)):
            norvo.user.change_credentials(*arguments, password_validator=_accept, passphrase_validator=_accept)


@pytest.fixture
def provider_user(fresh_provider, decrypted, caplog):
    """The real provider with a user logged in by hand and no broker configured; the provider's
    info lines captured."""
    caplog.set_level(logging.INFO, logger="norvo.providers")
    fresh_provider.session.user = User(USER_ID, decrypted)
    return caplog

