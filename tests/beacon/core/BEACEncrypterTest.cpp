#include "beacon/core/BEACEncrypter.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <set>
#include <thread>

#include "BeaconTestSupport.h"
#include "beacon/core/BEACKeychainUtil.h"
#include "platform/foundation/FileManager.h"
#include "platform/security/AES.h"

namespace {

class BEACEncrypterTest : public ::testing::Test {
  protected:
    beactest::CapturingLog log_;
    beactest::SandboxedSDK sdk_;
    beactest::ManualNow now_;

    std::optional<std::string> metadata() const {
        auto value = sdk_.defaults()->objectForKey("BCBeaconEncryptionKeyMetadata");
        return value && value->isString() ? std::optional<std::string>(*value->asString()) : std::nullopt;
    }
};

TEST_F(BEACEncrypterTest, FirstEncryptionUsesTheAlternateSlotAndRoundTrips) {
    BEACEncrypter encrypter;
    auto first = encrypter.encryptString("token-1");
    auto second = encrypter.encryptString("token-1");
    ASSERT_TRUE(first && second);
    EXPECT_NE(*first, *second);  // fresh IV
    EXPECT_EQ(encrypter.decryptString(*first), "token-1");
    EXPECT_EQ(encrypter.decryptString(*second), "token-1");
    EXPECT_EQ(metadata(), "kBCEncryptionKeyTagAlternate/" +
                              BEACUtility::dateToISO8601(now_.now().byAddingTimeInterval(31536000)));
    auto raw = plat::Data::fromBase64(*first);
    ASSERT_TRUE(raw);
    EXPECT_EQ(raw->toString().rfind("kBCEncryptionKeyTagAlternate/AES/CBC/PKCS7/32:", 0), 0u);
    EXPECT_TRUE(BEACKeychainUtil::stringForKey(kBEACEncryptionKeyTagAlternate));

    // A new instance (a relaunch) finds the key in the keychain file.
    BEACEncrypter relaunched;
    EXPECT_EQ(relaunched.decryptString(*first), "token-1");
    auto empty = encrypter.encryptString("");
    ASSERT_TRUE(empty);
    EXPECT_EQ(plat::Data::fromBase64(*empty)->length(),
              std::string("kBCEncryptionKeyTagAlternate/AES/CBC/PKCS7/32:").size() + 32);
    EXPECT_EQ(encrypter.decryptString(*empty), "");
}

TEST_F(BEACEncrypterTest, ExpiredMetadataSwitchesSlotsAndOldStringsStillDecrypt) {
    BEACEncrypter encrypter;
    auto before = *encrypter.encryptString("old");
    now_.advance(31536000 + 1);
    auto after = *encrypter.encryptString("new");
    EXPECT_EQ(metadata()->rfind("kBCEncryptionKeyTag/", 0), 0u);
    EXPECT_EQ(plat::Data::fromBase64(after)->toString().rfind("kBCEncryptionKeyTag/", 0), 0u);
    EXPECT_EQ(encrypter.decryptString(before), "old");
    EXPECT_EQ(encrypter.decryptString(after), "new");
    now_.advance(31536000 + 1);
    encrypter.encryptString("x");
    EXPECT_EQ(metadata()->rfind("kBCEncryptionKeyTagAlternate/", 0), 0u);
    EXPECT_EQ(BEACEncrypter().decryptString(before), "old");  // the alternate key was reused, not replaced

    // Metadata without a readable expiry counts as expired.
    sdk_.defaults()->setObject(plat::Value("kBCEncryptionKeyTag"), "BCBeaconEncryptionKeyMetadata");
    EXPECT_EQ(BEACEncrypter::getCurrentKeyTag(), kBEACEncryptionKeyTagAlternate);
}

TEST_F(BEACEncrypterTest, LegacyLayoutDecryptsWithTheOriginalKeyAndZeroIV) {
    BEACEncrypter encrypter;
    auto key = encrypter.getKeyWithKeyTag(kBEACEncryptionKeyTag);
    ASSERT_TRUE(key);
    auto cipher = plat::security::aes256CBCEncrypt(*key, plat::Data(std::vector<uint8_t>(16, 0)),
                                                   plat::Data::fromString("legacy token"));
    ASSERT_TRUE(cipher);
    EXPECT_EQ(BEACEncrypter().decryptString(cipher->base64EncodedString()), "legacy token");
}

struct BadInput {
    const char* name;
    plat::Data data;
};

TEST_F(BEACEncrypterTest, RefusesDamagedInputWithoutTouchingTheKeychain) {
    BEACEncrypter encrypter;
    auto good = *plat::Data::fromBase64(*encrypter.encryptString("secret"));
    std::string prefix = "kBCEncryptionKeyTagAlternate/AES/CBC/PKCS7/32:";
    std::vector<BadInput> inputs = {
        {"short IV", plat::Data::fromString(prefix + "0123456789")},
        {"IV but no cipher text", plat::Data::fromString(prefix + "0123456789abcdef")},
        {"partial block", plat::Data(good.bytes(), good.length() - 3)},
        {"unknown tag", plat::Data::fromString("bogusTag/AES/CBC/PKCS7/32:0123456789abcdef0123456789abcdef")},
        {"empty", plat::Data()},
    };
    for (const auto& input : inputs)
        EXPECT_FALSE(encrypter.decryptData(input.data)) << input.name;
    EXPECT_FALSE(BEACKeychainUtil::stringForKey("bogusTag"));
    EXPECT_FALSE(encrypter.getKeyWithKeyTag("bogusTag"));
    EXPECT_FALSE(encrypter.decryptString("not base64!"));
    EXPECT_EQ(log_.count("Conversion of encrypted string to NSData failed."), 1u);
}

TEST_F(BEACEncrypterTest, AnUnreadableKeychainNeverReplacesTheStoredKey) {
    BEACEncrypter encrypter;
    auto encrypted = *encrypter.encryptString("keep");
    auto stored = BEACKeychainUtil::stringForKey(kBEACEncryptionKeyTagAlternate);
    // A damaged keychain file: reads fail with errSecDecode, not "not found".
    auto path = (sdk_.dir() / "keychain" / "login.keychain").string();
    auto saved = *plat::FileManager::defaultManager().contentsAtPath(path);
    ASSERT_EQ(plat::FileManager::defaultManager().writeData(plat::Data::fromString("garbage"), path, true),
              nullptr);
    BEACEncrypter other;
    EXPECT_FALSE(other.decryptString(encrypted));
    EXPECT_FALSE(other.encryptString("x"));
    ASSERT_EQ(plat::FileManager::defaultManager().writeData(saved, path, true), nullptr);
    EXPECT_EQ(BEACKeychainUtil::stringForKey(kBEACEncryptionKeyTagAlternate), stored);
    EXPECT_EQ(BEACEncrypter().decryptString(encrypted), "keep");
}

TEST_F(BEACEncrypterTest, ConcurrentFirstUseMakesOneKey) {
    std::vector<std::thread> threads;
    std::vector<std::string> outputs(8);
    for (int i = 0; i < 8; ++i)
        threads.emplace_back([&, i] {
            outputs[static_cast<std::size_t>(i)] = BEACEncrypter().encryptString("t").value_or("");
        });
    for (auto& t : threads)
        t.join();
    BEACEncrypter reader;
    for (const auto& output : outputs)
        EXPECT_EQ(reader.decryptString(output), "t");
}

TEST_F(BEACEncrypterTest, KeychainUtilReplacesAndDeletes) {
    EXPECT_TRUE(BEACKeychainUtil::storeString("one", "k"));
    EXPECT_TRUE(BEACKeychainUtil::storeString("two", "k"));
    EXPECT_EQ(BEACKeychainUtil::stringForKey("k"), "two");
    plat::security::OSStatus status = 0;
    EXPECT_FALSE(BEACKeychainUtil::stringForKey("missing", &status));
    EXPECT_EQ(status, plat::security::errSecItemNotFound);
    EXPECT_EQ(BEACKeychainUtil::deleteStringForKey("k"), "two");
    EXPECT_FALSE(BEACKeychainUtil::deleteStringForKey("k"));
    EXPECT_TRUE(BEACKeychainUtil::storeString("x", "a"));
    EXPECT_TRUE(BEACKeychainUtil::clear());
    EXPECT_FALSE(BEACKeychainUtil::stringForKey("a"));
}

}  // namespace

namespace {

// Vectors are cut from a pooled draw of random bytes: no two calls, and no
// parent and forked child, may ever get the same one.
TEST(BEACEncrypterVectors, NeverRepeatAcrossCallsOrAForkedChild) {
    std::set<std::string> seen;
    for (int i = 0; i < 200; ++i) {  // several refills of the pool
        auto iv = BEACEncrypter::generateInitializationVector();
        ASSERT_TRUE(iv);
        ASSERT_EQ(iv->length(), plat::security::AESBlockLength);
        EXPECT_TRUE(seen.insert(iv->hexString()).second);
    }
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        auto iv = BEACEncrypter::generateInitializationVector();
        std::string hex = iv ? iv->hexString() : std::string();
        _exit(write(pipeFds[1], hex.data(), hex.size()) == static_cast<ssize_t>(hex.size()) ? 0 : 1);
    }
    close(pipeFds[1]);
    char buffer[64] = {};
    ssize_t n = read(pipeFds[0], buffer, sizeof buffer);
    close(pipeFds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    std::string fromChild(buffer, static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
    ASSERT_EQ(fromChild.size(), 2 * plat::security::AESBlockLength);
    auto next = BEACEncrypter::generateInitializationVector();
    ASSERT_TRUE(next);
    EXPECT_NE(fromChild, next->hexString());
    EXPECT_EQ(seen.count(fromChild), 0u);
}

}  // namespace
