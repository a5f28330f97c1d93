// What the parts of norvo.crypto.container share: the objects bound at load, the module
// globals read at call time, and the operations one class uses of another.
//
// Module globals follow Python's rule for a module's own names: every name the operations
// use from the module's namespace (UUID, arrow, json, providers, crypto, ContainerKeys ...)
// is read from the module when the operation runs, so replacing it in the module takes
// effect. What is fixed when the module loads stays fixed: the default content class, the
// format declarations, and the library's own functions and classes that the fast paths
// recognise (a replaced name is simply not recognised, and the general path runs).
#pragma once

#include <cstring>
#include <memory>
#include <optional>

#include "bytes.hpp"
#include "classes.hpp"
#include "errors.hpp"
#include "formats.hpp"
#include "imports.hpp"
#include "interpreter.hpp"
#include "module.hpp"
#include "norvo/core/container_format.hpp"
#include "scope.hpp"

namespace norvo::container_module {

namespace core = norvo::core;
namespace fmt = norvo::core::container;
using norvo::bind::ByteView;
using norvo::bind::truthy;

inline constexpr const char* MSG_DIGEST = "Container Digest verification failure.";
inline constexpr const char* MSG_DECRYPTED = "Can't set attribute for a decrypted container.";
inline constexpr const char* MSG_NO_KEYS = "No Container Keys exist; cannot decrypt.";
inline constexpr const char* MSG_ENCRYPT_TYPE = "Can only encrypt str or bytes";
inline constexpr const char* MSG_SET_BYTES = "Can only set bytes.";
inline constexpr std::size_t CIPHER_KEY_LENGTH = 32;
inline constexpr long DEFAULT_HMAC_KEY_LENGTH = 128;

// Never freed: it must outlive every call, and the interpreter may be finalising when static
// destructors would run.
struct State {
    // The module's namespace: its globals are read at call time, by interned names.
    norvo::bind::Globals g;

    // Bound at load: what the fast paths recognise.
    py::object stock_UUID;         // norvo.utils.UUID
    py::object stock_random;       // norvo.crypto.random
    py::object stock_arrow;        // the arrow module
    py::object stock_utcnow;       // arrow.utcnow
    py::object utc;                // the zone arrow.utcnow() gives
    py::object uuid_type;          // uuid.UUID
    py::object datetime_type;      // datetime.datetime
    py::object safe_unknown;       // uuid.SafeUUID.unknown
    py::object record_type;        // construct's Container
    py::object keys_cls, raw_cls, json_cls, header_cls, container_cls;
    // The stock payload members: a payload whose class still has all of them is read and
    // written through its instance state.
    py::object raw_init, raw_encrypt, json_encrypt, raw_decrypt, raw_encrypted, raw_data, json_data, header_data,
        raw_set_encrypted, raw_set_plaintext;
    // The stock key members and container audit properties.
    py::object keys_cipher_key, keys_mac_key, keys_cipher_index, keys_mac_index, keys_init;
    py::object data_prop;
    py::object audit_props[4];  // created_by, modified_by, created_at, modified_at
};
extern State* S;

// ---- Shared by the parts

// obj.<name>, or an empty object when it has no such attribute. For instances of the
// library's classes this reads the instance state where it is kept (without turning the
// interpreter's compact attribute storage into a dictionary) and makes no error object.
py::object own_entry(py::handle obj, py::handle name);
// obj.<name> = value, stored in the instance state by the generic rule (no __setattr__).
void set_entry(py::handle obj, py::handle name, py::handle value);
// type(obj).<name> is `member` (found through the class's MRO).
bool class_has(py::handle obj, py::handle name, const py::object& member);
// A copy of `s` as a new bytes object (the GIL released for large copies).
py::bytes copy_bytes(core::bytes_view s);
// Logs the digest failure and raises DecryptionError with InvalidSignature as its context.
[[noreturn]] void raise_digest_failure();

// Section functions (formats.cpp).
py::bytes encrypt_section(py::handle ptxt, py::handle keys);
py::bytes decrypt_section(py::handle ciphertxt, py::handle keys);

// Container keys (keys.cpp).
py::object key_field(py::handle keys, py::handle field);
// The fields of one key object, read as key_field reads them; the record of the library's
// own keys is found once for all of them.
class KeyFields {
public:
    explicit KeyFields(py::handle keys);
    py::object get(py::handle field) const;

private:
    py::handle keys_;
    py::object record_;  // empty unless the keys and their record are the library's own
};
// A new ContainerKeys from the module's class: fresh keys when `cipher_key`/`mac_key` are
// null, else a copy of the given fields. For fresh keys, `extra` asks for further random
// bytes from the same draw; `*extra_drawn` tells whether they were drawn.
py::object new_keys(py::handle cipher_index = {}, py::handle mac_index = {}, py::handle cipher_key = {},
                    py::handle mac_key = {}, core::bytes_out extra = {}, bool* extra_drawn = nullptr);

// Payloads (payloads.cpp).

// What a payload's class keeps of the library's own members, which decides how far the
// container may read and write the payload's state directly.
struct PayloadKind {
    bool stock_flag = false;   // `encrypted` is the library's property
    bool stock_state = false;  // ... and `data` is one of the library's three
    bool seals_here = false;   // ... and `encrypt` and `set_encrypted_data` are the library's
    bool opens_here = false;   // ... and `decrypt` and `set_plaintext_data` are the library's
};
// Worked out once per class and kept while the class is unchanged (the interpreter gives a
// class a new version tag whenever it or a base class changes).
const PayloadKind& payload_kind(py::handle p);

bool stock_payload(py::handle p);
bool payload_sealed(py::handle p);
py::object payload_sealed_data(py::handle p);
// Stores a new state in a stock payload, as set_encrypted_data/set_plaintext_data do.
void store_sealed(py::handle p, py::handle section);
void store_plain(py::handle p, py::handle plain);
// A new stock-class payload holding section bytes (the constructor with `enc_data`).
py::object sealed_payload(py::handle cls, py::handle section);

void install_formats(py::module_& m);
void install_keys(py::module_& m);
void install_payloads(py::module_& m);
void install_container(py::module_& m);

}  // namespace norvo::container_module
