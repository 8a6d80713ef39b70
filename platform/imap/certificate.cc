#include "platform/imap/certificate.h"

#include <gnutls/gnutls.h>
#include <gnutls/x509.h>

#include <memory>

#include "platform/com_error.h"

namespace stow::imap {

std::string CertificateProblem(const std::vector<std::string>& derChain, const std::string& host,
                               const std::string& caFile) {
  if (derChain.empty()) return "the server presented no certificate";
  gnutls_x509_trust_list_t trust = nullptr;
  if (gnutls_x509_trust_list_init(&trust, 0) < 0) return "the trust store could not be set up";
  std::unique_ptr<gnutls_x509_trust_list_st, void (*)(gnutls_x509_trust_list_t)> trustOwner(
      trust, [](gnutls_x509_trust_list_t t) { gnutls_x509_trust_list_deinit(t, 1); });
  gnutls_x509_trust_list_add_system_trust(trust, 0, 0);
  if (!caFile.empty()) {
    int added = gnutls_x509_trust_list_add_trust_file(trust, caFile.c_str(), nullptr,
                                                      GNUTLS_X509_FMT_PEM, 0, 0);
    if (added <= 0)
      Raise(errnum::kFileNotFound, "Stowbright",
            "No CA certificate could be read from " + caFile +
                (added < 0 ? std::string(" (") + gnutls_strerror(added) + ")" : std::string()));
  }

  std::vector<gnutls_x509_crt_t> chain;
  auto freeChain = [&] {
    for (gnutls_x509_crt_t c : chain) gnutls_x509_crt_deinit(c);
  };
  for (const std::string& der : derChain) {
    gnutls_x509_crt_t crt = nullptr;
    gnutls_datum_t datum{reinterpret_cast<unsigned char*>(const_cast<char*>(der.data())),
                         static_cast<unsigned>(der.size())};
    if (gnutls_x509_crt_init(&crt) < 0) {
      freeChain();
      return "the server's certificate could not be read";
    }
    chain.push_back(crt);
    if (gnutls_x509_crt_import(crt, &datum, GNUTLS_X509_FMT_DER) < 0) {
      freeChain();
      return "the server's certificate could not be read";
    }
  }
  gnutls_typed_vdata_st data[2] = {};
  data[0].type = GNUTLS_DT_DNS_HOSTNAME;
  data[0].data = reinterpret_cast<unsigned char*>(const_cast<char*>(host.c_str()));
  data[1].type = GNUTLS_DT_KEY_PURPOSE_OID;
  data[1].data = reinterpret_cast<unsigned char*>(const_cast<char*>(GNUTLS_KP_TLS_WWW_SERVER));
  unsigned status = 0;
  int r = gnutls_x509_trust_list_verify_crt2(trust, chain.data(), chain.size(), data, 2, 0, &status,
                                             nullptr);
  freeChain();
  if (r < 0) return std::string("it could not be checked (") + gnutls_strerror(r) + ")";
  if (status == 0) return "";
  gnutls_datum_t text{};
  std::string why = "it is not trusted";
  if (gnutls_certificate_verification_status_print(status, GNUTLS_CRT_X509, &text, 0) == 0) {
    why = reinterpret_cast<const char*>(text.data);
    gnutls_free(text.data);
  }
  return why;
}

}  // namespace stow::imap
