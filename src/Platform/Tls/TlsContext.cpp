#include "Platform/Tls/TlsContext.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

namespace platform {

struct TlsContext::Impl {
    Side side = Side::Server;
    SSL* ssl = nullptr;
    BIO* bio = nullptr;  // owned by ssl
    TlsReadFunc readFunc = nullptr;
    TlsWriteFunc writeFunc = nullptr;
    void* connection = nullptr;

    bool allowsAnyRoot = false;
    bool allowsExpiredRoots = false;
    bool allowsExpiredCerts = false;
    bool verifyPeer = true;
    bool tls12 = true;
    bool tls13 = true;
    bool started = false;   // first handshake() call made
    bool finished = false;  // handshake completed
    bool closed = false;
    bool transportClosed = false;
    TlsStatus failure = tls::kNoErr;  // sticky status once the connection failed

    // Encrypted bytes the transport has not taken yet; the BIO always takes everything so
    // that a record is never half-built, and the bytes wait here instead.
    std::vector<uint8_t> pendingOut;
    size_t pendingOutOffset = 0;
    // Plaintext of a write OpenSSL could not finish (it wanted to read first): retried with
    // the same buffer before anything else is written.
    std::vector<uint8_t> pendingPlain;

    // The Diffie-Hellman parameters set on the connection, kept to be set again when a server
    // identity's context (with certificate settings of its own) takes the connection over.
    EVP_PKEY* dhParams = nullptr;

    ~Impl() {
        if (ssl) SSL_free(ssl);
        if (dhParams) EVP_PKEY_free(dhParams);
    }

    bool hasPendingOut() const { return pendingOutOffset < pendingOut.size(); }

    TlsStatus flushOut() {
        while (hasPendingOut()) {
            size_t n = pendingOut.size() - pendingOutOffset;
            TlsStatus status = writeFunc ? writeFunc(connection, pendingOut.data() + pendingOutOffset, &n) : tls::kClosedAbort;
            pendingOutOffset += n;
            if (status == tls::kWouldBlock) {
                if (!hasPendingOut()) break;
                return tls::kWouldBlock;
            }
            if (status != tls::kNoErr) {
                transportClosed = true;
                return tls::kClosedAbort;
            }
        }
        pendingOut.clear();
        pendingOutOffset = 0;
        return tls::kNoErr;
    }

    // Maps a failed OpenSSL call to a status and records it when it ends the connection.
    TlsStatus statusOf(int result) {
        const int error = SSL_get_error(ssl, result);
        switch (error) {
            case SSL_ERROR_WANT_READ:
            case SSL_ERROR_WANT_WRITE:
                return tls::kWouldBlock;
            case SSL_ERROR_ZERO_RETURN:
                return fail(tls::kClosedGraceful);
            case SSL_ERROR_SYSCALL:
                return fail(tls::kClosedAbort);
            default:
                break;
        }
        if (transportClosed) return fail(tls::kClosedAbort);
        const unsigned long code = ERR_peek_last_error();
        const int reason = ERR_GET_REASON(code);
        TlsStatus status = tls::kProtocol;
        if (reason == SSL_R_CERTIFICATE_VERIFY_FAILED) {
            status = tls::kCertificateChainInvalid;
        } else if (reason == SSL_R_UNEXPECTED_EOF_WHILE_READING) {
            status = tls::kClosedAbort;
        } else if (reason == SSL_R_NO_SHARED_CIPHER || reason == SSL_R_UNSUPPORTED_PROTOCOL ||
                   reason == SSL_R_NO_PROTOCOLS_AVAILABLE || reason == SSL_R_VERSION_TOO_LOW) {
            status = tls::kNegotiation;
        } else if (reason >= SSL_AD_REASON_OFFSET) {
            status = tls::kFatalAlert;
        }
        ERR_clear_error();
        // The alert OpenSSL wrote about the failure goes out if the transport takes it.
        (void)flushOut();
        return fail(status);
    }

    TlsStatus fail(TlsStatus status) {
        if (failure == tls::kNoErr) failure = status;
        return failure;
    }

    void applyProtocols() {
        if (tls12 && tls13) {
            SSL_set_min_proto_version(ssl, TLS1_2_VERSION);
            SSL_set_max_proto_version(ssl, TLS1_3_VERSION);
        } else if (tls12) {
            SSL_set_min_proto_version(ssl, TLS1_2_VERSION);
            SSL_set_max_proto_version(ssl, TLS1_2_VERSION);
        } else if (tls13) {
            SSL_set_min_proto_version(ssl, TLS1_3_VERSION);
            SSL_set_max_proto_version(ssl, TLS1_3_VERSION);
        } else {
            // Everything disabled: an empty range, so the handshake fails for want of a protocol.
            SSL_set_min_proto_version(ssl, TLS1_3_VERSION);
            SSL_set_max_proto_version(ssl, TLS1_2_VERSION);
        }
    }
};

namespace {

using Impl = TlsContext::Impl;

// An I/O call is told from an error only when the thread's error queue was empty before it.
// Clearing an already empty queue still visits each of its slots, and that came to a few
// thousand instructions per request: it is cleared only when something is in it.
void clearErrorsBeforeCall() {
    if (ERR_peek_error() != 0) ERR_clear_error();
}

int bioWrite(BIO* bio, const char* data, size_t length, size_t* written) {
    auto* impl = static_cast<Impl*>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    *written = 0;
    if (!impl || impl->transportClosed) return 0;
    if (impl->hasPendingOut()) {
        // Keep the order of the bytes: behind what already waits.
        impl->pendingOut.insert(impl->pendingOut.end(), data, data + length);
        *written = length;
        return 1;
    }
    size_t n = length;
    TlsStatus status = impl->writeFunc ? impl->writeFunc(impl->connection, data, &n) : tls::kClosedAbort;
    if (n > length) n = length;
    if (status == tls::kNoErr || status == tls::kWouldBlock) {
        if (n < length) {
            impl->pendingOut.assign(data + n, data + length);
            impl->pendingOutOffset = 0;
        }
        *written = length;
        return 1;
    }
    impl->transportClosed = true;
    return 0;
}

int bioRead(BIO* bio, char* data, size_t length, size_t* readBytes) {
    auto* impl = static_cast<Impl*>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    *readBytes = 0;
    if (!impl || impl->transportClosed || length == 0) return 0;
    size_t n = length;
    TlsStatus status = impl->readFunc ? impl->readFunc(impl->connection, data, &n) : tls::kClosedAbort;
    if (n > length) n = length;
    if (n > 0) {
        *readBytes = n;
        if (status != tls::kNoErr && status != tls::kWouldBlock) impl->transportClosed = true;
        return 1;
    }
    if (status == tls::kWouldBlock) {
        BIO_set_retry_read(bio);
        return 0;
    }
    impl->transportClosed = true;
    return 0;
}

long bioCtrl(BIO*, int command, long, void*) {
    return command == BIO_CTRL_FLUSH ? 1 : 0;
}

int bioCreate(BIO* bio) {
    BIO_set_init(bio, 1);
    return 1;
}

int bioDestroy(BIO* bio) {
    BIO_set_data(bio, nullptr);
    return 1;
}

BIO_METHOD* bioMethod() {
    static BIO_METHOD* method = [] {
        BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "pellix transport");
        BIO_meth_set_write_ex(m, bioWrite);
        BIO_meth_set_read_ex(m, bioRead);
        BIO_meth_set_ctrl(m, bioCtrl);
        BIO_meth_set_create(m, bioCreate);
        BIO_meth_set_destroy(m, bioDestroy);
        return m;
    }();
    return method;
}

// The TLS 1.2 suites offered, best first: ECDHE key exchange only (forward secrecy) and AEAD
// ciphers only (no CBC padding oracles). TLS 1.3's suites are all of that kind already.
constexpr const char* kTls12Ciphers =
    "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:"
    "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:"
    "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305";

// Whether the suite is one the engine may offer (see kTls12Ciphers).
bool offeredSuite(const SSL_CIPHER* cipher) {
    if (SSL_CIPHER_get_protocol_id(cipher) >> 8 == 0x13) return true;
    const int bulk = SSL_CIPHER_get_cipher_nid(cipher);
    return SSL_CIPHER_get_kx_nid(cipher) == NID_kx_ecdhe && SSL_CIPHER_get_auth_nid(cipher) != NID_auth_null &&
           (bulk == NID_aes_128_gcm || bulk == NID_aes_256_gcm || bulk == NID_chacha20_poly1305);
}

// The settings of every server library context: TLS 1.2 and up, the suites above in the
// server's order, no renegotiation, one session id context. The certificate chain a server
// sends is its identity's own (leaf, then the chain certificates given): the server has no
// store of certificates to complete it from, so the library is not asked to build one at
// every handshake.
SSL_CTX* newServerContext() {
    SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
    if (ctx && SSL_CTX_set_cipher_list(ctx, kTls12Ciphers) != 1) {
        SSL_CTX_free(ctx);
        ctx = nullptr;
    }
    if (ctx) {
        SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
        SSL_CTX_set_options(ctx, SSL_OP_NO_RENEGOTIATION | SSL_OP_CIPHER_SERVER_PREFERENCE);
        SSL_CTX_set_mode(ctx, SSL_MODE_NO_AUTO_CHAIN);
        static const unsigned char sessionContext[] = "pellix";
        SSL_CTX_set_session_id_context(ctx, sessionContext, sizeof sessionContext - 1);
    }
    ERR_clear_error();
    return ctx;
}

// One library context per side, made once and shared by every connection; all per-connection
// settings go on the connection itself. A server connection moves to its identity's context
// when its certificate is set (IdentityContexts), keeping this one for its sessions.
SSL_CTX* sharedContext(TlsContext::Side side) {
    static SSL_CTX* server = newServerContext();
    static SSL_CTX* client = [] {
        SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
        if (ctx && SSL_CTX_set_cipher_list(ctx, kTls12Ciphers) != 1) {
            SSL_CTX_free(ctx);
            ctx = nullptr;
        }
        if (ctx) {
            SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
            SSL_CTX_set_options(ctx, SSL_OP_NO_RENEGOTIATION);
            SSL_CTX_set_default_verify_paths(ctx);
        }
        return ctx;
    }();
    return side == TlsContext::Side::Server ? server : client;
}

// Whether two identities are the same key with the same certificates: the same objects, or
// certificates of the same encoding and the same key.
bool sameIdentity(const TlsIdentity& a, const TlsIdentity& b) {
    if (a == b) return true;
    const auto& ca = a.certificates();
    const auto& cb = b.certificates();
    if (ca.size() != cb.size()) return false;
    for (size_t i = 0; i < ca.size(); ++i) {
        if (ca[i] != cb[i] && X509_cmp(ca[i].get(), cb[i].get()) != 0) return false;
    }
    const bool sameKey = a.privateKey() == b.privateKey() || EVP_PKEY_eq(a.privateKey(), b.privateKey()) == 1;
    ERR_clear_error();
    return sameKey;
}

// The server library contexts of the identities in use, each with the identity's key and
// certificates set and checked once: connections of one identity share its context instead
// of each setting, checking and later freeing the identity on a context of its own. At most
// kKept identities are kept, the one used last first; a context let go lives on in the
// connections that still use it (the library counts its references). Callable from any thread.
class IdentityContexts {
public:
    static constexpr size_t kKept = 2;

    static IdentityContexts& shared() {
        // Never destroyed: a socket queue may still start TLS while the process exits.
        static IdentityContexts* contexts = new IdentityContexts;
        return *contexts;
    }

    // The identity's context with a reference for the caller, or nullptr when the library
    // cannot make one or refuses the identity.
    SSL_CTX* contextFor(const TlsIdentity& identity) {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto it = entries_.begin(); it != entries_.end(); ++it) {
            if (!sameIdentity(it->identity, identity)) continue;
            SSL_CTX* ctx = it->ctx;
            if (it != entries_.begin()) std::rotate(entries_.begin(), it, it + 1);
            SSL_CTX_up_ref(ctx);
            return ctx;
        }
        SSL_CTX* ctx = build(identity);
        if (!ctx) return nullptr;
        ++built_;
        if (entries_.size() == kKept) {
            SSL_CTX_free(entries_.back().ctx);
            entries_.pop_back();
        }
        entries_.insert(entries_.begin(), Entry{identity, ctx});
        SSL_CTX_up_ref(ctx);
        return ctx;
    }

    size_t built() {
        std::lock_guard<std::mutex> lock(mutex_);
        return built_;
    }

private:
    struct Entry {
        TlsIdentity identity;  // holds its key and certificates while the entry lives
        SSL_CTX* ctx;          // one reference, the entry's
    };

    static SSL_CTX* build(const TlsIdentity& identity) {
        SSL_CTX* ctx = newServerContext();
        if (!ctx) return nullptr;
        const auto& certs = identity.certificates();
        bool ok = SSL_CTX_use_certificate(ctx, certs.front().get()) == 1 &&
                  SSL_CTX_use_PrivateKey(ctx, identity.privateKey()) == 1 && SSL_CTX_check_private_key(ctx) == 1;
        for (size_t i = 1; ok && i < certs.size(); ++i) ok = SSL_CTX_add1_chain_cert(ctx, certs[i].get()) == 1;
        ERR_clear_error();
        if (!ok) {
            SSL_CTX_free(ctx);
            return nullptr;
        }
        return ctx;
    }

    std::mutex mutex_;
    std::vector<Entry> entries_;  // guarded by mutex_; the one used last first
    size_t built_ = 0;            // guarded by mutex_
};

int verifyCallback(int preverified, X509_STORE_CTX* store) {
    if (preverified) return 1;
    auto* ssl = static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
    auto* impl = ssl ? static_cast<Impl*>(SSL_get_app_data(ssl)) : nullptr;
    if (!impl) return 0;
    const int error = X509_STORE_CTX_get_error(store);
    const int depth = X509_STORE_CTX_get_error_depth(store);
    switch (error) {
        case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
        case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
        case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
            return impl->allowsAnyRoot ? 1 : 0;
        case X509_V_ERR_CERT_HAS_EXPIRED:
        case X509_V_ERR_CERT_NOT_YET_VALID: {
            X509* cert = X509_STORE_CTX_get_current_cert(store);
            const bool isRoot = depth > 0 && cert && X509_check_issued(cert, cert) == X509_V_OK;
            return (isRoot ? impl->allowsExpiredRoots : impl->allowsExpiredCerts) ? 1 : 0;
        }
        default:
            return 0;
    }
}

}  // namespace

std::unique_ptr<TlsContext> TlsContext::create(Side side) {
    SSL_CTX* shared = sharedContext(side);
    if (!shared) return nullptr;
    auto impl = std::make_unique<Impl>();
    impl->side = side;
    impl->ssl = SSL_new(shared);
    if (!impl->ssl) {
        ERR_clear_error();
        return nullptr;
    }
    impl->bio = BIO_new(bioMethod());
    if (!impl->bio) {
        ERR_clear_error();
        return nullptr;
    }
    BIO_set_data(impl->bio, impl.get());
    SSL_set_bio(impl->ssl, impl->bio, impl->bio);
    SSL_set_app_data(impl->ssl, impl.get());
    if (side == Side::Server) {
        SSL_set_accept_state(impl->ssl);
    } else {
        SSL_set_connect_state(impl->ssl);
    }
    return std::unique_ptr<TlsContext>(new TlsContext(std::move(impl)));
}

TlsContext::TlsContext(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
TlsContext::~TlsContext() = default;

TlsContext::Side TlsContext::side() const { return impl_->side; }

TlsStatus TlsContext::setIOFuncs(TlsReadFunc read, TlsWriteFunc write) {
    if (impl_->started) return tls::kBadState;
    impl_->readFunc = read;
    impl_->writeFunc = write;
    return tls::kNoErr;
}

TlsStatus TlsContext::setConnection(void* connection) {
    if (impl_->started) return tls::kBadState;
    impl_->connection = connection;
    return tls::kNoErr;
}

TlsStatus TlsContext::setPeerDomainName(const char* name, size_t length) {
    if (impl_->started) return tls::kBadState;
    const std::string host(name ? name : "", name ? length : 0);
    if (impl_->side == Side::Client && !host.empty()) {
        if (SSL_set_tlsext_host_name(impl_->ssl, host.c_str()) != 1 || SSL_set1_host(impl_->ssl, host.c_str()) != 1) {
            ERR_clear_error();
            return tls::kBadParam;
        }
    }
    return tls::kNoErr;
}

TlsStatus TlsContext::setAllowsAnyRoot(bool allows) {
    if (impl_->started) return tls::kBadState;
    impl_->allowsAnyRoot = allows;
    return tls::kNoErr;
}

TlsStatus TlsContext::setAllowsExpiredRoots(bool allows) {
    if (impl_->started) return tls::kBadState;
    impl_->allowsExpiredRoots = allows;
    return tls::kNoErr;
}

TlsStatus TlsContext::setEnableCertVerify(bool enable) {
    if (impl_->started) return tls::kBadState;
    impl_->verifyPeer = enable;
    return tls::kNoErr;
}

TlsStatus TlsContext::setAllowsExpiredCerts(bool allows) {
    if (impl_->started) return tls::kBadState;
    impl_->allowsExpiredCerts = allows;
    return tls::kNoErr;
}

TlsStatus TlsContext::setCertificate(const TlsIdentity& identity) {
    if (impl_->started) return tls::kBadState;
    if (!identity.isValid()) return tls::kBadParam;
    const auto& certs = identity.certificates();
    if (impl_->side == Side::Server) {
        SSL_CTX* ctx = IdentityContexts::shared().contextFor(identity);
        if (!ctx) return tls::kBadParam;
        // The connection takes the identity's certificate settings and keeps its own protocol,
        // cipher and session settings (the same as the identity context's).
        SSL_CTX* now = SSL_set_SSL_CTX(impl_->ssl, ctx);
        SSL_CTX_free(ctx);
        if (now != ctx) {
            ERR_clear_error();
            return tls::kBadParam;
        }
        if (impl_->dhParams) {
            EVP_PKEY_up_ref(impl_->dhParams);
            if (SSL_set0_tmp_dh_pkey(impl_->ssl, impl_->dhParams) != 1) {
                EVP_PKEY_free(impl_->dhParams);
                ERR_clear_error();
                return tls::kBadParam;
            }
        }
        return tls::kNoErr;
    }
    if (SSL_use_certificate(impl_->ssl, certs.front().get()) != 1 ||
        SSL_use_PrivateKey(impl_->ssl, identity.privateKey()) != 1 || SSL_check_private_key(impl_->ssl) != 1) {
        ERR_clear_error();
        return tls::kBadParam;
    }
    for (size_t i = 1; i < certs.size(); ++i) {
        if (SSL_add1_chain_cert(impl_->ssl, certs[i].get()) != 1) {
            ERR_clear_error();
            return tls::kBadParam;
        }
    }
    return tls::kNoErr;
}

size_t TlsContext::identityContextsBuilt() { return IdentityContexts::shared().built(); }

TlsStatus TlsContext::setProtocolVersionEnabled(TlsProtocol protocol, bool enable) {
    if (impl_->started) return tls::kBadState;
    switch (protocol) {
        case TlsProtocol::All:
            impl_->tls12 = enable;
            impl_->tls13 = enable;
            return tls::kNoErr;
        case TlsProtocol::TLS12:
            impl_->tls12 = enable;
            return tls::kNoErr;
        case TlsProtocol::TLS13:
            impl_->tls13 = enable;
            return tls::kNoErr;
        case TlsProtocol::SSL2:
        case TlsProtocol::SSL3:
        case TlsProtocol::TLS1:
        case TlsProtocol::TLS11:
            // Broken protocols are never offered; disabling them is what they already are.
            return enable ? tls::kBadParam : tls::kNoErr;
    }
    return tls::kBadParam;
}

TlsStatus TlsContext::setEnabledCiphers(const uint16_t* ciphers, size_t count) {
    if (impl_->started) return tls::kBadState;
    std::string tls12List;
    std::string tls13List;
    for (size_t i = 0; i < count; ++i) {
        const unsigned char id[2] = {static_cast<unsigned char>(ciphers[i] >> 8), static_cast<unsigned char>(ciphers[i] & 0xFF)};
        const SSL_CIPHER* cipher = SSL_CIPHER_find(impl_->ssl, id);
        if (!cipher || !offeredSuite(cipher)) continue;
        std::string& list = (ciphers[i] >> 8) == 0x13 ? tls13List : tls12List;
        if (!list.empty()) list += ':';
        list += SSL_CIPHER_get_name(cipher);
    }
    if (tls12List.empty() && tls13List.empty()) return tls::kBadParam;
    if (!tls12List.empty() && SSL_set_cipher_list(impl_->ssl, tls12List.c_str()) != 1) {
        ERR_clear_error();
        return tls::kBadParam;
    }
    if (SSL_set_ciphersuites(impl_->ssl, tls13List.c_str()) != 1) {
        ERR_clear_error();
        return tls::kBadParam;
    }
    return tls::kNoErr;
}

TlsStatus TlsContext::setDiffieHellmanParams(const void* der, size_t length) {
    if (impl_->started) return tls::kBadState;
    const auto* p = static_cast<const unsigned char*>(der);
    EVP_PKEY* params = d2i_KeyParams(EVP_PKEY_DH, nullptr, &p, static_cast<long>(length));
    if (!params) {
        ERR_clear_error();
        return tls::kBadParam;
    }
    if (SSL_set0_tmp_dh_pkey(impl_->ssl, params) != 1) {
        EVP_PKEY_free(params);
        ERR_clear_error();
        return tls::kBadParam;
    }
    EVP_PKEY_up_ref(params);
    if (impl_->dhParams) EVP_PKEY_free(impl_->dhParams);
    impl_->dhParams = params;
    return tls::kNoErr;
}

TlsStatus TlsContext::handshake() {
    Impl& impl = *impl_;
    if (impl.closed) return tls::kBadState;
    if (impl.failure != tls::kNoErr) return impl.failure;
    if (!impl.started) {
        impl.started = true;
        impl.applyProtocols();
        if (impl.side == Side::Client) SSL_set_verify(impl.ssl, impl.verifyPeer ? SSL_VERIFY_PEER : SSL_VERIFY_NONE, verifyCallback);
    }
    if (TlsStatus status = impl.flushOut(); status != tls::kNoErr) return status == tls::kWouldBlock ? status : impl.fail(status);
    if (impl.finished) return tls::kNoErr;
    ERR_clear_error();
    const int result = SSL_do_handshake(impl.ssl);
    if (result == 1) {
        impl.finished = true;
        const TlsStatus status = impl.flushOut();
        return status == tls::kWouldBlock ? status : (status == tls::kNoErr ? status : impl.fail(status));
    }
    const TlsStatus status = impl.statusOf(result);
    if (status == tls::kWouldBlock) (void)impl.flushOut();
    return status;
}

TlsStatus TlsContext::read(void* data, size_t length, size_t* processed) {
    Impl& impl = *impl_;
    if (processed) *processed = 0;
    if (impl.closed) return tls::kBadState;
    if (impl.failure != tls::kNoErr) return impl.failure;
    if (!impl.finished) return tls::kBadState;
    if (length == 0) return tls::kNoErr;
    // Replies OpenSSL owes the peer (key updates) go out first when they can.
    if (impl.hasPendingOut()) (void)impl.flushOut();
    clearErrorsBeforeCall();
    size_t n = 0;
    const int result = SSL_read_ex(impl.ssl, data, length, &n);
    if (result == 1) {
        if (processed) *processed = n;
        return tls::kNoErr;
    }
    return impl.statusOf(result);
}

TlsStatus TlsContext::write(const void* data, size_t length, size_t* processed) {
    Impl& impl = *impl_;
    if (processed) *processed = 0;
    if (impl.closed) return tls::kBadState;
    if (impl.failure != tls::kNoErr) return impl.failure;
    if (!impl.finished) return tls::kBadState;
    if (TlsStatus status = impl.flushOut(); status != tls::kNoErr) return status == tls::kWouldBlock ? status : impl.fail(status);
    if (!impl.pendingPlain.empty()) {
        clearErrorsBeforeCall();
        size_t n = 0;
        const int result = SSL_write_ex(impl.ssl, impl.pendingPlain.data(), impl.pendingPlain.size(), &n);
        if (result != 1) return impl.statusOf(result);
        impl.pendingPlain.clear();
        if (impl.hasPendingOut()) return tls::kWouldBlock;
    }
    if (length == 0) return tls::kNoErr;
    clearErrorsBeforeCall();
    size_t n = 0;
    const int result = SSL_write_ex(impl.ssl, data, length, &n);
    if (result == 1) {
        if (impl.hasPendingOut()) return tls::kWouldBlock;  // taken; the rest goes out later
        if (processed) *processed = n;
        return tls::kNoErr;
    }
    const TlsStatus status = impl.statusOf(result);
    if (status == tls::kWouldBlock) {
        // OpenSSL wants the same bytes again; keep them so the caller may count them as taken.
        const auto* bytes = static_cast<const uint8_t*>(data);
        impl.pendingPlain.assign(bytes, bytes + length);
    }
    return status;
}

TlsStatus TlsContext::getBufferedReadSize(size_t* size) const {
    if (size) *size = impl_->finished && !impl_->closed ? static_cast<size_t>(SSL_pending(impl_->ssl)) : 0;
    return tls::kNoErr;
}

TlsStatus TlsContext::close() {
    Impl& impl = *impl_;
    if (impl.closed) return tls::kNoErr;
    if (impl.finished && impl.failure == tls::kNoErr && !impl.transportClosed) {
        ERR_clear_error();
        SSL_shutdown(impl.ssl);
        (void)impl.flushOut();
        ERR_clear_error();
    }
    impl.closed = true;
    return tls::kNoErr;
}

const char* TlsContext::protocolVersion() const {
    return impl_->finished ? SSL_get_version(impl_->ssl) : "";
}

}  // namespace platform
