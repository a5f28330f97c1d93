// norvo.crypto.keys: one user's P-384 keys. `Key` and its two makers of fresh key pairs,
// `KeyRing` (a real dict of two index-keyed sections plus the owner id) and `KeyRingSchema`,
// the loader (a marshmallow schema on our version-2 layer, norvo._schema) that turns stored
// key rows into a ring.
//
// The classes are made at load time by calling the right metaclass with C++ methods, so that
// they are ordinary Python classes (instance dictionaries, subclassing, dict and Schema bases)
// whose behaviour lives here. Key objects stay the crypto library's own objects.
#include "callable.hpp"
#include "classes.hpp"
#include "errors.hpp"
#include "imports.hpp"
#include "interpreter.hpp"
#include "module.hpp"

using norvo::bind::add_method;
using norvo::bind::compares;
using norvo::bind::truthy;

NORVO_MODULE(keys, m, .doc = "P-384 key records, key rings and the key-ring loader.") {

    // The layer module holds the Schema base, the field classes and the hook decorators.
    using norvo::bind::import;
    py::object schema_layer = import("norvo._schema");
    m.attr("logging") = import("logging");
    m.attr("Schema") = schema_layer.attr("Schema");
    m.attr("fields") = schema_layer;
    m.attr("post_load") = schema_layer.attr("post_load");
    m.attr("pre_load") = schema_layer.attr("pre_load");
    m.attr("UUID") = import("norvo.utils").attr("UUID");
    m.attr("crypto") = import("norvo.crypto");
    m.attr("log") = norvo::bind::logger("norvo.crypto.keys");

    norvo::bind::Globals g(m);

    py::tuple object_base = py::make_tuple(norvo::bind::builtin(PyBaseObject_Type));
    auto class_namespace = [&m](const char* name, const char* doc) {
        return norvo::bind::class_namespace(m, name, doc);
    };

    // ---- KeyType: the two section names, which are also what is stored and compared.
    {
        py::dict ns = class_namespace("KeyType", "The two kinds of key, named as the key ring and key file name them.");
        ns["AUTH"] = "signingKeys";
        ns["DERIVATION"] = "derivationKeys";
        m.attr("KeyType") = norvo::bind::make_class("KeyType", object_base, ns);
    }

    // ---- KeyRingSchema: loader of stored key rows.
    {
        py::object fields = m.attr("fields");
        py::dict ns = class_namespace("KeyRingSchema", "Loads stored key rows (many=True) into one KeyRing.");
        // Fields are made in their declared order, so their creation indexes keep that order.
        ns["index"] = fields.attr("Int")();
        ns["userId"] = fields.attr("Str")();
        ns["keyType"] = fields.attr("Str")();
        ns["pubKey"] = fields.attr("Raw")();
        ns["active"] = fields.attr("Bool")();

        auto make_dict = [g](py::object /*self*/, py::object data, py::object /*many*/) -> py::object {
            py::object auth = g[NORVO_NAME("KeyType")].attr("AUTH");
            py::list records;
            for (py::handle row : data) {
                py::dict rec;
                rec["index"] = row.attr("index");
                rec["active"] = row.attr("active");
                rec["pubKey"] = row.attr("pub_key");
                // Derivation rows carry "signing", which the ring reads as "not auth".
                rec["keyType"] = compares(row.attr("key_type"), auth) ? "auth" : "signing";
                rec["userId"] = py::str(row.attr("user_id"));
                records.append(rec);
            }
            return std::move(records);
        };
        auto make_key_ring = [g](py::object /*self*/, py::object data, py::object /*many*/) -> py::object {
            py::object owner = data[py::int_(0)]["userId"];
            return g[NORVO_NAME("KeyRing")](py::arg("pub_keys") = data, py::arg("user_id") = owner);
        };
        // marshmallow finds its hooks by the attributes its decorators set on them.
        auto hook = [&](py::object decorator, const char* qualname, py::cpp_function fn) {
            py::object f = norvo::bind::make_function(
                "norvo.crypto.keys", qualname, std::move(fn),
                {norvo::bind::Param{"data", {}}, norvo::bind::Param{"many", {}}});
            return decorator(f, py::arg("pass_many") = true);
        };
        ns["make_dict"] = hook(m.attr("pre_load"), "KeyRingSchema.make_dict", py::cpp_function(make_dict));
        ns["make_key_ring"] =
            hook(m.attr("post_load"), "KeyRingSchema.make_key_ring", py::cpp_function(make_key_ring));
        py::object schema = m.attr("Schema");
        m.attr("KeyRingSchema") =
            norvo::bind::make_class("KeyRingSchema", py::make_tuple(schema), ns, py::type::of(schema));
    }

    // ---- KeyRing: a dict of the two sections, each index -> Key, plus the owner id.
    {
        py::dict ns = class_namespace("KeyRing", "One user's keys: two sections of index-keyed keys and the owner id.");
        py::object cls = norvo::bind::make_class("KeyRing", py::make_tuple(norvo::bind::builtin(PyDict_Type)), ns);
        m.attr("KeyRing") = cls;

        add_method(
            cls, "__init__",
            [g](py::object self, py::object strongbox, py::object pub_keys, py::object user_id) {
                py::object key_type = g[NORVO_NAME("KeyType")];
                py::object auth = key_type.attr("AUTH"), derivation = key_type.attr("DERIVATION");
                py::setattr(self, "user_id", py::none());
                self[auth] = py::dict();
                self[derivation] = py::dict();
                if (truthy(strongbox)) {
                    if (truthy(strongbox.attr("encrypted"))) norvo::bind::raise(PyExc_ValueError, "Can only accept decrypted key files.");
                    for (py::handle section : {auth, derivation}) {
                        py::object entries = strongbox.attr("data")[section];
                        for (py::handle entry : entries.attr("values")())
                            self.attr("set_private_key")(section, entry, strongbox);
                    }
                    return;
                }
                // A real check, whatever the optimisation flag: an unowned ring of public keys
                // would sign and wrap for nobody.
                if (!truthy(user_id)) norvo::bind::assertion_failed();
                for (py::handle record : py::iter(pub_keys)) self.attr("set_public_key")(record, user_id);
            },
            py::arg("strongbox") = py::none(), py::arg("pub_keys") = py::none(), py::arg("user_id") = py::none());

        add_method(
            cls, "set_private_key",
            [g](py::object self, py::object key_type, py::object key, py::object strongbox) {
                py::object k = g[NORVO_NAME("Key")](py::arg("key_type") = key_type, py::arg("private") = key["key"]);
                py::setattr(k, "index", key["index"]);
                py::setattr(k, "active", key["active"]);
                py::setattr(k, "user_id", g[NORVO_NAME("UUID")](strongbox.attr("data")["userId"]));
                py::setattr(self, "user_id", k.attr("user_id"));
                self[key_type][k.attr("index")] = k;
            },
            py::arg("key_type"), py::arg("key"), py::arg("strongbox"),
            "Store one key entry of the decrypted key file `strongbox` in section `key_type`.");

        add_method(
            cls, "set_public_key",
            [g](py::object self, py::object key, py::object user_id) {
                py::object key_type = g[NORVO_NAME("KeyType")];
                // Only the exact text "auth" names an authentication key; anything else is derivation.
                py::object section =
                    compares(key["keyType"], py::str("auth")) ? key_type.attr("AUTH") : key_type.attr("DERIVATION");
                py::object k = g[NORVO_NAME("Key")](py::arg("key_type") = section, py::arg("public") = key["pubKey"]);
                py::setattr(k, "index", key["index"]);
                py::setattr(k, "active", key["active"]);
                py::setattr(k, "user_id", g[NORVO_NAME("UUID")](user_id));
                py::setattr(self, "user_id", k.attr("user_id"));
                self[section][k.attr("index")] = k;
            },
            py::arg("key"), py::arg("user_id"), "Store one public-key record for owner `user_id`.");

        add_method(
            cls, "get_first_valid",
            [](py::object self, py::object key_type) -> py::object {
                py::object section = self[key_type];
                for (py::handle index : norvo::bind::sorted_list(section)) {
                    py::object k = section[index];
                    if (truthy(k.attr("active"))) return k;
                }
                return py::none();
            },
            py::arg("key_type"), "The active key of lowest index in section `key_type`, or None.");

        add_method(
            cls, "__eq__",
            [](py::object self, py::object other) -> bool {
                if (!py::isinstance(other, py::type::of(self))) return false;
                return compares(self.attr("__dict__"), other.attr("__dict__"));
            },
            py::arg("other"));
        norvo::bind::add_ne(cls, py::arg("other"));
    }

    // ---- Key, AuthKey, DerivationKey.
    {
        py::dict ns = class_namespace("Key", "One P-384 key: kind, active flag, private and/or public key object.");
        ns["size"] = 32;
        ns["__hash__"] = py::none();  // equality without a hash: keys are not set members
        py::object cls = norvo::bind::make_class("Key", object_base, ns);
        m.attr("Key") = cls;

        add_method(
            cls, "__init__",
            [g](py::object self, py::object key_type, py::object priv, py::object pub) {
                bool has_private = truthy(priv);
                if (has_private && truthy(pub))
                    norvo::bind::raise(PyExc_ValueError, "Provide either private or public key material, not both.");
                py::setattr(self, "type", key_type);
                py::setattr(self, "active", py::bool_(true));
                py::object p384 = g[NORVO_NAME("crypto")].attr("p384");
                py::setattr(self, "private", has_private ? p384.attr("load_pem_private_key")(priv) : py::none());
                py::setattr(self, "public", truthy(pub) ? p384.attr("load_pem_public_key")(pub) : py::none());
                if (has_private) py::setattr(self, "public", self.attr("private").attr("public_key")());
            },
            py::arg("key_type"), py::arg("private") = py::none(), py::arg("public") = py::none());

        add_method(cls, "__repr__", [](py::object self) -> py::str {
            std::string text = "<" + std::string(py::str(self.attr("type"))) +
                               " Private: " + (self.attr("private").is_none() ? "False" : "True") +
                               " Public: " + (self.attr("public").is_none() ? "False" : "True") + ">";
            return py::str(text);
        });

        add_method(
            cls, "__eq__",
            [](py::object self, py::object other) -> bool {
                if (!py::isinstance(other, py::type::of(self))) return false;
                if (compares(self.attr("type"), other.attr("type"), Py_NE) ||
                    compares(self.attr("active"), other.attr("active"), Py_NE))
                    return false;
                py::object mine = self.attr("private"), theirs = other.attr("private");
                if (!mine.is_none() && !theirs.is_none())
                    return compares(mine.attr("private_numbers")(), theirs.attr("private_numbers")());
                if (!mine.is_none() || !theirs.is_none()) return false;
                mine = self.attr("public");
                theirs = other.attr("public");
                if (!mine.is_none() && !theirs.is_none())
                    return compares(mine.attr("public_numbers")(), theirs.attr("public_numbers")());
                return false;
            },
            py::arg("other"));
        norvo::bind::add_ne(cls, py::arg("other"));

        // The makers of fresh key pairs set the attributes themselves; Key's constructor is not run.
        auto fresh = [g](const char* kind) {
            return [g, kind](py::object self) {
                py::object crypto = g[NORVO_NAME("crypto")];
                py::object ec = crypto.attr("ec");
                py::setattr(self, "type", g[NORVO_NAME("KeyType")].attr(kind));
                py::setattr(self, "active", py::bool_(true));
                py::setattr(self, "private", ec.attr("generate_private_key")(ec.attr("SECP384R1")(), crypto.attr("backend")));
                py::setattr(self, "public", self.attr("private").attr("public_key")());
            };
        };
        py::object auth_cls = norvo::bind::make_class(
            "AuthKey", py::make_tuple(cls),
            class_namespace("AuthKey", "A new active authentication key with a fresh key pair."));
        add_method(auth_cls, "__init__", fresh("AUTH"));
        m.attr("AuthKey") = auth_cls;
        py::object derivation_cls = norvo::bind::make_class(
            "DerivationKey", py::make_tuple(cls),
            class_namespace("DerivationKey", "A new active derivation key with a fresh key pair."));
        add_method(derivation_cls, "__init__", fresh("DERIVATION"));
        m.attr("DerivationKey") = derivation_cls;
    }
}
