// Certificates and keys made at run time for the TLS tests, written as PEM files into a
// temporary directory: nothing is committed, no command-line tool is needed.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include "net/tls.hpp"

namespace vorel::net::testing {

struct Key {
  EVP_PKEY* key = EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256");
  ~Key() { EVP_PKEY_free(key); }
  std::string pem(const EVP_CIPHER* cipher = nullptr) const {
    BIO* bio = BIO_new(BIO_s_mem());
    static char password[] = "secret";
    PEM_write_bio_PrivateKey_traditional(bio, key, cipher, reinterpret_cast<unsigned char*>(password),
                                         cipher ? 6 : 0, nullptr, nullptr);
    return drain(bio);
  }
  static std::string drain(BIO* bio) {
    char* data = nullptr;
    const long n = BIO_get_mem_data(bio, &data);
    std::string out(data, static_cast<std::size_t>(n));
    BIO_free(bio);
    return out;
  }
};

struct Cert {
  X509* cert = X509_new();
  ~Cert() { X509_free(cert); }
  // Signed by `issuer` (itself when none); a CA when `ca`.
  Cert(const Key& key, const char* name, const Key* issuer_key = nullptr, const Cert* issuer = nullptr,
       bool ca = false) {
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), std::abs(static_cast<long>(std::hash<std::string>{}(name) % 100000)) + 1);
    X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert), 3600 * 24);
    X509_set_pubkey(cert, key.key);
    X509_NAME_add_entry_by_txt(X509_get_subject_name(cert), "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(name), -1, -1, 0);
    X509_set_issuer_name(cert, issuer ? X509_get_subject_name(issuer->cert) : X509_get_subject_name(cert));
    if (ca) {
      X509V3_CTX ctx;
      X509V3_set_ctx_nodb(&ctx);
      X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
      X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, NID_basic_constraints, "critical,CA:TRUE");
      X509_add_ext(cert, ext, -1);
      X509_EXTENSION_free(ext);
    }
    X509_sign(cert, issuer_key ? issuer_key->key : key.key, EVP_sha256());
  }
  std::string pem() const {
    BIO* bio = BIO_new(BIO_s_mem());
    PEM_write_bio_X509(bio, cert);
    return Key::drain(bio);
  }
};

class Files {
 public:
  Files() : dir_(std::filesystem::temp_directory_path() / ("vorel-tls-" + std::to_string(::getpid()) + "-" +
                                                            std::to_string(counter_++))) {
    std::filesystem::create_directories(dir_);
  }
  ~Files() { std::filesystem::remove_all(dir_); }
  std::string write(const std::string& name, const std::string& content) {
    const auto path = (dir_ / name).string();
    std::ofstream(path, std::ios::binary) << content;
    return path;
  }
  std::string path(const std::string& name) const { return (dir_ / name).string(); }

 private:
  static inline int counter_ = 0;
  std::filesystem::path dir_;
};

// A CA, and a node certificate and key signed by it, written as PEM files.
struct Pki {
  Key ca_key;
  Cert ca{ca_key, "vorel test ca", nullptr, nullptr, true};
  Key node_key;
  Cert node{node_key, "some node", &ca_key, &ca};
  Files files;
  std::string ca_file = files.write("ca.pem", ca.pem());
  std::string cert_file = files.write("cert.pem", node.pem());
  std::string key_file = files.write("key.pem", node_key.pem());

  Tls settings(bool require_client_cert = true) const { return Tls{cert_file, key_file, ca_file, require_client_cert}; }
};

}  // namespace vorel::net::testing
