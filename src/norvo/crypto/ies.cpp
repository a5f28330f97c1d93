// norvo.crypto.ies: the integrated encryption scheme. A payload (in practice one container's
// serialised key record) is encrypted for one recipient under a key agreed between a fresh
// ephemeral P-384 key and the recipient's derivation key, and the ciphertext is signed by the
// sender's authentication key. The message byte format is the core's codec; the key agreement,
// signatures and key loading go through the crypto library's key objects, and the key
// derivation and AES-CTR run in the core.
#include <array>
#include <cstdint>
#include <memory>
#include <optional>

#include "bytes.hpp"
#include "errors.hpp"
#include "formats.hpp"
#include "imports.hpp"
#include "module.hpp"
#include "norvo/core/ies_format.hpp"

namespace core = norvo::core;
namespace ies = norvo::core::ies;
using norvo::bind::ByteView;
using norvo::bind::field_u64;
using norvo::bind::raise_construct;
using norvo::bind::record_field;
using norvo::bind::to_bytes;

namespace {

constexpr std::size_t CIPHER_KEY_LENGTH = 32;  // AES-256
constexpr std::size_t NONCE_LENGTH = 8;        // random half of the counter block

py::bytes build_message(const ies::Message& msg) {
    std::size_t n = ies::encoded_size(msg);
    std::uint8_t* out = nullptr;
    py::bytes result = norvo::bind::new_bytes(n, out);
    ies::build_into(msg, std::span<std::uint8_t>(out, n));
    return result;
}

void copy_oid(py::handle value, ies::Message& msg) {
    if (PyUnicode_Check(value.ptr()) || !PyObject_CheckBuffer(value.ptr()))
        raise_construct("StreamError", "field 'oid' needs 16 bytes, given " + py::repr(value).cast<std::string>());
    ByteView oid(value, "oid");
    if (oid.size() != ies::OID_SIZE)
        raise_construct("StreamError",
                        "field 'oid' needs 16 bytes, given " + std::to_string(oid.size()) + " bytes");
    std::copy(oid.data(), oid.data() + ies::OID_SIZE, msg.oid.begin());
}

// The message format object: `parse` turns bytes into a record of the seventeen fields,
// `build` turns such a record (any mapping that names them) into bytes.
struct IESFormat {
    py::object parse(py::object data) const {
        ByteView in(data);
        ies::Message msg = ies::parse(in.span());
        py::object record = norvo::bind::new_record();
        record["version"] = py::int_(msg.version);
        record["oid"] = to_bytes(msg.oid);
        record["recipient_derivation_key_index"] = py::int_(msg.recipient_derivation_key_index);
        record["sender_signing_key_index"] = py::int_(msg.sender_signing_key_index);
        record["cipher_algorithm_index"] = py::int_(msg.cipher_algorithm_index);
        auto put = [&](const char* name, const char* length_name, core::bytes_view b) {
            record[length_name] = py::int_(b.size());
            record[name] = to_bytes(b);
        };
        put("derivation_public_key", "derivation_public_key_length", msg.derivation_public_key);
        put("iv", "iv_length", msg.iv);
        put("encrypted_key_blob", "encrypted_key_blob_length", msg.encrypted_key_blob);
        put("signature", "signature_length", msg.signature);
        put("sender_public_key", "sender_public_key_length", msg.sender_public_key);
        put("sender_user_id", "sender_user_id_length", msg.sender_user_id);
        return record;
    }

    py::bytes build(py::object record) const {
        auto field = [&](const char* name) { return record_field(record, name); };
        ies::Message msg;
        msg.version = field_u64(field("version"), "version");
        copy_oid(field("oid"), msg);
        msg.recipient_derivation_key_index =
            field_u64(field("recipient_derivation_key_index"), "recipient_derivation_key_index");
        msg.sender_signing_key_index = field_u64(field("sender_signing_key_index"), "sender_signing_key_index");
        msg.cipher_algorithm_index = field_u64(field("cipher_algorithm_index"), "cipher_algorithm_index");

        // Each variable field must be bytes exactly as long as its length field says.
        std::array<std::optional<ByteView>, 6> views;
        std::array<core::bytes_view*, 6> slots = {&msg.derivation_public_key, &msg.iv, &msg.encrypted_key_blob,
                                                  &msg.signature, &msg.sender_public_key, &msg.sender_user_id};
        for (std::size_t i = 0; i < 6; ++i) {
            const char* name = ies::FIELD_NAMES[6 + 2 * i];
            const char* length_name = ies::FIELD_NAMES[5 + 2 * i];
            std::uint64_t length = field_u64(field(length_name), length_name);
            *slots[i] = norvo::bind::sized_field(views[i], field(name), name, length);
        }
        return build_message(msg);
    }
};

py::bytes derive_cipher_key(py::handle shared_secret) {
    ByteView secret(shared_secret, "shared_secret");
    std::uint8_t* out = nullptr;
    py::bytes key = norvo::bind::new_bytes(CIPHER_KEY_LENGTH, out);
    core::x963_kdf("SHA384", secret.span(), {}, core::bytes_out(out, CIPHER_KEY_LENGTH));
    return key;
}

py::bytes aes_ctr(py::handle cipher_key, core::bytes_view iv, core::bytes_view in) {
    ByteView key(cipher_key, "cipher_key");
    core::aes_ctr_check(key.size(), iv.size());
    std::uint8_t* out = nullptr;
    py::bytes result = norvo::bind::new_bytes(in.size(), out);
    norvo::bind::bulk(in.size(), [&] { core::aes_ctr(key.span(), iv, in, out); });
    return result;
}

py::object bytes_le_of(py::handle uuid) { return uuid.attr("bytes_le"); }

// The sender's long-lived signing key goes into every message it sends, and the crypto
// library's point encoding costs as much as a tenth of an envelope. The module keeps the DER
// of the last few public key objects it encoded, each beside the object itself (held, so its
// identity cannot pass to another object); the caller's key records are only read.
class DerCache {
public:
    py::object get(py::handle crypto, py::handle public_key) {
        py::object id = py::int_(reinterpret_cast<std::uintptr_t>(public_key.ptr()));
        PyObject* hit = PyDict_GetItemWithError(entries_.ptr(), id.ptr());
        if (hit) return py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(hit, 1));
        if (PyErr_Occurred()) throw py::error_already_set();
        py::object der = crypto.attr("to_der_public")(public_key);
        if (PyDict_GET_SIZE(entries_.ptr()) >= CAPACITY) PyDict_Clear(entries_.ptr());
        entries_[id] = py::make_tuple(public_key, der);
        return der;
    }

private:
    static constexpr Py_ssize_t CAPACITY = 16;
    py::dict entries_;
};

py::bytes encrypt(const norvo::bind::Globals& g, DerCache& ders, py::object data, py::object sender_keys, py::object recip_keys,
                  py::object obj_id) {
    if (obj_id.is_none()) obj_id = g[NORVO_NAME("uuid")].attr("uuid4")();
    py::object key_type = g[NORVO_NAME("KeyType")];
    py::object crypto = g[NORVO_NAME("crypto")];

    py::object deriv_key = recip_keys.attr("get_first_valid")(key_type.attr("DERIVATION"));
    py::object signing_key = sender_keys.attr("get_first_valid")(key_type.attr("AUTH"));
    py::object signing_pub_key = signing_key.attr("public");

    // The ephemeral private key lives only for this one agreement.
    py::object ephemeral_public_key;
    py::object shared_secret;
    {
        py::object ephemeral_private_key = crypto.attr("p384").attr("generate_private_key")();
        ephemeral_public_key = ephemeral_private_key.attr("public_key")();
        shared_secret = g[NORVO_NAME("ecdhe")].attr("exchange")(ephemeral_private_key, deriv_key.attr("public"));
    }
    py::bytes cipher_key = derive_cipher_key(shared_secret);

    std::array<std::uint8_t, core::AES_BLOCK_SIZE> iv{};
    core::random_bytes(core::bytes_out(iv.data(), NONCE_LENGTH));

    py::bytes encrypted_key_blob;
    {
        ByteView plain(data, "data");
        encrypted_key_blob = aes_ctr(cipher_key, iv, plain.span());
    }
    py::object signature = crypto.attr("ecdsa").attr("sign")(signing_key.attr("private"), encrypted_key_blob);
    py::object ephemeral_der = crypto.attr("to_der_public")(ephemeral_public_key);
    py::object sender_public_key = ders.get(crypto, signing_pub_key);

    py::object oid = bytes_le_of(PyUnicode_Check(obj_id.ptr()) ? g[NORVO_NAME("UUID")](obj_id) : obj_id);
    py::object index_r = deriv_key.attr("index");
    py::object index_s = signing_key.attr("index");
    py::object sender_user_id = bytes_le_of(g[NORVO_NAME("UUID")](signing_key.attr("user_id")));

    ies::Message msg;
    msg.version = field_u64(g[NORVO_NAME("VERSION")], "version");
    copy_oid(oid, msg);
    msg.recipient_derivation_key_index = field_u64(index_r, "recipient_derivation_key_index");
    msg.sender_signing_key_index = field_u64(index_s, "sender_signing_key_index");
    msg.cipher_algorithm_index = 0;  // AES-256 in CTR mode
    ByteView eph(ephemeral_der, "derivation_public_key");
    ByteView blob(encrypted_key_blob, "encrypted_key_blob");
    ByteView sig(signature, "signature");
    ByteView spk(sender_public_key, "sender_public_key");
    ByteView uid(sender_user_id, "sender_user_id");
    msg.derivation_public_key = eph.span();
    msg.iv = iv;
    msg.encrypted_key_blob = blob.span();
    msg.signature = sig.span();
    msg.sender_public_key = spk.span();
    msg.sender_user_id = uid.span();
    return build_message(msg);
}

py::bytes decrypt(const norvo::bind::Globals& g, py::object data, py::object recip_keys, py::object sender_keys) {
    // The view pins the caller's buffer (a bytearray cannot be resized while it is held), so
    // the parsed fields stay valid while other code runs.
    ByteView in(data);
    ies::Message msg = ies::parse(in.span());
    py::object key_type = g[NORVO_NAME("KeyType")];
    py::object crypto = g[NORVO_NAME("crypto")];

    py::bytes signature = to_bytes(msg.signature);
    auto offset = static_cast<Py_ssize_t>(msg.encrypted_key_blob.data() - in.data());
    py::object key_blob = norvo::bind::steal(PyMemoryView_FromObject(data.ptr()));
    key_blob = key_blob.attr("cast")("B")[py::slice(offset, offset + static_cast<Py_ssize_t>(msg.encrypted_key_blob.size()), 1)];

    py::object signing_public_key;
    if (norvo::bind::truthy(sender_keys))
        signing_public_key =
            sender_keys[key_type.attr("AUTH")][py::int_(msg.sender_signing_key_index)].attr("public");
    else
        signing_public_key = crypto.attr("p384").attr("load_der_public_key")(to_bytes(msg.sender_public_key));

    try {
        crypto.attr("ecdsa").attr("verify")(signing_public_key, key_blob, signature);
    } catch (py::error_already_set& e) {
        if (e.matches(crypto.attr("InvalidSignature"))) {
            py::object id = g[NORVO_NAME("UUID")](py::arg("bytes_le") = to_bytes(msg.oid));
            std::string text = "Unable to verify signature for container ID: " + py::str(id).cast<std::string>();
            g[NORVO_NAME("log")].attr("error")(text);
        }
        throw;
    }

    py::object derivation_private_key =
        recip_keys[key_type.attr("DERIVATION")][py::int_(msg.recipient_derivation_key_index)].attr("private");
    py::object ephemeral_public_key =
        crypto.attr("p384").attr("load_der_public_key")(to_bytes(msg.derivation_public_key));
    py::object shared_secret = g[NORVO_NAME("ecdhe")].attr("exchange")(derivation_private_key, ephemeral_public_key);
    py::bytes cipher_key = derive_cipher_key(shared_secret);
    return aes_ctr(cipher_key, msg.iv, msg.encrypted_key_blob);
}

}  // namespace

NORVO_MODULE(ies, m,
             .doc = "Integrated encryption: a payload wrapped for one recipient and signed by its sender.") {
    using norvo::bind::import;
    m.attr("logging") = import("logging");
    m.attr("uuid") = import("uuid");
    m.attr("ecdhe") = import("norvo.crypto.ecdhe");
    m.attr("KeyType") = norvo::bind::import_from("norvo.crypto.keys", "KeyType");
    m.attr("crypto") = import("norvo.crypto");
    m.attr("UUID") = norvo::bind::import_from("norvo.utils", "UUID");
    py::object construct = import("construct");
    for (const char* name : {"Int64ul", "Bytes", "Struct", "Container", "this"}) m.attr(name) = construct.attr(name);
    // The package module does not load aes itself; loading it here makes `crypto.aes` present
    // for everything that reaches it through the package, whatever was imported before.
    import("norvo.crypto.aes");

    m.attr("log") = norvo::bind::logger("norvo.crypto.ies");
    m.attr("VERSION") = py::int_(ies::VERSION);

    py::class_<IESFormat>(m, "_IESFormat", "The integrated-encryption message byte format.")
        .def("parse", &IESFormat::parse, py::arg("data"), "Read one message from the start of `data`.")
        .def("build", &IESFormat::build, py::arg("obj"), "The bytes of the message record `obj`.")
        .def("__repr__", [](const IESFormat&) { return std::string("<IESStruct: 17 fields>"); });
    m.attr("IESStruct") = py::cast(IESFormat{});

    norvo::bind::Globals g(m);

    m.def(
        "encrypt",
        [g, ders = std::make_shared<DerCache>()](py::object data, py::object sender_keys, py::object recip_keys,
                                                 py::object obj_id) {
            return encrypt(g, *ders, std::move(data), std::move(sender_keys), std::move(recip_keys),
                           std::move(obj_id));
        },
        py::arg("data"), py::arg("sender_keys"), py::arg("recip_keys"), py::arg("obj_id") = py::none(),
        "Encrypt `data` for the first active derivation key of `recip_keys`, signed by the first active "
        "authentication key of `sender_keys`; returns the message bytes.");
    m.def(
        "decrypt",
        [g](py::object data, py::object recip_keys, py::object sender_keys) {
            return decrypt(g, std::move(data), std::move(recip_keys), std::move(sender_keys));
        },
        py::arg("data"), py::arg("recip_keys"), py::arg("sender_keys") = py::none(),
        "Verify and decrypt the message `data` with the recipient's key ring; the signature is checked "
        "with `sender_keys` when given, else with the sender key the message carries.");
}
