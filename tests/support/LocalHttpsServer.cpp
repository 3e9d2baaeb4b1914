#include "support/LocalHttpsServer.h"

#include <httplib.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <stdexcept>

namespace harbelle::testing {

namespace {

EVP_PKEY* makeKey() {
    EVP_PKEY* key = nullptr;
    EVP_PKEY_CTX* context = EVP_PKEY_CTX_new_id(EVP_PKEY_EC, nullptr);
    EVP_PKEY_keygen_init(context);
    EVP_PKEY_CTX_set_ec_paramgen_curve_nid(context, NID_X9_62_prime256v1);
    EVP_PKEY_keygen(context, &key);
    EVP_PKEY_CTX_free(context);
    return key;
}

X509* makeCertificate(EVP_PKEY* key) {
    X509* certificate = X509_new();
    X509_set_version(certificate, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(certificate), 1);
    X509_gmtime_adj(X509_getm_notBefore(certificate), -3600);
    X509_gmtime_adj(X509_getm_notAfter(certificate), 24 * 3600);
    X509_set_pubkey(certificate, key);
    X509_NAME* name = X509_get_subject_name(certificate);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("localhost"), -1, -1, 0);
    X509_set_issuer_name(certificate, name);
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, certificate, certificate, nullptr, nullptr, 0);
    for (auto [nid, value] : {std::pair{NID_subject_alt_name, "DNS:localhost,IP:127.0.0.1"},
                              std::pair{NID_basic_constraints, "critical,CA:TRUE"}}) {
        X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
        X509_add_ext(certificate, extension, -1);
        X509_EXTENSION_free(extension);
    }
    X509_sign(certificate, key, EVP_sha256());
    return certificate;
}

}  // namespace

LocalHttpsServer::LocalHttpsServer() {
    EVP_PKEY* key = makeKey();
    X509* certificate = makeCertificate(key);
    caFile_ = dir_.filePath(QStringLiteral("ca.pem")).toStdString();
    if (FILE* file = std::fopen(caFile_.c_str(), "w")) {
        PEM_write_X509(file, certificate);
        std::fclose(file);
    }
    server_ = std::make_unique<httplib::SSLServer>(certificate, key);
    X509_free(certificate);
    EVP_PKEY_free(key);
    server_->set_tcp_nodelay(true);
}

LocalHttpsServer::~LocalHttpsServer() {
    server_->stop();
    if (thread_.joinable()) thread_.join();
}

void LocalHttpsServer::get(const std::string& pattern, Handler handler) { server_->Get(pattern, std::move(handler)); }

void LocalHttpsServer::start() {
    port_ = server_->bind_to_any_port("127.0.0.1");
    if (port_ <= 0) throw std::runtime_error("the local HTTPS server could not bind");
    thread_ = std::thread([this] { server_->listen_after_bind(); });
}

std::string LocalHttpsServer::url(const std::string& path) const {
    return "https://127.0.0.1:" + std::to_string(port_) + path;
}

std::string LocalHttpsServer::localhostURL(const std::string& path) const {
    return "https://localhost:" + std::to_string(port_) + path;
}

}  // namespace harbelle::testing
