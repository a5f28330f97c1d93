// norvo.crypto.hmac: HMAC-SHA384 tags over whole byte strings, constant-time verification,
// and random MAC keys. The MAC itself runs in the core on OpenSSL, with the GIL released
// for large inputs; only a factory that a caller put into the table goes through Python.
#include "bytes.hpp"
#include "errors.hpp"
#include "imports.hpp"
#include "module.hpp"

namespace core = norvo::core;
using norvo::bind::ByteView;

NORVO_MODULE(hmac, m, .doc = "HMAC-SHA384 digests and constant-time verification.") {
    m.attr("partial") = norvo::bind::import("functools").attr("partial");
    m.attr("hmac") = norvo::bind::import("cryptography.hazmat.primitives.hmac");
    m.attr("hashes") = norvo::bind::import("cryptography.hazmat.primitives.hashes");
    m.attr("crypto") = norvo::bind::import("norvo.crypto");

    // One SHA-384 object shared by every context the factory makes.
    py::object factory = m.attr("partial")(m.attr("hmac").attr("HMAC"),
                                           py::arg("algorithm") = m.attr("hashes").attr("SHA384")(),
                                           py::arg("backend") = m.attr("crypto").attr("backend"));
    py::dict table;
    table[py::int_(0)] = factory;
    m.attr("HMAC") = table;
    m.attr("FIPS_INDEX") = 0;
    m.attr("HMAC_KEY_LENGTH") = 128;

    // The table entry is read at every call; while it is still the factory made here the work
    // is done by the core, otherwise the entry a caller installed is honoured.
    norvo::bind::Globals g(m);
    auto current_factory = [g]() -> py::object { return g[NORVO_NAME("HMAC")][g[NORVO_NAME("FIPS_INDEX")]]; };

    m.def(
        "digest",
        [current_factory, factory](py::object private_key, py::object data) -> py::object {
            py::object f = current_factory();
            if (!f.is(factory)) {
                py::object ctx = f(private_key);
                ctx.attr("update")(data);
                return ctx.attr("finalize")();
            }
            ByteView key(private_key, "private_key");
            ByteView in(data, "data");
            std::uint8_t* out = nullptr;
            py::bytes result = norvo::bind::new_bytes(core::SHA384_DIGEST_SIZE, out);
            norvo::bind::bulk(key.size() + in.size(), [&] {
                auto tag = core::hmac_sha384(key.span(), in.span());
                std::copy(tag.begin(), tag.end(), out);
            });
            return result;
        },
        py::arg("private_key"), py::arg("data"), "The 48-byte HMAC-SHA384 tag of `data` under `private_key`.");

    m.def(
        "verify",
        [current_factory, factory](py::object private_key, py::object data, py::object digest) {
            py::object f = current_factory();
            if (!f.is(factory)) {
                py::object ctx = f(private_key);
                ctx.attr("update")(data);
                ctx.attr("verify")(digest);
                return;
            }
            ByteView key(private_key, "private_key");
            ByteView in(data, "data");
            // Tags are handed in as bytes only, as the crypto library's verify takes them.
            norvo::bind::require_bytes(digest, "digest");
            ByteView tag(digest, "digest");
            // Whole tags only, compared in constant time: a truncated tag never matches.
            bool ok = norvo::bind::bulk(key.size() + in.size(),
                                        [&] { return core::hmac_sha384_verify(key.span(), in.span(), tag.span()); });
            if (!ok)
                norvo::bind::raise_error_of("cryptography.exceptions", "InvalidSignature",
                                            "Signature did not match digest.");
        },
        py::arg("private_key"), py::arg("data"), py::arg("digest"),
        "None when `digest` is the tag of `data` under `private_key`; InvalidSignature otherwise.");

    m.def(
        "generate_key",
        [g]() { return g[NORVO_NAME("crypto")].attr("random")(g[NORVO_NAME("HMAC_KEY_LENGTH")]); },
        "A new random MAC key of HMAC_KEY_LENGTH bytes.");
}
