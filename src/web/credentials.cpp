#include "web/credentials.h"

namespace irig::web {

namespace {

constexpr unsigned int kLongestChain = 16;

gnutls_datum_t Datum(const QByteArray& bytes) {
    return {reinterpret_cast<unsigned char*>(const_cast<char*>(bytes.constData())),
            static_cast<unsigned int>(bytes.size())};
}

}  // namespace

std::shared_ptr<const Credentials> Credentials::Load(const TlsConfig& tls) {
    std::shared_ptr<Credentials> made(new Credentials);
    made->chain_.resize(kLongestChain);
    unsigned int length = kLongestChain;
    const gnutls_datum_t certificates = Datum(tls.certificatePem);
    if (gnutls_pcert_list_import_x509_raw(made->chain_.data(), &length, &certificates,
                                          GNUTLS_X509_FMT_PEM, 0) < 0) {
        made->chain_.clear();
        return nullptr;
    }
    made->chain_.resize(length);
    const gnutls_datum_t key = Datum(tls.keyPem);
    if (gnutls_privkey_init(&made->key_) < 0 ||
        gnutls_privkey_import_x509_raw(made->key_, &key, GNUTLS_X509_FMT_PEM, nullptr, 0) < 0) {
        return nullptr;
    }
    if (tls.VerifiesClients()) {
        const gnutls_datum_t authorities = Datum(tls.clientCaPem);
        if (gnutls_x509_trust_list_init(&made->trust_, 0) < 0 ||
            gnutls_x509_trust_list_add_trust_mem(made->trust_, &authorities, nullptr,
                                                 GNUTLS_X509_FMT_PEM, 0, 0) <= 0) {
            return nullptr;
        }
    }
    return made;
}

Credentials::~Credentials() {
    for (gnutls_pcert_st& certificate : chain_) {
        gnutls_pcert_deinit(&certificate);
    }
    if (key_ != nullptr) {
        gnutls_privkey_deinit(key_);
    }
    if (trust_ != nullptr) {
        gnutls_x509_trust_list_deinit(trust_, 1);
    }
}

int Credentials::Hand(gnutls_pcert_st** chain, unsigned int* length, gnutls_privkey_t* key) const {
    *chain = const_cast<gnutls_pcert_st*>(chain_.data());
    *length = static_cast<unsigned int>(chain_.size());
    *key = key_;
    return 0;
}

bool Credentials::Verifies(gnutls_session_t session) const {
    unsigned int count = 0;
    const gnutls_datum_t* sent = gnutls_certificate_get_peers(session, &count);
    if (trust_ == nullptr || sent == nullptr || count == 0 || count > kLongestChain) {
        return false;
    }
    std::vector<gnutls_x509_crt_t> chain(count, nullptr);
    bool loaded = true;
    for (unsigned int i = 0; i < count && loaded; ++i) {
        loaded = gnutls_x509_crt_init(&chain[i]) >= 0 &&
                 gnutls_x509_crt_import(chain[i], &sent[i], GNUTLS_X509_FMT_DER) >= 0;
    }
    unsigned int status = 1;
    if (loaded) {
        if (gnutls_x509_trust_list_verify_crt(trust_, chain.data(), count, 0, &status, nullptr) <
            0) {
            status = 1;
        }
    }
    for (gnutls_x509_crt_t certificate : chain) {
        if (certificate != nullptr) {
            gnutls_x509_crt_deinit(certificate);
        }
    }
    return status == 0;
}

}  // namespace irig::web
