// norvo.user: the User object and the user-account operations.
//
// The operations do the local part of each account change (credential checks, key
// generation, the key file's encryption, the undo of a half-made account) and hand
// everything that touches the broker or the local store to the current provider. Names
// they use are read from the module at call time, so an application or a test can replace them.
#include "callable.hpp"
#include "classes.hpp"
#include "errors.hpp"
#include "imports.hpp"
#include "interpreter.hpp"
#include "module.hpp"
#include "scope.hpp"

using norvo::bind::Globals;
using norvo::bind::truthy;

namespace {

// The caught error as an except clause sees it, with its traceback attached. The error stays
// the caught one's, so the handler can still rethrow it.
py::object caught_error(py::error_already_set& caught) {
    py::object value = py::reinterpret_borrow<py::object>(caught.value());
    auto held = py::reinterpret_steal<py::object>(PyException_GetTraceback(value.ptr()));
    if (!held && caught.trace()) PyException_SetTraceback(value.ptr(), caught.trace().ptr());
    return value;
}

// What the key file can take of credentials that their validators accepted: it hashes a
// password given as text or as bytes and encodes the passphrase, which it takes as text. The
// validators judge first, so that with the defaults a credential that is no acceptable text
// (None and numbers among them) is refused as too weak, as every other weak one is; this is
// for a caller's own validator that lets such a value through. A passphrase given as bytes is
// the text the default validator judged it as, its UTF-8 decoding, and that text is returned
// for the key file. The reminder is not in the key file: the provider stores it as given.
py::object key_file_passphrase(py::handle password, py::handle passphrase) {
    if (!PyUnicode_Check(password.ptr()) && !PyBytes_Check(password.ptr()))
        norvo::bind::wrong_argument_type("password", "str or bytes", password);
    if (PyUnicode_Check(passphrase.ptr())) return py::reinterpret_borrow<py::object>(passphrase);
    if (PyBytes_Check(passphrase.ptr())) {
        PyObject* text =
            PyUnicode_DecodeUTF8(PyBytes_AS_STRING(passphrase.ptr()), PyBytes_GET_SIZE(passphrase.ptr()), "strict");
        if (text) return py::reinterpret_steal<py::object>(text);
        PyErr_Clear();
        norvo::bind::raise(PyExc_TypeError, "passphrase must be str or UTF-8 bytes; these bytes are not UTF-8");
    }
    norvo::bind::wrong_argument_type("passphrase", "str or bytes", passphrase);
}

// Refuses a credential its validator does not accept; only the truth value counts.
void check_credential(py::handle log, py::handle validator, py::handle value, const char* what) {
    if (truthy(validator(value))) return;
    std::string msg = std::string(what) + " does not meet complexity requirements.";
    log.attr("info")(msg);
    norvo::bind::raise(PyExc_ValueError, msg);
}

// Raises, in place of `failure`, the error that tells the caller which account `create` left
// behind: it cannot log in without a key file, and nothing here can remove it.
[[noreturn]] void raise_left_registered(py::handle user, py::handle failure, const char* why, bool logged_in) {
    std::string msg = py::str("Account {} is left registered without a key file: {}.")
                          .format(user.attr("id"), why)
                          .cast<std::string>();
    if (logged_in) msg += " It is still logged in, so delete() can remove it.";
    py::object error = py::reinterpret_borrow<py::object>(PyExc_RuntimeError)(msg);
    error.attr("user_id") = user.attr("id");
    norvo::bind::raise_from(error, failure);
}

// Undoes a registration that `create` could not finish; the caller then rethrows `caught`, the
// failure that stopped it. Removing an account takes a signed request, so only the new user,
// once logged in, can do it: the module's own `delete`, as an application would call it.
// Before that login nothing is done, whoever else may be logged in, and the error raised in
// place of `caught` names the account left behind, as it does when the removal fails.
void undo_registration(const Globals& g, py::handle provider, py::handle user, py::error_already_set& caught) {
    py::object log = g["log"];
    py::object failure = caught_error(caught);
    auto logged_in = [&] { return provider.attr("session").attr("user").ptr() == user.ptr(); };
    if (!logged_in())
        raise_left_registered(user, failure, "it is not the logged-in user, so it could not be removed", false);
    try {
        g["delete"]();
    } catch (py::error_already_set& e) {
        log.attr("error")(py::str("Failed to delete {} after its creation failed.").format(user),
                          py::arg("exc_info") = caught_error(e));
        raise_left_registered(user, failure, "removing it failed", logged_in());
    }
}

py::object create(const Globals& g, py::object password, py::object reminder, py::object passphrase,
                  py::object password_validator, py::object reminder_validator, py::object passphrase_validator) {
    py::object log = g["log"];
    log.attr("info")("Creating a new user.");
    check_credential(log, password_validator, password, "password");
    check_credential(log, passphrase_validator, passphrase, "passphrase");
    check_credential(log, reminder_validator, reminder, "reminder");
    py::object passphrase_text = key_file_passphrase(password, passphrase);

    // Generated before the provider is contacted.
    py::object keys = g["keys"];
    py::object signing_key = keys.attr("AuthKey")();
    py::object derivation_key = keys.attr("DerivationKey")();

    py::object user;
    norvo::bind::with_context(g["providers"].attr("get")(), [&](py::object provider) {
        try {
            user = provider.attr("user").attr("create")(py::arg("signing_key") = signing_key,
                                                        py::arg("derivation_key") = derivation_key);
        } catch (py::error_already_set& e) {
            log.attr("error")("Failed to create user.", py::arg("exc_info") = caught_error(e));
            throw;
        }
        try {
            provider.attr("login")(py::arg("user") = user);
            // Encrypts the very key file the User holds; its keys stay usable.
            user.attr("strongbox").attr("encrypt")(py::arg("password") = password,
                                                   py::arg("passphrase") = passphrase_text);
        } catch (py::error_already_set& e) {
            log.attr("error")("Failed to create user.", py::arg("exc_info") = caught_error(e));
            undo_registration(g, provider, user, e);
            throw;
        }
        try {
            provider.attr("strongbox").attr("update_or_create")(user.attr("strongbox"), py::arg("reminder") = reminder,
                                                                 py::arg("passphrase") = passphrase);
        } catch (py::error_already_set& e) {
            log.attr("error")("Failed to create user key file.", py::arg("exc_info") = caught_error(e));
            undo_registration(g, provider, user, e);
            throw;
        }
    });
    log.attr("info")(py::str("{} has been created.").format(user));
    return user;
}

void delete_user(const Globals& g) {
    py::object log = g["log"];
    py::object user;
    norvo::bind::with_context(g["providers"].attr("get")(), [&](py::object provider) {
        auto body = [&](py::object) {
            user = provider.attr("session").attr("user");
            log.attr("info")(py::str("Deleting {}").format(user));
            provider.attr("user").attr("delete")(user);
            provider.attr("logout")();
        };
        // One operation from the user read to the logout, where the provider has operations:
        // a login meanwhile is another user's, whom this deletion must neither act as nor log
        // out.
        py::object operation = py::getattr(provider, "operation", py::none());
        if (operation.is_none())
            body(py::none());
        else
            norvo::bind::with_context(operation(), body);
    });
    log.attr("info")(py::str("Deleted {}").format(user));
}

py::object get_backup_reminder(const Globals& g, py::object user_id) {
    py::object reminder = py::none();
    norvo::bind::with_context(g["providers"].attr("get")(), [&](py::object provider) {
        // A false id (empty text, for one) counts as none given.
        if (!truthy(user_id))
            user_id = norvo::bind::getattr_or_none(provider.attr("session").attr("user"), "id");
        else
            norvo::bind::require_user_id(user_id);
        if (user_id.is_none())
            norvo::bind::raise(PyExc_ValueError, "No currently authenticated user, user_id must be provided.");
        reminder = provider.attr("user").attr("get_backup_reminder")(py::arg("user_id") = user_id);
    });
    return reminder;
}

py::object change_credentials(const Globals& g, py::object password, py::object passphrase, py::object reminder,
                              py::object password_validator, py::object reminder_validator,
                              py::object passphrase_validator) {
    py::object result = py::none();
    // The validators travel to the provider, which checks the new credentials itself, and
    // then what the key file can take of them.
    norvo::bind::with_context(g["providers"].attr("get")(), [&](py::object provider) {
        result = provider.attr("user").attr("change_credentials")(
            py::arg("password") = password, py::arg("passphrase") = passphrase, py::arg("reminder") = reminder,
            py::arg("password_validator") = password_validator, py::arg("reminder_validator") = reminder_validator,
            py::arg("passphrase_validator") = passphrase_validator);
    });
    return result;
}

constexpr const char* CREATE_DOC = R"(Registers a new user with the broker service, logs the user in and stores the user's key file
encrypted under the password, with the reminder. Returns the new User.

:param password: encrypts the key file
:param reminder: public text that helps the user recall the passphrase; hold nothing sensitive.
    It is stored as given; the provider refuses one it cannot store so
:param passphrase: lets the user reset the password and download the key file
:param password_validator: judges the password (a truth value)
:param reminder_validator: judges the reminder (a truth value)
:param passphrase_validator: judges the passphrase (a truth value)
:raises ValueError: when a validator refuses its credential, in the order password,
    passphrase, reminder. The default validators accept a password or passphrase only as text
    of at least 8 characters holding three of the four character classes (capitals, small
    letters, digits, the punctuation among ".!@#$%^&*()_"), so None, an empty text or a number
    is refused here; they accept every reminder
:raises TypeError: when a validator accepted a password that is neither text nor bytes, or a
    passphrase that is not text, which the key file cannot take; before any key is generated
    or the provider is contacted

When a step after the registration fails, the new user, once logged in, deletes the account
again and the failure is raised. Where that cannot be done (the login failed, or so did the
deletion), a RuntimeError names the account left registered, as its `user_id`, with the failure
as its cause; no other user's account or login is touched.
)";

constexpr const char* DELETE_DOC = R"(Deletes the logged-in user's account and all data associated with it, permanently, and logs
out. This cannot be undone.
)";

constexpr const char* GET_BACKUP_REMINDER_DOC = R"(Returns the public reminder of a user's passphrase.

:param user_id: the user whose reminder to return (a UUID or its text); defaults to the
    logged-in user
:raises ValueError: when no id is given and nobody is logged in
:raises TypeError: when the id is of another type
)";

constexpr const char* CHANGE_CREDENTIALS_DOC = R"(Gives the logged-in user a new password and passphrase, and optionally a new reminder: the
key file is re-encrypted and stored again. The provider applies the validators to the new
credentials, as create does, and returns its result.

:param reminder: the new reminder, stored as given; None keeps the stored one
:raises ValueError: when a validator refuses its credential (order and defaults as for create)
:raises TypeError: when a validator accepted a password that is neither text nor bytes, or a
    passphrase that is not text, which the key file cannot take; before anything is stored
)";

constexpr const char* USER_DOC = R"(A user account: its id, its decrypted key file and the key ring built from it.

:param id: the user's id, kept as given
:param strongbox: the user's key file; must be decrypted
)";

}  // namespace

NORVO_MODULE(user, m,
             .doc = "The User object and the user-account operations: create, delete, get_backup_reminder, "
                    "change_credentials.",
             .signatures = false) {
    using norvo::bind::import;
    m.attr("keys") = import("norvo.crypto.keys");
    m.attr("providers") = import("norvo.providers");
    py::object utils = import("norvo.utils");
    for (const char* name : {"is_password_valid", "is_passphrase_valid", "is_reminder_valid"})
        m.attr(name) = utils.attr(name);
    py::object decorators = import("norvo.decorators");
    m.attr("logged") = decorators.attr("logged");
    m.attr("login_required") = decorators.attr("login_required");
    m.attr("log") = norvo::bind::logger("norvo.user");

    Globals g(m);

    // Each operation is a function of this module with its parameters declared once, so that
    // help() shows them and the trace wrapper finds the positions of the password and the
    // passphrase; the body behind it takes them all by position.
    using norvo::bind::Param;
    auto operation = [&](const char* name, const char* doc, std::vector<Param> params, py::cpp_function body) {
        return norvo::bind::make_function("norvo.user", name, std::move(body), std::move(params), doc, false);
    };

    py::object traced = m.attr("logged")(m.attr("log"));
    auto guarded = [&](py::object op) { return traced(m.attr("login_required")()(op)); };
    // The validators' defaults are those bound now: replacing one in norvo.utils later does
    // not change them.
    py::object password_valid = m.attr("is_password_valid");
    py::object passphrase_valid = m.attr("is_passphrase_valid");
    py::object reminder_valid = m.attr("is_reminder_valid");
    py::object none = py::none();

    m.attr("create") = traced(operation(
        "create", CREATE_DOC,
        {{"password", {}},
         {"reminder", {}},
         {"passphrase", {}},
         {"password_validator", password_valid},
         {"reminder_validator", reminder_valid},
         {"passphrase_validator", passphrase_valid}},
        py::cpp_function([g](py::object password, py::object reminder, py::object passphrase,
                             py::object password_validator, py::object reminder_validator,
                             py::object passphrase_validator) {
            return create(g, password, reminder, passphrase, password_validator, reminder_validator,
                          passphrase_validator);
        })));

    m.attr("delete") = guarded(operation("delete", DELETE_DOC, {}, py::cpp_function([g]() { delete_user(g); })));

    m.attr("get_backup_reminder") =
        traced(operation("get_backup_reminder", GET_BACKUP_REMINDER_DOC, {{"user_id", none}},
                         py::cpp_function([g](py::object user_id) { return get_backup_reminder(g, user_id); })));

    m.attr("change_credentials") = guarded(operation(
        "change_credentials", CHANGE_CREDENTIALS_DOC,
        {{"password", {}},
         {"passphrase", {}},
         {"reminder", none},
         {"password_validator", password_valid},
         {"reminder_validator", reminder_valid},
         {"passphrase_validator", passphrase_valid}},
        py::cpp_function([g](py::object password, py::object passphrase, py::object reminder,
                             py::object password_validator, py::object reminder_validator,
                             py::object passphrase_validator) {
            return change_credentials(g, password, passphrase, reminder, password_validator, reminder_validator,
                                      passphrase_validator);
        })));

    // The User class: a plain class, as a class statement in this module makes it.
    py::object cls = norvo::bind::make_class("User", py::make_tuple(norvo::bind::builtin(PyBaseObject_Type)),
                                             norvo::bind::class_namespace(m, "User", USER_DOC));

    norvo::bind::add_method(
        cls, "__init__",
        [](py::object self, py::object id, py::object strongbox) {
            self.attr("id") = id;
            self.attr("keys") = py::none();
            self.attr("strongbox") = strongbox;
        },
        py::arg("id"), py::arg("strongbox"));

    cls.attr("strongbox") = norvo::bind::make_property(
        py::cpp_function([](py::object self) { return self.attr("_strongbox"); }),
        py::cpp_function([g](py::object self, py::object value) {
            if (truthy(value.attr("encrypted")))
                norvo::bind::raise(PyExc_ValueError, "Can only accept decrypted key files.");
            // Every assignment builds a new ring; nothing changes unless it can be built.
            py::object ring = g["keys"].attr("KeyRing")(py::arg("strongbox") = value);
            self.attr("keys") = ring;
            self.attr("_strongbox") = value;
        }),
        "The user's key file. Assigning one builds `keys` from it; an encrypted one is refused.");

    for (const char* name : {"__str__", "__repr__"})
        norvo::bind::add_method(cls, name,
                                [](py::object self) { return py::str("<User {}>").format(self.attr("id")); });

    norvo::bind::add_method(
        cls, "__eq__",
        [](py::object self, py::object other) {
            if (!py::isinstance(other, py::type::of(self))) return false;
            return norvo::bind::compares(self.attr("__dict__"), other.attr("__dict__"));
        },
        py::arg("other"));
    norvo::bind::add_ne(cls, py::arg("other"));
    // Equality without a hash: a User is mutable and must not serve as a key.
    cls.attr("__hash__") = py::none();

    m.attr("User") = cls;
}
