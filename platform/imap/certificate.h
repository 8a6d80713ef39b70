#pragma once
// The check of a TLS server's certificate. libetpan makes the TLS connection but
// does not judge the certificate; this does, before anything is sent to the server.

#include <string>
#include <vector>

namespace stow::imap {

// Why the chain (DER certificates, the server's own first) is not to be trusted for
// host: "" when it is. Trusted means issued, through the chain, by a certificate of
// the system's trust store or of caFile (PEM, when not empty), valid now, for a TLS
// server, and naming host (a DNS name or an IP address). Raises ComError when caFile
// cannot be read or holds no certificate.
std::string CertificateProblem(const std::vector<std::string>& derChain, const std::string& host,
                               const std::string& caFile);

}  // namespace stow::imap
