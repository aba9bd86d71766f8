#include "Util/OpenSSLProxy.h"

#include <gtest/gtest.h>

#include <openssl/evp.h>
#include <openssl/pkcs12.h>
#include <openssl/rsa.h>
#include <openssl/x509v3.h>

#include <openssl/err.h>

#include <array>
#include <cstring>
#include <tuple>
#include <cstdio>
#include <string>

#include "Platform/Keychain/CryptoContext.h"
#include "Platform/Keychain/KeychainTestHome.h"
#include "Platform/Keychain/Pkcs12Import.h"
#include "Platform/Keychain/Subprocess.h"

namespace {

using testtools::LogCapture;
using keychain_test::StdoutCapture;

const std::string kName = "Pellix";
const std::string kPassphrase = "MockWord5826";

// One container made for the whole suite: RSA-2048 generation is the slow part.
class OpenSSLProxyTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        char pattern[] = "/tmp/pellix-proxy-test.XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = new std::string(pattern);
        StdoutCapture out(*dir_ + "/stdout");
        auto der = OpenSSLProxy::makeCertificate(kName, kPassphrase);
        stdout_ = new std::string(out.finish());
        ASSERT_TRUE(der.has_value());
        der_ = new std::vector<std::uint8_t>(*der);
    }
    static void TearDownTestSuite() {
        std::error_code ec;
        if (dir_) std::filesystem::remove_all(*dir_, ec);
        delete dir_;
        delete der_;
        delete stdout_;
        dir_ = nullptr;
        der_ = nullptr;
        stdout_ = nullptr;
    }

    static platform::Pkcs12Ptr parsed() {
        const unsigned char* p = der_->data();
        return platform::Pkcs12Ptr(d2i_PKCS12(nullptr, &p, static_cast<long>(der_->size())));
    }

    static std::shared_ptr<platform::Identity> imported() {
        std::vector<platform::Pkcs12ImportItem> items;
        EXPECT_EQ(platform::pkcs12Import(*der_, {kPassphrase}, items), platform::kKeychainSuccess);
        EXPECT_EQ(items.size(), 1u);
        return items.empty() ? nullptr : items.front().identity;
    }

    static inline std::string* dir_ = nullptr;
    static inline std::vector<std::uint8_t>* der_ = nullptr;
    static inline std::string* stdout_ = nullptr;
};

std::string entryText(X509_NAME* name, int index) {
    unsigned char* utf8 = nullptr;
    int len = ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, index)));
    std::string text(reinterpret_cast<char*>(utf8), static_cast<size_t>(len > 0 ? len : 0));
    OPENSSL_free(utf8);
    return text;
}

struct NameEntry {
    int nid;
    int type;
    std::string text;
};

std::vector<NameEntry> entries(X509_NAME* name) {
    std::vector<NameEntry> out;
    for (int i = 0; i < X509_NAME_entry_count(name); ++i) {
        X509_NAME_ENTRY* e = X509_NAME_get_entry(name, i);
        out.push_back({OBJ_obj2nid(X509_NAME_ENTRY_get_object(e)), ASN1_STRING_type(X509_NAME_ENTRY_get_data(e)),
                       entryText(name, i)});
    }
    return out;
}

TEST_F(OpenSSLProxyTest, CertificateCarriesTheFixedFields) {
    auto identity = imported();
    ASSERT_TRUE(identity);
    X509* cert = identity->certificate()->x509();

    EXPECT_EQ(X509_get_version(cert), 2);
    EXPECT_EQ(ASN1_INTEGER_get(X509_get0_serialNumber(cert)), 1);
    EXPECT_EQ(X509_get_signature_nid(cert), NID_sha256WithRSAEncryption);

    const std::vector<std::tuple<int, int, std::string>> expected{
        {NID_countryName, V_ASN1_PRINTABLESTRING, "NO"},
        {NID_organizationName, V_ASN1_UTF8STRING, "Pellix"},
        {NID_organizationalUnitName, V_ASN1_UTF8STRING, "Pellix"},
        {NID_commonName, V_ASN1_UTF8STRING, "Pellix"},
    };
    auto subject = entries(X509_get_subject_name(cert));
    ASSERT_EQ(subject.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(subject[i].nid, std::get<0>(expected[i]));
        EXPECT_EQ(subject[i].type, std::get<1>(expected[i]));
        EXPECT_EQ(subject[i].text, std::get<2>(expected[i]));
        // one entry per RDN
        EXPECT_EQ(X509_NAME_ENTRY_set(X509_NAME_get_entry(X509_get_subject_name(cert), static_cast<int>(i))),
                  static_cast<int>(i));
    }
    EXPECT_EQ(X509_NAME_cmp(X509_get_subject_name(cert), X509_get_issuer_name(cert)), 0);

    int days = 0, seconds = 0;
    ASSERT_EQ(ASN1_TIME_diff(&days, &seconds, X509_get0_notBefore(cert), X509_get0_notAfter(cert)), 1);
    EXPECT_EQ(days, 3650);
    EXPECT_EQ(seconds, 0);
    EXPECT_EQ(ASN1_STRING_type(X509_get0_notAfter(cert)), V_ASN1_UTCTIME);  // before 2050
    int sinceNow = 0;
    ASSERT_EQ(ASN1_TIME_diff(&days, &sinceNow, nullptr, X509_get0_notBefore(cert)), 1);
    EXPECT_EQ(days, 0);
    EXPECT_LE(std::abs(sinceNow), 120);

    EVP_PKEY* key = X509_get0_pubkey(cert);
    EXPECT_EQ(EVP_PKEY_get_base_id(key), EVP_PKEY_RSA);
    EXPECT_EQ(EVP_PKEY_get_bits(key), 2048);
    BIGNUM* e = nullptr;
    ASSERT_EQ(EVP_PKEY_get_bn_param(key, "e", &e), 1);
    EXPECT_EQ(BN_get_word(e), 65537u);
    BN_free(e);
    EXPECT_EQ(X509_check_private_key(cert, identity->privateKey()->evpKey()), 1);
}

TEST_F(OpenSSLProxyTest, ExtensionsInOrderWithTheirCriticalFlags) {
    auto identity = imported();
    ASSERT_TRUE(identity);
    X509* cert = identity->certificate()->x509();
    const std::array<std::pair<int, int>, 4> expected{{
        {NID_ext_key_usage, 0},
        {NID_key_usage, 1},
        {NID_basic_constraints, 1},
        {NID_subject_alt_name, 0},
    }};
    ASSERT_EQ(X509_get_ext_count(cert), 4);  // no key identifiers
    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        X509_EXTENSION* ext = X509_get_ext(cert, i);
        EXPECT_EQ(OBJ_obj2nid(X509_EXTENSION_get_object(ext)), expected[static_cast<size_t>(i)].first);
        EXPECT_EQ(X509_EXTENSION_get_critical(ext), expected[static_cast<size_t>(i)].second);
    }
    EXPECT_EQ(X509_get_extended_key_usage(cert), static_cast<uint32_t>(XKU_SSL_CLIENT | XKU_SSL_SERVER));
    EXPECT_EQ(X509_get_key_usage(cert), static_cast<uint32_t>(KU_DIGITAL_SIGNATURE | KU_KEY_ENCIPHERMENT));
    EXPECT_EQ(X509_check_ca(cert), 0);

    auto* names = static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(cert, NID_subject_alt_name, nullptr, nullptr));
    ASSERT_NE(names, nullptr);
    ASSERT_EQ(sk_GENERAL_NAME_num(names), 2);
    const GENERAL_NAME* ip = sk_GENERAL_NAME_value(names, 0);
    ASSERT_EQ(ip->type, GEN_IPADD);
    ASSERT_EQ(ASN1_STRING_length(ip->d.iPAddress), 4);
    const unsigned char loopback[4] = {127, 0, 0, 1};
    EXPECT_EQ(std::memcmp(ASN1_STRING_get0_data(ip->d.iPAddress), loopback, 4), 0);
    const GENERAL_NAME* dns = sk_GENERAL_NAME_value(names, 1);
    ASSERT_EQ(dns->type, GEN_DNS);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(dns->d.dNSName))), "localhost");
    GENERAL_NAMES_free(names);
}

// The algorithms, iteration counts and salts of the container, read from its structure.
TEST_F(OpenSSLProxyTest, ContainerUsesTheClassicAlgorithms) {
    auto p12 = parsed();
    ASSERT_TRUE(p12);

    const ASN1_OCTET_STRING* macValue = nullptr;
    const X509_ALGOR* macAlg = nullptr;
    const ASN1_OCTET_STRING* macSalt = nullptr;
    const ASN1_INTEGER* macIter = nullptr;
    PKCS12_get0_mac(&macValue, &macAlg, &macSalt, &macIter, p12.get());
    ASSERT_NE(macAlg, nullptr);
    const ASN1_OBJECT* macObj = nullptr;
    X509_ALGOR_get0(&macObj, nullptr, nullptr, macAlg);
    EXPECT_EQ(OBJ_obj2nid(macObj), NID_sha1);
    EXPECT_EQ(ASN1_STRING_length(macSalt), 8);
    EXPECT_EQ(macIter ? ASN1_INTEGER_get(macIter) : 1, 1);

    STACK_OF(PKCS7)* safes = PKCS12_unpack_authsafes(p12.get());
    ASSERT_NE(safes, nullptr);
    ASSERT_EQ(sk_PKCS7_num(safes), 2);
    auto pbe = [](const X509_ALGOR* alg, int& nid, long& iter, int& saltLen) {
        const ASN1_OBJECT* obj = nullptr;
        const void* param = nullptr;
        int ptype = 0;
        X509_ALGOR_get0(&obj, &ptype, &param, alg);
        nid = OBJ_obj2nid(obj);
        auto* p = static_cast<PBEPARAM*>(ASN1_TYPE_unpack_sequence(ASN1_ITEM_rptr(PBEPARAM),
                                                                   static_cast<const ASN1_TYPE*>(alg->parameter)));
        ASSERT_NE(p, nullptr);
        iter = ASN1_INTEGER_get(p->iter);
        saltLen = ASN1_STRING_length(p->salt);
        PBEPARAM_free(p);
    };

    // First the certificate safe, encrypted as a whole.
    PKCS7* certSafe = sk_PKCS7_value(safes, 0);
    ASSERT_EQ(OBJ_obj2nid(certSafe->type), NID_pkcs7_encrypted);
    int nid = 0, saltLen = 0;
    long iter = 0;
    pbe(certSafe->d.encrypted->enc_data->algorithm, nid, iter, saltLen);
    EXPECT_EQ(nid, NID_pbe_WithSHA1And40BitRC2_CBC);
    EXPECT_EQ(iter, 2048);
    EXPECT_EQ(saltLen, 8);

    // Then the key safe: plain data holding a shrouded key bag.
    PKCS7* keySafe = sk_PKCS7_value(safes, 1);
    ASSERT_EQ(OBJ_obj2nid(keySafe->type), NID_pkcs7_data);
    STACK_OF(PKCS12_SAFEBAG)* bags = PKCS12_unpack_p7data(keySafe);
    ASSERT_EQ(sk_PKCS12_SAFEBAG_num(bags), 1);
    const PKCS12_SAFEBAG* keyBag = sk_PKCS12_SAFEBAG_value(bags, 0);
    ASSERT_EQ(PKCS12_SAFEBAG_get_nid(keyBag), NID_pkcs8ShroudedKeyBag);
    const X509_ALGOR* keyAlg = nullptr;
    X509_SIG_get0(PKCS12_SAFEBAG_get0_pkcs8(keyBag), &keyAlg, nullptr);
    pbe(keyAlg, nid, iter, saltLen);
    EXPECT_EQ(nid, NID_pbe_WithSHA1And3_Key_TripleDES_CBC);
    EXPECT_EQ(iter, 2048);
    EXPECT_EQ(saltLen, 8);
    sk_PKCS12_SAFEBAG_pop_free(bags, PKCS12_SAFEBAG_free);
    sk_PKCS7_pop_free(safes, PKCS7_free);
}

TEST_F(OpenSSLProxyTest, BagsShareFriendlyNameAndLocalKeyId) {
    auto p12 = parsed();
    ASSERT_TRUE(p12);
    STACK_OF(PKCS7)* safes = PKCS12_unpack_authsafes(p12.get());
    ASSERT_NE(safes, nullptr);
    std::vector<std::pair<std::string, std::string>> seen;  // friendly name, local key id
    for (int i = 0; i < sk_PKCS7_num(safes); ++i) {
        PKCS7* p7 = sk_PKCS7_value(safes, i);
        STACK_OF(PKCS12_SAFEBAG)* bags = OBJ_obj2nid(p7->type) == NID_pkcs7_data
            ? PKCS12_unpack_p7data(p7)
            : static_cast<STACK_OF(PKCS12_SAFEBAG)*>(PKCS12_item_decrypt_d2i_ex(
                  p7->d.encrypted->enc_data->algorithm, ASN1_ITEM_rptr(PKCS12_SAFEBAGS), kPassphrase.c_str(), -1,
                  p7->d.encrypted->enc_data->enc_data, 1, platform::CryptoContext::legacy(), nullptr));
        ASSERT_NE(bags, nullptr);
        for (int j = 0; j < sk_PKCS12_SAFEBAG_num(bags); ++j) {
            PKCS12_SAFEBAG* bag = sk_PKCS12_SAFEBAG_value(bags, j);
            char* fn = PKCS12_get_friendlyname(bag);
            const ASN1_TYPE* id = PKCS12_SAFEBAG_get0_attr(bag, NID_localKeyID);
            ASSERT_NE(fn, nullptr);
            ASSERT_NE(id, nullptr);
            seen.emplace_back(fn, std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(id->value.octet_string)),
                                              static_cast<size_t>(ASN1_STRING_length(id->value.octet_string))));
            OPENSSL_free(fn);
        }
        sk_PKCS12_SAFEBAG_pop_free(bags, PKCS12_SAFEBAG_free);
    }
    sk_PKCS7_pop_free(safes, PKCS7_free);

    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].first, "Pellix");
    EXPECT_EQ(seen[1].first, "Pellix");
    EXPECT_EQ(seen[0].second, seen[1].second);
    // the local key id is the SHA-1 of the certificate
    auto identity = imported();
    ASSERT_TRUE(identity);
    unsigned char sha1[20];
    unsigned int len = 0;
    X509_digest(identity->certificate()->x509(), EVP_sha1(), sha1, &len);
    EXPECT_EQ(seen[0].second, std::string(reinterpret_cast<char*>(sha1), len));
    EXPECT_EQ(identity->privateKey()->printName(), std::optional<std::string>("Pellix"));
}

TEST_F(OpenSSLProxyTest, OpenSslToolOpensTheContainer) {
    auto openssl = platform::Subprocess::findInPath("openssl");
    if (!openssl) GTEST_SKIP() << "openssl tool not installed";
    const std::string path = *dir_ + "/container.p12";
    {
        std::ofstream out(path, std::ios::binary);
        out.write(reinterpret_cast<const char*>(der_->data()), static_cast<std::streamsize>(der_->size()));
    }
    auto result = platform::Subprocess::run(
        {*openssl, "pkcs12", "-info", "-legacy", "-in", path, "-passin", "pass:" + kPassphrase, "-nokeys"});
    ASSERT_EQ(result.exitStatus, 0) << result.output;
    for (const char* line : {"MAC: sha1, Iteration 1", "MAC length: 20, salt length: 8",
                             "PKCS7 Encrypted data: pbeWithSHA1And40BitRC2-CBC, Iteration 2048",
                             "Shrouded Keybag: pbeWithSHA1And3-KeyTripleDES-CBC, Iteration 2048",
                             "friendlyName: Pellix", "subject=C = NO, O = Pellix, OU = Pellix, CN = Pellix"}) {
        EXPECT_NE(result.output.find(line), std::string::npos) << line << "\n" << result.output;
    }
    auto wrong = platform::Subprocess::run(
        {*openssl, "pkcs12", "-info", "-legacy", "-in", path, "-passin", "pass:wrong", "-nokeys"});
    EXPECT_NE(wrong.exitStatus, 0);
}

TEST_F(OpenSSLProxyTest, StandardOutputGetsTheCertificateOnly) {
    const std::string begin = "-----BEGIN CERTIFICATE-----";
    size_t first = stdout_->find(begin);
    ASSERT_NE(first, std::string::npos) << *stdout_;
    EXPECT_EQ(stdout_->find(begin, first + 1), std::string::npos);
    EXPECT_EQ(stdout_->find("PRIVATE KEY"), std::string::npos);
    auto identity = imported();
    ASSERT_TRUE(identity);
    EXPECT_EQ(*stdout_, identity->certificate()->pem());
}

TEST_F(OpenSSLProxyTest, WrongPassphraseDoesNotOpen) {
    std::vector<platform::Pkcs12ImportItem> items;
    EXPECT_EQ(platform::pkcs12Import(*der_, {std::string("MockWord5827")}, items), platform::kKeychainAuthFailed);
    EXPECT_EQ(platform::pkcs12Import(*der_, {std::nullopt}, items), platform::kKeychainAuthFailed);
    EXPECT_TRUE(items.empty());
}

// RC2 lives in the generator's own library context; the process's default one stays as it was.
TEST_F(OpenSSLProxyTest, DefaultLibraryContextKeepsItsProviders) {
    EVP_CIPHER* rc2 = EVP_CIPHER_fetch(nullptr, "RC2-40-CBC", nullptr);
    EXPECT_EQ(rc2, nullptr);
    EVP_CIPHER_free(rc2);
    ERR_clear_error();
}

TEST(OpenSSLProxyNames, SubjectEntriesFollowTheLibrarysLimits) {
    platform::EvpPkeyPtr key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
    ASSERT_TRUE(key);
    struct Case {
        std::string organisation;
        std::string common;
        std::vector<std::string> expected;  // texts of the subject entries, in order
    };
    const std::string max64(64, 'x');
    const std::string over64(65, 'x');
    const Case cases[] = {
        {"Org", "Name", {"NO", "Org", "Name", "Name"}},
        {"", "Name", {"NO", "Name", "Name"}},
        {over64, max64, {"NO", max64, max64}},
        {"Pellix\xF8", "x", {"NO", "Pellix\xC3\xB8", "x", "x"}},  // Latin-1 bytes become UTF-8
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.organisation + "/" + c.common);
        LogCapture log;
        auto cert = OpenSSLProxy::generate_x509(key.get(), c.organisation, c.common);
        ASSERT_TRUE(cert);
        std::vector<std::string> texts;
        for (const auto& e : entries(X509_get_subject_name(cert.get()))) texts.push_back(e.text);
        EXPECT_EQ(texts, c.expected);
        EXPECT_TRUE(log.lines().empty());
    }
}

TEST(OpenSSLProxyNames, NamesOutsideLatin1AreRefused) {
    LogCapture log;
    StdoutCapture out("/tmp/pellix-proxy-refused-" + std::to_string(::getpid()));
    EXPECT_FALSE(OpenSSLProxy::makeCertificate("Pellix\xE2\x82\xAC", "MockWord5826").has_value());
    EXPECT_FALSE(OpenSSLProxy::makeCertificate("Pellix", std::string("Mock\0Word", 9)).has_value());
    EXPECT_EQ(out.finish(), "");
    std::remove(("/tmp/pellix-proxy-refused-" + std::to_string(::getpid())).c_str());
}

TEST(OpenSSLProxyExtensions, UnbuildableTextAddsNothing) {
    platform::X509Ptr cert(X509_new());
    ASSERT_TRUE(cert);
    EXPECT_EQ(OpenSSLProxy::add_ext(cert.get(), NID_subject_alt_name, "bogus-entry"), 0);
    EXPECT_EQ(OpenSSLProxy::add_ext(cert.get(), NID_basic_constraints, "critical,CA:FALSE"), 1);
    ASSERT_EQ(X509_get_ext_count(cert.get()), 1);
    EXPECT_EQ(OBJ_obj2nid(X509_EXTENSION_get_object(X509_get_ext(cert.get(), 0))), NID_basic_constraints);
}

}  // namespace
