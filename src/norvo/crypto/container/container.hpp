// What the parts of norvo.crypto.container share: the objects bound at load, the module
// globals read at call time, the test that sends an operation down its fast path, and the
// operations one class uses of another.
//
// Module globals follow Python's rule for a module's own names: every name the operations
// use from the module's namespace (UUID, arrow, json, providers, crypto, ContainerKeys ...)
// is read from the module when the operation runs, so replacing it in the module takes
// effect. What is fixed when the module loads stays fixed: the default content class and the
// format declarations.
//
// An operation that has a fast path decides once, before it changes anything, by `fast_path`
// (told what the operation involves and what its fast path does in place of Python code), then
// takes one path. The fast path works on the state of the library's own objects directly;
// the general path does what the same operation written in Python would do, every member
// looked up and called where it is found, so that a subclass, a replaced method or global, or
// an instance's own attribute takes effect.
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
    py::object ns;  // the same namespace as a dict, for the fast path's test

    // Bound at load: what the fast paths stand in for.
    py::object stock_UUID;                // norvo.utils.UUID
    py::object stock_crypto, crypto_ns;   // norvo.crypto and its namespace
    py::object stock_random;              // norvo.crypto.random
    py::object stock_arrow, arrow_ns;     // the arrow module and its namespace
    py::object stock_utcnow;              // arrow.utcnow
    py::object utc;                       // the zone arrow.utcnow() gives
    py::object uuid_type;                 // uuid.UUID
    py::object safe_unknown;              // uuid.SafeUUID.unknown
    py::object record_type;               // construct's Container
    py::object keys_cls, raw_cls, json_cls, header_cls, container_cls;
};
extern State* S;

// ---- When an operation takes its fast path (fast_path.cpp)

// What a fast path does itself, beyond reading and writing the state of the objects involved,
// in place of the Python code it stands in for.
struct Does {
    enum : unsigned {
        seals = 1,            // the portions' encrypt and set_encrypted_data; reads a sealed one's data
        opens = 2,            // the portions' decrypt and set_plaintext_data; reads a sealed one's data
        draws_keys = 4,       // crypto.random(...) for a key
        makes_records = 8,    // ConstructContainer(...) for a key record
        makes_keys = 16,      // ContainerKeys(...), not counting its record and draws
        makes_portions = 32,  // Header(enc_data=...) and UUID(bytes_le=...)
        reads_clock = 64,     // arrow.utcnow()
        new_keys = draws_keys | makes_records | makes_keys,  // the whole of ContainerKeys(...)
    };
};

// What an operation involves, by role (an empty handle is not involved), and what its fast
// path does.
struct Involved {
    py::handle container;        // a Container
    py::handle header, content;  // its portions
    py::handle keys;             // ContainerKeys, with their record
    py::handle id;               // a uuid.UUID
    py::handle content_cls;      // a payload class to make portions of
    unsigned does = 0;           // of Does
};
// Records the classes the fast paths know, as the module leaves them when it has loaded.
void know_classes();
// Whether an operation may take its fast path: each object involved is of the class the fast
// paths know for its role, exactly; that class resolves every member as it did at load; no
// entry of the instance shadows a method that the fast path skips; and the module globals
// whose work the fast path does are those of load time.
bool fast_path(const Involved& involved);

// ---- Shared by the parts

// obj.<name>, or an empty object when it has no such attribute. For instances of the
// library's classes this reads the instance state where it is kept (without turning the
// interpreter's compact attribute storage into a dictionary) and makes no error object.
py::object own_entry(py::handle obj, py::handle name);
// obj.<name> = value, stored in the instance state by the generic rule (no __setattr__).
void set_entry(py::handle obj, py::handle name, py::handle value);
// A copy of `s` as a new bytes object (the GIL released for large copies).
py::bytes copy_bytes(core::bytes_view s);
// Logs the digest failure and raises DecryptionError with InvalidSignature as its context.
[[noreturn]] void raise_digest_failure();
// The plaintext of a portion as bytes: text as UTF-8 (read in place), bytes as they are;
// anything else is refused as the portion cipher refuses it.
core::bytes_view plaintext_of(py::handle ptxt);

// Section functions (formats.cpp).
py::bytes encrypt_section(py::handle ptxt, py::handle keys);
py::bytes decrypt_section(py::handle ciphertxt, py::handle keys);

// Container keys (keys.cpp).

// The fields of one key object as an operation reads them: for keys that the fast path
// accepted, from their record, found once; otherwise as attributes.
class KeyFields {
public:
    KeyFields(py::handle keys, bool fast);
    py::object operator[](py::handle field) const;

private:
    py::handle keys_;
    py::object record_;  // empty on the general path
};
// The two keys that seal, read as the portion cipher reads them: the cipher key, which must be
// bytes-like and of a size AES takes, then the MAC key, which must be bytes-like.
struct SealingKeys {
    explicit SealingKeys(const KeyFields& fields);
    py::object cipher_key, mac_key;
    std::optional<ByteView> cipher, mac;
};
// A new ContainerKeys: fresh keys when `cipher_key`/`mac_key` are null, else a copy of the given
// fields. The fast path makes and fills the library's class here; for fresh keys, `extra`
// asks for further random bytes from the same draw, and `*extra_drawn` tells whether they were
// drawn (not when the MAC key length is one the draw leaves to `crypto.random`). The general
// path calls the module's class.
py::object new_keys_fast(py::handle cipher_index = {}, py::handle mac_index = {}, py::handle cipher_key = {},
                         py::handle mac_key = {}, core::bytes_out extra = {}, bool* extra_drawn = nullptr);
py::object new_keys_general(py::handle cipher_index = {}, py::handle mac_index = {}, py::handle cipher_key = {},
                            py::handle mac_key = {});

// Payloads (payloads.cpp): their state as the library's own members keep it, which the fast
// path reads and writes directly for the payloads it accepted.
bool own_sealed(py::handle p);            // p.encrypted
py::object own_section(py::handle p);     // the section bytes of a sealed p
py::object own_plaintext(py::handle p);   // the plaintext of a plain p
void store_sealed(py::handle p, py::handle section);  // as set_encrypted_data stores it
void store_plain(py::handle p, py::handle plain);     // as set_plaintext_data stores it
// cls(enc_data=section) of a payload class the fast path accepted, for non-empty section bytes.
py::object new_sealed(py::handle cls, py::handle section);

void install_formats(py::module_& m);
void install_keys(py::module_& m);
void install_payloads(py::module_& m);
void install_container(py::module_& m);

}  // namespace norvo::container_module
