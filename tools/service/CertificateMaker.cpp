#include "CertificateMaker.h"

#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <memory>

namespace ulmora::service {
namespace {

template <typename T, void (*Free)(T*)>
struct Deleter {
  void operator()(T* p) const { Free(p); }
};
using KeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using CertPtr = std::unique_ptr<X509, Deleter<X509, X509_free>>;
using NamePtr = std::unique_ptr<X509_NAME, Deleter<X509_NAME, X509_NAME_free>>;

constexpr long kValiditySeconds = 825L * 24 * 60 * 60;

KeyPtr newKey() { return KeyPtr(EVP_EC_gen("P-256")); }

bool addExtension(X509* cert, X509* issuer, int nid, const char* value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
  if (ext == nullptr) return false;
  const bool ok = X509_add_ext(cert, ext, -1) == 1;
  X509_EXTENSION_free(ext);
  return ok;
}

bool setRandomSerial(X509* cert) {
  unsigned char bytes[16];
  if (RAND_bytes(bytes, sizeof bytes) != 1) return false;
  bytes[0] &= 0x7F;  // a positive serial
  BIGNUM* bn = BN_bin2bn(bytes, sizeof bytes, nullptr);
  if (bn == nullptr) return false;
  const bool ok = BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(cert)) != nullptr;
  BN_free(bn);
  return ok;
}

CertPtr newCertificate(EVP_PKEY* key, const char* commonName, X509* issuer, EVP_PKEY* issuerKey) {
  CertPtr cert(X509_new());
  NamePtr name(X509_NAME_new());
  if (!cert || !name) return nullptr;
  if (X509_set_version(cert.get(), 2) != 1 || !setRandomSerial(cert.get()) ||
      X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600) == nullptr ||
      X509_gmtime_adj(X509_getm_notAfter(cert.get()), kValiditySeconds) == nullptr ||
      X509_NAME_add_entry_by_txt(name.get(), "O", MBSTRING_ASC,
                                 reinterpret_cast<const unsigned char*>("Ulmora stand-in"), -1,
                                 -1, 0) != 1 ||
      X509_NAME_add_entry_by_txt(name.get(), "CN", MBSTRING_ASC,
                                 reinterpret_cast<const unsigned char*>(commonName), -1, -1,
                                 0) != 1 ||
      X509_set_subject_name(cert.get(), name.get()) != 1 ||
      X509_set_issuer_name(cert.get(), issuer != nullptr ? X509_get_subject_name(issuer)
                                                         : name.get()) != 1 ||
      X509_set_pubkey(cert.get(), key) != 1) {
    return nullptr;
  }
  X509* signer = issuer != nullptr ? issuer : cert.get();
  const bool isAuthority = issuer == nullptr;
  bool ok = addExtension(cert.get(), signer, NID_subject_key_identifier, "hash");
  if (isAuthority) {
    ok = ok && addExtension(cert.get(), signer, NID_basic_constraints, "critical,CA:TRUE,pathlen:0") &&
         addExtension(cert.get(), signer, NID_key_usage, "critical,keyCertSign,cRLSign");
  } else {
    ok = ok && addExtension(cert.get(), signer, NID_authority_key_identifier, "keyid:always") &&
         addExtension(cert.get(), signer, NID_basic_constraints, "critical,CA:FALSE") &&
         addExtension(cert.get(), signer, NID_key_usage, "critical,digitalSignature") &&
         addExtension(cert.get(), signer, NID_ext_key_usage, "serverAuth") &&
         addExtension(cert.get(), signer, NID_subject_alt_name,
                      "DNS:localhost,IP:127.0.0.1,IP:::1");
  }
  if (!ok || X509_sign(cert.get(), issuerKey, EVP_sha256()) == 0) return nullptr;
  return cert;
}

// Writes through a descriptor opened with the final mode, so a key is never
// readable by others, not even for a moment.
template <typename Write>
bool writePem(const std::string& path, mode_t mode, Write write) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, mode);
  if (fd < 0) return false;
  if (::fchmod(fd, mode) != 0) {
    ::close(fd);
    return false;
  }
  FILE* file = ::fdopen(fd, "w");
  if (file == nullptr) {
    ::close(fd);
    return false;
  }
  const bool ok = write(file);
  return (::fclose(file) == 0) && ok;
}

}  // namespace

std::string makeCertificates(const std::string& folder) {
  if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return "cannot create " + folder;
  KeyPtr caKey = newKey();
  KeyPtr serverKey = newKey();
  if (!caKey || !serverKey) return "cannot generate keys";
  CertPtr ca = newCertificate(caKey.get(), "Ulmora stand-in authority", nullptr, caKey.get());
  if (!ca) return "cannot make the authority's certificate";
  CertPtr server = newCertificate(serverKey.get(), "localhost", ca.get(), caKey.get());
  if (!server) return "cannot make the server certificate";

  if (!writePem(folder + "/ca.pem", 0600,
                [&](FILE* f) { return PEM_write_X509(f, ca.get()) == 1; }))
    return "cannot write " + folder + "/ca.pem";
  if (!writePem(folder + "/server.pem", 0600,
                [&](FILE* f) { return PEM_write_X509(f, server.get()) == 1; }))
    return "cannot write " + folder + "/server.pem";
  if (!writePem(folder + "/server-key.pem", 0600, [&](FILE* f) {
        return PEM_write_PrivateKey(f, serverKey.get(), nullptr, nullptr, 0, nullptr, nullptr) ==
               1;
      }))
    return "cannot write " + folder + "/server-key.pem";
  return {};
}

}  // namespace ulmora::service
