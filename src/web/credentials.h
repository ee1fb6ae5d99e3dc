// A web configuration's TLS as GnuTLS holds it: the server's certificate chain and key, handed out
// at each handshake, and the trust list its clients' certificates are verified against. Taking a
// new one in place of the old is the edge's.
#pragma once

#include <gnutls/abstract.h>
#include <gnutls/gnutls.h>
#include <gnutls/x509.h>

#include <memory>
#include <vector>

#include "web/webconfig.h"

namespace irig::web {

class Credentials {
public:
    // Nothing when the configuration's files do not load (they were checked when it was read).
    static std::shared_ptr<const Credentials> Load(const TlsConfig& tls);
    ~Credentials();
    Credentials(const Credentials&) = delete;
    Credentials& operator=(const Credentials&) = delete;

    // For GnuTLS's certificate callback.
    int Hand(gnutls_pcert_st** chain, unsigned int* length, gnutls_privkey_t* key) const;
    // Whether the client of `session` showed a certificate that the trust list verifies.
    bool Verifies(gnutls_session_t session) const;

private:
    Credentials() = default;

    std::vector<gnutls_pcert_st> chain_;
    gnutls_privkey_t key_ = nullptr;
    gnutls_x509_trust_list_t trust_ = nullptr;
};

}  // namespace irig::web
