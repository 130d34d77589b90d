// The sandbox's own certificate authority and server certificate.
//
// On first start the server creates, in its data folder, a CA and a server
// certificate for 127.0.0.1 and localhost (subjectAltName) signed by it.
// Clients trust the CA file printed in the "listening" line; verification is
// never switched off.  Later starts reuse the files; a server certificate
// that expires within a day, or that the CA did not sign, is made again.
#pragma once

#include <string>

namespace sandbox {

struct TlsFiles {
    std::string ca_cert;     // PEM of the CA (what clients trust)
    std::string server_cert; // PEM of the server certificate
    std::string server_key;  // PEM of the server key (mode 0600)
};

// Creates what is missing under data_dir.  Throws std::runtime_error with a
// readable reason when a file cannot be created.
TlsFiles ensure_tls_files(const std::string &data_dir);

} // namespace sandbox
