// norvo._lifecycle: starting the library, and opening and closing a user's session.
//
// Each call does its own checks and hands the work to the provider package's current
// provider, inside the provider scope. `providers_get`, `crypto`, `UUID` and `log` are read
// from the module at each call, so an application or a test can replace them.
#include "errors.hpp"
#include "imports.hpp"
#include "interpreter.hpp"
#include "module.hpp"
#include "scope.hpp"

namespace {

constexpr const char* FIPS_FAILED = "Unable to enable FIPS.  Check OpenSSL install and library linkage.";
constexpr const char* NO_CREDENTIAL = "One of \"password\" or \"passphrase\" must be provided.";
constexpr const char* BAD_USER_ID = "user_id must be a UUID string.";

// What a password and a passphrase may be: the key file hashes a password given as text or as
// bytes, and encodes a passphrase, which must be text. None stands for not given.
void check_credential_types(py::handle password, py::handle passphrase) {
    if (!password.is_none() && !PyUnicode_Check(password.ptr()) && !PyBytes_Check(password.ptr()))
        norvo::bind::wrong_argument_type("password", "str, bytes or None", password);
    if (!passphrase.is_none() && !PyUnicode_Check(passphrase.ptr()))
        norvo::bind::wrong_argument_type("passphrase", "str or None", passphrase);
}

constexpr const char* INITIALIZE_DOC = R"(initialize(api_key, fips=True, **kwargs)
--

Initializes the library. Must be called before any other operation.

:param api_key: the API key issued to the application (a UUID)
:param fips: whether OpenSSL is to be put into FIPS 140-2 mode; raises RuntimeError when
    it cannot be
:param app_name: name by which the broker service tells the applications that use it apart
:param server_url: URL of the broker service instance that issued the API key
:param root_dir: root directory of the local file store, when local storage is used
)";

constexpr const char* LOGIN_DOC = R"(login(user_id, password=None, passphrase=None)
--

Logs a user in and returns the logged-in User.

:param user_id: the user's id (a UUID, or its text)
:param password: decrypts the user's key file
:param passphrase: used when no password is given: fetches the key file and recovers the
    password from its rescue section
:raises ValueError: when neither credential is given, or the id is not a UUID
:raises TypeError: when the id, the password or the passphrase is of the wrong type
)";

constexpr const char* LOGOUT_DOC = R"(logout(*args, **kwargs)
--

Logs the user out: the user data cached in memory is cleared and the user is no longer
authenticated with the broker service. The arguments go to the provider unchanged.
)";

}  // namespace

NORVO_MODULE(_lifecycle, m,
             .doc = "Library start-up and the session entry points: initialize, login, logout.",
             .signatures = false) {
    m.attr("log") = norvo::bind::logger("norvo");
    m.attr("providers_get") = norvo::bind::import_from("norvo.providers", "get");
    m.attr("crypto") = norvo::bind::import("norvo.crypto");
    m.attr("UUID") = norvo::bind::import_from("norvo.utils", "UUID");

    norvo::bind::Globals g(m);

    m.def(
        "initialize",
        [g](py::object api_key, py::object fips, py::kwargs kwargs) {
            g["log"].attr("info")("Initializing the Norvo library.");
            if (norvo::bind::truthy(fips)) {
                try {
                    g["crypto"].attr("enable_fips")();
                } catch (py::error_already_set& e) {
                    // Only the switch's own report that FIPS mode did not take is translated.
                    if (!e.matches(PyExc_AssertionError)) throw;
                    g["log"].attr("error")(FIPS_FAILED);
                    norvo::bind::raise_in_place_of(e, PyExc_RuntimeError, FIPS_FAILED);
                }
            }
            norvo::bind::with_context(g["providers_get"](),
                                      [&](py::object provider) { provider.attr("initialize")(api_key, **kwargs); });
        },
        py::arg("api_key"), py::arg("fips") = true, INITIALIZE_DOC);

    m.def(
        "login",
        [g](py::object user_id, py::object password, py::object passphrase) -> py::object {
            if (password.is_none() && passphrase.is_none()) {
                g["log"].attr("warning")(NO_CREDENTIAL);
                norvo::bind::raise(PyExc_ValueError, NO_CREDENTIAL);
            }
            check_credential_types(password, passphrase);
            // None is an id that is not a UUID, reported as such below.
            if (!user_id.is_none()) norvo::bind::require_user_id(user_id);
            try {
                user_id = g["UUID"](user_id);
            } catch (py::error_already_set& e) {
                if (!e.matches(PyExc_ValueError)) throw;
                py::object caught = norvo::bind::exception_of(e);
                g["log"].attr("error")(BAD_USER_ID, py::arg("exc_info") = caught);
                norvo::bind::raise_in_context(PyExc_ValueError, py::str(BAD_USER_ID), caught);
            }
            py::object result = py::none();
            norvo::bind::with_context(g["providers_get"](), [&](py::object provider) {
                result = provider.attr("login")(user_id, py::arg("password") = password,
                                                py::arg("passphrase") = passphrase);
            });
            return result;
        },
        py::arg("user_id"), py::arg("password") = py::none(), py::arg("passphrase") = py::none(), LOGIN_DOC);

    m.def(
        "logout",
        [g](py::args args, py::kwargs kwargs) {
            norvo::bind::with_context(g["providers_get"](),
                                      [&](py::object provider) { provider.attr("logout")(*args, **kwargs); });
        },
        LOGOUT_DOC);
}
