#include "Platform/Keychain/Pkcs12Import.h"

#include <gtest/gtest.h>

#include <openssl/pkcs12.h>

#include "Platform/Keychain/KeychainTestHome.h"

namespace {

using keychain_test::makeIdentity;

std::vector<std::uint8_t> container(const platform::Identity& identity, const char* pass, const char* name,
                                    bool mac = true) {
    platform::Pkcs12Ptr p12(PKCS12_create(pass, name, identity.privateKey()->evpKey(), identity.certificate()->x509(),
                                          nullptr, NID_aes_256_cbc, NID_aes_256_cbc, 2048, mac ? 1 : -1, 0));
    EXPECT_TRUE(p12);
    unsigned char* der = nullptr;
    int len = i2d_PKCS12(p12.get(), &der);
    std::vector<std::uint8_t> out(der, der + len);
    OPENSSL_free(der);
    return out;
}

TEST(Pkcs12ImportTest, OpensWithTheRightPassphraseOnly) {
    auto identity = makeIdentity(keychain_test::kNoLabel, "c");
    struct Case {
        const char* title;
        const char* madeWith;
        const char* openedWith;  // nullptr: no passphrase
        bool mac;
        platform::OSStatus expected;
    };
    const Case cases[] = {
        {"right passphrase", "secret", "secret", true, platform::kKeychainSuccess},
        {"wrong passphrase", "secret", "Secret", true, platform::kKeychainAuthFailed},
        {"no passphrase given", "secret", nullptr, true, platform::kKeychainAuthFailed},
        {"wrong passphrase, no MAC", "secret", "other", false, platform::kKeychainAuthFailed},
        {"made and opened without one", nullptr, nullptr, true, platform::kKeychainSuccess},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.title);
        std::vector<platform::Pkcs12ImportItem> items;
        platform::Pkcs12ImportOptions options;
        if (c.openedWith) options.passphrase = std::string(c.openedWith);
        EXPECT_EQ(platform::pkcs12Import(container(*identity, c.madeWith, "Name", c.mac), options, items),
                  c.expected);
        if (c.expected != platform::kKeychainSuccess) {
            EXPECT_TRUE(items.empty());
            continue;
        }
        ASSERT_EQ(items.size(), 1u);
        EXPECT_EQ(items[0].identity->privateKey()->printName(), std::optional<std::string>("Name"));
        EXPECT_EQ(items[0].identity->certificate()->der(), identity->certificate()->der());
        ASSERT_EQ(items[0].trust->certificates().size(), 1u);
        EXPECT_EQ(items[0].trust->certificates()[0], items[0].identity->certificate());
    }
}

TEST(Pkcs12ImportTest, MalformedDataIsADecodeError) {
    auto good = container(*makeIdentity(keychain_test::kNoLabel), "p", "n");
    const std::vector<std::vector<std::uint8_t>> inputs{
        {},
        {0x30, 0x80},
        std::vector<std::uint8_t>(good.begin(), good.begin() + static_cast<long>(good.size() / 2)),
    };
    for (const auto& data : inputs) {
        SCOPED_TRACE(data.size());
        std::vector<platform::Pkcs12ImportItem> items;
        EXPECT_EQ(platform::pkcs12Import(data, {std::string("p")}, items), platform::kKeychainDecode);
        EXPECT_TRUE(items.empty());
    }
}

TEST(Pkcs12ImportTest, ContainerWithoutNameGivesKeyWithoutPrintName) {
    std::vector<platform::Pkcs12ImportItem> items;
    ASSERT_EQ(platform::pkcs12Import(container(*makeIdentity(keychain_test::kNoLabel), "p", nullptr), {std::string("p")}, items),
              platform::kKeychainSuccess);
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].identity->privateKey()->printName(), std::nullopt);
}

}  // namespace
