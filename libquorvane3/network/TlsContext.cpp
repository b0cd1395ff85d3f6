#include "network/TlsContext.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <system_error>

namespace {

// A client renegotiating in TLS 1.2 is refused by SSL_OP_NO_RENEGOTIATION with a
// warning alert only, after which it could go on; the transport closes such a connection
// when it sees this mark (set for the alert, and for any handshake after the first).
// TLS 1.3 has no renegotiation; its key updates are fine.
void WatchHandshakes(const SSL* ssl, int where, int value) {
    const bool refused = (where & SSL_CB_WRITE_ALERT) && (value & 0xff) == SSL_AD_NO_RENEGOTIATION;
    const bool again =
        (where & SSL_CB_HANDSHAKE_START) && SSL_is_init_finished(ssl) && SSL_version(ssl) < TLS1_3_VERSION;
    if (refused || again) SSL_set_app_data(const_cast<SSL*>(ssl), const_cast<char*>("renegotiation"));
}

// fopen's reason, for files OpenSSL would only call "system library" errors.
std::string Unreadable(const char* setting, const std::string& path) {
    FILE* file = std::fopen(path.c_str(), "r");
    if (file == nullptr) return std::string(setting) + " " + path + ": " + std::generic_category().message(errno);
    std::fclose(file);
    return "";
}

std::string DescribeCertificate(SSL_CTX* context) {
    X509* certificate = SSL_CTX_get0_certificate(context);
    if (certificate == nullptr) return "";
    std::string text;
    BIO* out = BIO_new(BIO_s_mem());
    if (out == nullptr) return "";
    X509_NAME_print_ex(out, X509_get_subject_name(certificate), 0, XN_FLAG_RFC2253);
    BIO_puts(out, ", valid until ");
    ASN1_TIME_print(out, X509_get0_notAfter(certificate));
    char* data = nullptr;
    const long length = BIO_get_mem_data(out, &data);
    if (length > 0) text.assign(data, static_cast<size_t>(length));
    BIO_free(out);
    return text;
}

}  // namespace

TlsContext::~TlsContext() { SSL_CTX_free(context_); }

std::string TlsContext::TakeError(const std::string& fallback) {
    const unsigned long code = ERR_peek_error();
    std::string text = fallback;
    if (code != 0) {
        const char* reason = ERR_reason_error_string(code);
        if (reason != nullptr) text = reason;
    }
    ERR_clear_error();
    return text;
}

std::shared_ptr<TlsContext> TlsContext::Load(const std::string& certificateFile, const std::string& keyFile,
                                             std::string& error) {
    ERR_clear_error();
    error = certificateFile.empty() ? "certificate-file is empty"
            : keyFile.empty()       ? "privatekey-file is empty"
                                    : Unreadable("certificate-file", certificateFile);
    if (error.empty()) error = Unreadable("privatekey-file", keyFile);
    if (!error.empty()) return nullptr;
    SSL_CTX* context = SSL_CTX_new(TLS_server_method());
    if (context == nullptr) {
        error = TakeError("no memory for a TLS context");
        return nullptr;
    }
    std::shared_ptr<TlsContext> made(new TlsContext(context));
    SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
    SSL_CTX_set_options(context, SSL_OP_NO_RENEGOTIATION | SSL_OP_NO_TICKET | SSL_OP_CIPHER_SERVER_PREFERENCE |
                                     SSL_OP_NO_COMPRESSION | SSL_OP_IGNORE_UNEXPECTED_EOF);
    // Nothing resumes a session: no cache to grow, no tickets after a TLS 1.3 handshake.
    SSL_CTX_set_session_cache_mode(context, SSL_SESS_CACHE_OFF);
    SSL_CTX_set_num_tickets(context, 0);
    // The transport writes from the output queue, whose head may move between a write
    // that could not finish and its retry; a record is taken whole or not at all.
    SSL_CTX_set_mode(context, SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER | SSL_MODE_RELEASE_BUFFERS);
    SSL_CTX_set_info_callback(context, WatchHandshakes);
    if (SSL_CTX_use_certificate_chain_file(context, certificateFile.c_str()) != 1) {
        error = "certificate-file " + certificateFile + ": " + TakeError("no certificate in it");
        return nullptr;
    }
    const bool keyRead = SSL_CTX_use_PrivateKey_file(context, keyFile.c_str(), SSL_FILETYPE_PEM) == 1;
    if (!keyRead && ERR_GET_REASON(ERR_peek_last_error()) != X509_R_KEY_VALUES_MISMATCH) {
        error = "privatekey-file " + keyFile + ": " + TakeError("no private key in it");
        return nullptr;
    }
    if (!keyRead || SSL_CTX_check_private_key(context) != 1) {
        ERR_clear_error();
        error = "privatekey-file " + keyFile + ": it does not match the certificate of " + certificateFile;
        return nullptr;
    }
    made->description_ = DescribeCertificate(context);
    return made;
}

SSL* TlsContext::NewSession() const {
    SSL* session = SSL_new(context_);
    if (session == nullptr) ERR_clear_error();
    return session;
}

bool TlsContext::Renegotiated(const SSL* session) { return SSL_get_app_data(session) != nullptr; }
