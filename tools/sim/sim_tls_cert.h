// The HTTPS identity: a certificate and its key, read from files or made at
// start.
#pragma once

#include <memory>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <string>

namespace sim {

struct X509Free {
    void operator()(X509 *x) const { X509_free(x); }
};
struct PkeyFree {
    void operator()(EVP_PKEY *k) const { EVP_PKEY_free(k); }
};

struct TlsIdentity {
    std::unique_ptr<X509, X509Free> cert;
    std::unique_ptr<EVP_PKEY, PkeyFree> key;
};

// A self-signed certificate with a new P-256 key, valid for a year: common
// name `listen_address`, alternative names 127.0.0.1, ::1, localhost and the
// listen address. Throws StartError.
TlsIdentity make_self_signed(const std::string &listen_address);

// Checks that the files hold a PEM certificate and its private key; throws
// StartError with what is wrong.
void check_identity_files(const std::string &cert_file, const std::string &key_file);

// Writes the certificate in PEM form; throws StartError.
void write_certificate(const X509 *cert, const std::string &file);

} // namespace sim
