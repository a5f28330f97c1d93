// The byte formats as the module declares them, the two section functions, and the helpers
// the other parts share.
#include "container.hpp"

namespace norvo::container_module {

State* S = nullptr;

py::object own_entry(py::handle obj, py::handle name) {
    PyObject* v = nullptr;
    if (norvo::bind::lookup_attr(obj.ptr(), name.ptr(), &v) < 0) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(v);
}

void set_entry(py::handle obj, py::handle name, py::handle value) {
    if (PyObject_GenericSetAttr(obj.ptr(), name.ptr(), value.ptr()) != 0) throw py::error_already_set();
}

py::bytes copy_bytes(core::bytes_view s) {
    std::uint8_t* out = nullptr;
    py::bytes b = norvo::bind::new_bytes(s.size(), out);
    if (!s.empty()) norvo::bind::bulk(s.size(), [&] { std::memcpy(out, s.data(), s.size()); });
    return b;
}

void raise_digest_failure() {
    S->g[NORVO_NAME("log")].attr(NORVO_NAME("error"))(MSG_DIGEST);
    py::object crypto = S->g[NORVO_NAME("crypto")];
    // Raised as if while handling the MAC check's InvalidSignature.
    norvo::bind::raise_in_context(crypto.attr(NORVO_NAME("aes")).attr(NORVO_NAME("DecryptionError")), py::str(MSG_DIGEST),
                                  crypto.attr(NORVO_NAME("InvalidSignature"))());
}

core::bytes_view plaintext_of(py::handle ptxt) {
    if (PyUnicode_Check(ptxt.ptr())) {
        Py_ssize_t n = 0;
        const char* p = PyUnicode_AsUTF8AndSize(ptxt.ptr(), &n);
        if (!p) throw py::error_already_set();
        return {reinterpret_cast<const std::uint8_t*>(p), static_cast<std::size_t>(n)};
    }
    if (PyBytes_Check(ptxt.ptr()))
        return {reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(ptxt.ptr())),
                static_cast<std::size_t>(PyBytes_GET_SIZE(ptxt.ptr()))};
    norvo::bind::raise(PyExc_ValueError, MSG_ENCRYPT_TYPE);
}

namespace {

py::object construct_field(const char* name, py::handle sub) { return sub.attr("__rtruediv__")(py::str(name)); }

}  // namespace

py::bytes encrypt_section(py::handle ptxt, py::handle keys) {
    core::bytes_view pt = plaintext_of(ptxt);
    const SealingKeys k(KeyFields(keys, fast_path({.keys = keys})));

    std::uint8_t* out = nullptr;
    py::bytes section = norvo::bind::new_bytes(fmt::section_size(fmt::IV_SIZE, pt.size(), fmt::DIGEST_SIZE), out);
    std::uint8_t iv[fmt::IV_SIZE] = {0};
    core::random_bytes(core::bytes_out(iv, fmt::NONCE_SIZE));
    norvo::bind::bulk(pt.size(),
                      [&] { fmt::seal_section(k.cipher->span(), k.mac->span(), core::bytes_view(iv), pt, out); });
    return section;
}

py::bytes decrypt_section(py::handle ciphertxt, py::handle keys) {
    ByteView in(ciphertxt, norvo::bind::parser_input);
    fmt::Section sec = fmt::parse_section(in.span());
    const KeyFields fields(keys, fast_path({.keys = keys}));
    py::object mac_key = fields[NORVO_NAME("mac_key")];
    ByteView mk(mac_key, "mac_key");
    if (!norvo::bind::bulk(sec.encrypted.size(), [&] { return fmt::verify_section(mk.span(), sec); }))
        raise_digest_failure();
    py::object cipher_key = fields[NORVO_NAME("cipher_key")];
    ByteView ck(cipher_key, "cipher_key");
    core::aes_ctr_check(ck.size(), sec.iv.size());
    std::uint8_t* out = nullptr;
    py::bytes plain = norvo::bind::new_bytes(sec.encrypted.size(), out);
    norvo::bind::bulk(sec.encrypted.size(), [&] { fmt::open_section(ck.span(), sec, out); });
    return plain;
}

void install_formats(py::module_& m) {
    m.attr("VERSION") = py::int_(fmt::VERSION);
    m.attr("KEY_BLOB_VERSION") = py::int_(fmt::KEY_BLOB_VERSION);
    m.attr("CIPHER_KEY_LENGTH") = py::int_(CIPHER_KEY_LENGTH);

    // The four byte formats, declared for readers of the module; the container builds and
    // parses the same bytes natively.
    py::object I = m.attr("Int64ul"), B = m.attr("Bytes"), St = m.attr("Struct"), this_ = m.attr("this");
    auto f = construct_field;
    auto preamble_fields = [&] {
        return py::make_tuple(f("version", I), f("oid", B(16)), f("cipher_index", I), f("mac_index", I),
                              f("header_length", I), f("content_length", I));
    };
    m.attr("ContainerPreambleStruct") = St(*preamble_fields());
    m.attr("ContainerSectionStruct") =
        St(f("iv_length", I), f("iv", B(this_.attr("iv_length"))), f("encrypted_length", I),
           f("encrypted", B(this_.attr("encrypted_length"))), f("digest_length", I),
           f("digest", B(this_.attr("digest_length"))));
    // The preamble's six fields stand flat at the top of the container record (construct 2.10
    // has no Embedded), followed by the two section records.
    py::list container_fields(preamble_fields());
    container_fields.append(f("header", m.attr("ContainerSectionStruct")));
    container_fields.append(f("content", m.attr("ContainerSectionStruct")));
    m.attr("ContainerStruct") = St(*container_fields);
    m.attr("ContainerKeysStruct") =
        St(f("version", I), f("cipher_index", I), f("cipher_key_length", I),
           f("cipher_key", B(this_.attr("cipher_key_length"))), f("mac_index", I), f("mac_key_length", I),
           f("mac_key", B(this_.attr("mac_key_length"))));

    m.def("_encrypt", [](py::object ptxt, py::object container_keys) { return encrypt_section(ptxt, container_keys); },
          py::arg("ptxt"), py::arg("container_keys"),
          "Seal one portion: fresh counter block, AES-CTR, HMAC-SHA384 over the ciphertext; the section bytes.");
    m.def("_decrypt",
          [](py::object ciphertxt, py::object container_keys) { return decrypt_section(ciphertxt, container_keys); },
          py::arg("ciphertxt"), py::arg("container_keys"),
          "Open one section: its MAC is verified before anything is decrypted; the plaintext bytes.");
}

}  // namespace norvo::container_module
