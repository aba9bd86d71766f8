#include "Platform/Keychain/Certificate.h"

#include <openssl/pem.h>

#include <climits>

namespace platform {

Certificate::Certificate(X509Ptr certificate) : x509_(std::move(certificate)) {}

std::shared_ptr<Certificate> Certificate::fromPem(const std::string& pem) {
    if (pem.size() > INT_MAX) return nullptr;
    BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    if (!bio) return nullptr;
    X509Ptr cert(PEM_read_bio_X509(bio.get(), nullptr, refusePassphrase, nullptr));
    if (!cert) return nullptr;
    return std::make_shared<Certificate>(std::move(cert));
}

std::vector<std::uint8_t> Certificate::der() const {
    unsigned char* out = nullptr;
    int len = i2d_X509(x509_.get(), &out);
    if (len <= 0) return {};
    std::vector<std::uint8_t> bytes(out, out + len);
    OPENSSL_free(out);
    return bytes;
}

std::string Certificate::pem() const {
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio_X509(bio.get(), x509_.get()) != 1) return {};
    char* data = nullptr;
    long len = BIO_get_mem_data(bio.get(), &data);
    return len > 0 ? std::string(data, static_cast<size_t>(len)) : std::string();
}

std::string Certificate::sha256Hex() const {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (X509_digest(x509_.get(), EVP_sha256(), md, &len) != 1) return {};
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(len * 2);
    for (unsigned int i = 0; i < len; ++i) {
        hex.push_back(digits[md[i] >> 4]);
        hex.push_back(digits[md[i] & 0x0f]);
    }
    return hex;
}

std::string Certificate::commonName() const {
    X509_NAME* subject = X509_get_subject_name(x509_.get());
    int index = subject ? X509_NAME_get_index_by_NID(subject, NID_commonName, -1) : -1;
    if (index < 0) return {};
    ASN1_STRING* value = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, index));
    unsigned char* utf8 = nullptr;
    int len = ASN1_STRING_to_UTF8(&utf8, value);
    if (len < 0) return {};
    std::string text(reinterpret_cast<char*>(utf8), static_cast<size_t>(len));
    OPENSSL_free(utf8);
    return text;
}

}  // namespace platform
