// Certificates through OpenSSL's own interfaces: EVP for the key, X509 and
// the v3 extension helpers for the certificate.
#include "sim_tls_cert.h"

#include "sim_error.h"

#include <arpa/inet.h>
#include <cstdio>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

namespace sim {
namespace {

std::string openssl_error() {
    unsigned long e = ERR_get_error();
    char buf[256] = "no detail from OpenSSL";
    if (e != 0)
        ERR_error_string_n(e, buf, sizeof buf);
    ERR_clear_error();
    return buf;
}

[[noreturn]] void fail(const std::string &what) {
    throw StartError("cannot make the HTTPS certificate: " + what + " failed (" + openssl_error() +
                     ")");
}

bool is_ip_literal(const std::string &s) {
    unsigned char buf[16];
    return inet_pton(AF_INET, s.c_str(), buf) == 1 || inet_pton(AF_INET6, s.c_str(), buf) == 1;
}

void add_extension(X509 *cert, int nid, const std::string &value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
    X509_EXTENSION *ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
    if (ext == nullptr)
        fail("the extension \"" + value + "\"");
    int ok = X509_add_ext(cert, ext, -1);
    X509_EXTENSION_free(ext);
    if (!ok)
        fail("the extension \"" + value + "\"");
}

struct FileClose {
    void operator()(FILE *f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<FILE, FileClose>;

} // namespace

TlsIdentity make_self_signed(const std::string &listen_address) {
    TlsIdentity id;
    id.key.reset(EVP_EC_gen("P-256"));
    if (!id.key)
        fail("key generation");
    id.cert.reset(X509_new());
    X509 *c = id.cert.get();
    if (c == nullptr || !X509_set_version(c, X509_VERSION_3))
        fail("certificate creation");

    // A random positive 127-bit serial number, as certificate authorities do.
    BIGNUM *serial = BN_new();
    bool ok = serial != nullptr && BN_rand(serial, 127, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY) &&
              BN_to_ASN1_INTEGER(serial, X509_get_serialNumber(c)) != nullptr;
    BN_free(serial);
    if (!ok)
        fail("the serial number");

    // Valid from an hour ago, so that a client whose clock is a little behind
    // accepts it too.
    if (!X509_gmtime_adj(X509_getm_notBefore(c), -3600) ||
        !X509_gmtime_adj(X509_getm_notAfter(c), 365L * 24 * 3600))
        fail("the validity period");

    X509_NAME *name = X509_get_subject_name(c);
    if (!X509_NAME_add_entry_by_txt(name, "O", MBSTRING_UTF8,
                                    reinterpret_cast<const unsigned char *>("kovrel simulator"), -1,
                                    -1, 0) ||
        !X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                                    reinterpret_cast<const unsigned char *>(listen_address.c_str()),
                                    -1, -1, 0) ||
        !X509_set_issuer_name(c, name) || !X509_set_pubkey(c, id.key.get()))
        fail("the certificate name");

    std::string san = "IP:127.0.0.1,IP:::1,DNS:localhost";
    if (listen_address != "127.0.0.1" && listen_address != "::1" && listen_address != "localhost")
        san += (is_ip_literal(listen_address) ? ",IP:" : ",DNS:") + listen_address;
    add_extension(c, NID_subject_alt_name, san);
    // Self-signed: it is its own authority, so a client can trust it directly
    // (for example with --ca-file of the file --cert-out writes).
    add_extension(c, NID_basic_constraints, "critical,CA:TRUE");
    add_extension(c, NID_key_usage, "critical,digitalSignature,keyCertSign");
    add_extension(c, NID_ext_key_usage, "serverAuth");
    add_extension(c, NID_subject_key_identifier, "hash");

    if (!X509_sign(c, id.key.get(), EVP_sha256()))
        fail("signing");
    return id;
}

void check_identity_files(const std::string &cert_file, const std::string &key_file) {
    FilePtr cf(std::fopen(cert_file.c_str(), "r"));
    if (!cf)
        throw StartError("cannot open the certificate file '" + cert_file + "'");
    std::unique_ptr<X509, X509Free> cert(PEM_read_X509(cf.get(), nullptr, nullptr, nullptr));
    if (!cert)
        throw StartError("'" + cert_file + "' holds no PEM certificate (" + openssl_error() + ")");
    FilePtr kf(std::fopen(key_file.c_str(), "r"));
    if (!kf)
        throw StartError("cannot open the key file '" + key_file + "'");
    // No pass-phrase prompt: a key that needs one is refused instead.
    pem_password_cb *no_password = [](char *, int, int, void *) { return 0; };
    std::unique_ptr<EVP_PKEY, PkeyFree> key(
        PEM_read_PrivateKey(kf.get(), nullptr, no_password, nullptr));
    if (!key)
        throw StartError("'" + key_file + "' holds no unencrypted PEM private key (" +
                         openssl_error() + ")");
    if (X509_check_private_key(cert.get(), key.get()) != 1) {
        ERR_clear_error();
        throw StartError("the key in '" + key_file + "' does not belong to the certificate in '" +
                         cert_file + "'");
    }
}

void write_certificate(const X509 *cert, const std::string &file) {
    FilePtr f(std::fopen(file.c_str(), "w"));
    if (!f || !PEM_write_X509(f.get(), cert))
        throw StartError("cannot write the certificate to '" + file + "'");
}

} // namespace sim
