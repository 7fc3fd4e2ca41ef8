// The minisign format: fixed vectors made by the minisign command (a prehashed
// and a legacy signature of "hello\n"), the parsers' refusals, versions, and
// signing a file here and verifying it streamed.
#include <gtest/gtest.h>

#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "storage/signature.h"
#include "tests/unit/test_files.h"

namespace fs = std::filesystem;

namespace {
using test_files::put;

const std::string PUB =
    "untrusted comment: minisign public key 8CDE29C7AB191B2E\n"
    "RWQuGxmrxynejBD7qyW/mfjERj/5SXccl+6JPXKigTuAlgPOatnJw5nY\n";
const std::string OTHER_PUB =
    "untrusted comment: minisign public key CA5504EAF1A37CA3\n"
    "RWSjfKPx6gRVylHPWJxepebfme0TRwOwzxg01UYpi6W2q/72do8W+hM3\n";
// minisign -S -s sec -m f -t "version=3"
const std::string SIG_ED =
    "untrusted comment: signature from minisign secret key\n"
    "RUQuGxmrxynejFKSxrU+8h4ZQCWS+CmqQrYpsxDIrcGAc6/0BoFj7AXXK7zcSAjy1yzNVZwmbGpG3uwe9hSt1VnjGQDfUx3DOwM=\n"
    "trusted comment: version=3\n"
    "JyjC+YeADw4NNJWHaQ3cnMGPBt7rTSCqqgnrw+rPoqr1eOdgNs7nAGhz6Q/OQJFUEJa4ZZgC18MdX4JFnfM3DA==\n";
// minisign -S -l -s sec -m f (legacy)
const std::string SIG_LEGACY =
    "untrusted comment: signature from minisign secret key\n"
    "RWQuGxmrxynejEepYoNafUoSbvbwwWpOE4jgsgrpzyM/r2/NJBXUi20mmNMJyeor/Bxf+Wk4mnndo/qeUV44L6RXCqKuwS6c9wo=\n"
    "trusted comment: timestamp:1796850301\tfile:f\n"
    "kpWZEFJL5Ng7YUEsUyX6ZWqKGNMuSgJYN/k/4WT9tp+MRR6Va2aIXBmocEKnhSj8X9ketlryTohNTH1L2YEeAw==\n";
// The unencrypted secret key of PUB (minisign -G -W): a test key, nothing else.
const std::string SEC =
    "untrusted comment: minisign encrypted secret key\n"
    "RWQAAEIyAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAALhsZq8cp3owFdOZjx1m1ltWwMYX1VWz80yBzya"
    "hqIylWeBhyZu/+6RD7qyW/mfjERj/5SXccl+6JPXKigTuAlgPOatnJw5nYAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=\n";
const std::string HELLO = "hello\n";

sig_pubkey pubkey(const std::string &text) {
    sig_pubkey k{};
    const char *why = nullptr;
    EXPECT_TRUE(sig_parse_pubkey(text.data(), text.size(), &k, &why)) << why;
    return k;
}

sig_signature signature(const std::string &text) {
    sig_signature s{};
    const char *why = nullptr;
    EXPECT_TRUE(sig_parse_signature(text.data(), text.size(), &s, &why)) << why;
    return s;
}

std::string verify(const sig_pubkey &k, const sig_signature &s, const std::string &data) {
    const char *why = nullptr;
    bool ok = sig_verify_data(k, s, reinterpret_cast<const uint8_t *>(data.data()), data.size(), &why);
    return ok ? "ok" : why;
}

TEST(Signature, MinisignVectorsVerify) {
    const sig_pubkey k = pubkey(PUB);
    const sig_signature ed = signature(SIG_ED);
    EXPECT_TRUE(ed.prehashed);
    EXPECT_STREQ(ed.trusted, "version=3");
    EXPECT_EQ(sig_version(ed), 3);
    EXPECT_EQ(verify(k, ed, HELLO), "ok");
    const sig_signature legacy = signature(SIG_LEGACY);
    EXPECT_FALSE(legacy.prehashed);
    EXPECT_EQ(sig_version(legacy), -1);
    EXPECT_EQ(verify(k, legacy, HELLO), "ok");
    // Carriage returns at the ends of the lines (a card written on another system).
    std::string crlf;
    for (char c : SIG_ED) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    EXPECT_EQ(verify(k, signature(crlf), HELLO), "ok");
}

TEST(Signature, ChangedDataCommentOrKeyIsRefused) {
    const sig_pubkey k = pubkey(PUB);
    for (const std::string *text : {&SIG_ED, &SIG_LEGACY}) {
        const sig_signature s = signature(*text);
        EXPECT_EQ(verify(k, s, "hello"), "file does not match its signature");
        EXPECT_EQ(verify(k, s, "hello\n\n"), "file does not match its signature");
        EXPECT_EQ(verify(k, s, ""), "file does not match its signature");
        EXPECT_EQ(verify(pubkey(OTHER_PUB), s, HELLO), "signed with another key");
        sig_signature bumped = s;
        bumped.trusted[bumped.trusted_len - 1] ^= 1;   // version=3 -> version=2
        EXPECT_EQ(verify(k, bumped, HELLO), "trusted comment does not match its signature");
        sig_signature flipped = s;
        flipped.sig[10] ^= 0x40;
        EXPECT_NE(verify(k, flipped, HELLO), "ok");
    }
    // The same key id with another key: the signatures do not hold.
    sig_pubkey forged = pubkey(OTHER_PUB);
    memcpy(forged.key_id, k.key_id, sizeof forged.key_id);
    EXPECT_EQ(verify(forged, signature(SIG_ED), HELLO), "trusted comment does not match its signature");
}

TEST(Signature, MalformedFilesAreRefusedWithAReason) {
    const std::string big(SIG_FILE_MAX + 1, 'A');
    std::string lines[4];
    size_t at = 0;
    for (std::string &l : lines) {
        size_t nl = SIG_ED.find('\n', at);
        l = SIG_ED.substr(at, nl - at);
        at = nl + 1;
    }
    auto join = [](std::initializer_list<std::string> ls) {
        std::string t;
        for (const std::string &l : ls) t += l + "\n";
        return t;
    };
    struct Case {
        std::string text;
        const char *why;
    };
    const Case cases[] = {
        {"", "malformed signature file"},
        {big, "signature file too large"},
        {join({lines[0], lines[1], lines[2]}), "malformed signature file"},
        {join({lines[1], lines[0], lines[2], lines[3]}), "malformed signature file"},
        {join({lines[0], lines[1], "comment: version=3", lines[3]}), "malformed signature file"},
        {join({lines[0], lines[1].substr(0, 40), lines[2], lines[3]}), "malformed signature file"},
        {join({lines[0], lines[1] + "AAAA", lines[2], lines[3]}), "malformed signature file"},
        {join({lines[0], "!" + lines[1].substr(1), lines[2], lines[3]}), "malformed signature file"},
        {join({lines[0], lines[1], lines[2], lines[3].substr(4)}), "malformed signature file"},
        {join({lines[0], lines[1], "trusted comment: " + std::string(SIG_COMMENT_MAX + 1, 'v'), lines[3]}),
         "trusted comment too long"},
        // "Ex" as the algorithm: RUQ -> RXg
        {join({lines[0], "RXg" + lines[1].substr(3), lines[2], lines[3]}), "unknown signature algorithm"},
        {join({lines[0], lines[1], std::string("trusted comment: v\0", 19), lines[3]}), "malformed signature file"},
    };
    for (const Case &c : cases) {
        sig_signature s;
        const char *why = nullptr;
        EXPECT_FALSE(sig_parse_signature(c.text.data(), c.text.size(), &s, &why)) << c.text;
        EXPECT_STREQ(why, c.why) << c.text;
    }
    sig_pubkey k;
    const char *why = nullptr;
    for (const std::string &bad : {std::string(""), std::string("untrusted comment: x\n"), lines[1] + "\n",
                                   PUB.substr(0, PUB.size() - 5), std::string(SIG_KEY_FILE_MAX + 1, 'R')})
        EXPECT_FALSE(sig_parse_pubkey(bad.data(), bad.size(), &k, &why)) << bad;
    // The bare key line is a key too.
    const std::string bare = PUB.substr(PUB.find('\n') + 1);
    EXPECT_TRUE(sig_parse_pubkey(bare.data(), bare.size(), &k, &why));
}

TEST(Signature, VersionIsAWordOfTheTrustedComment) {
    struct Case {
        const char *comment;
        int64_t version;
    };
    const Case cases[] = {
        {"version=3", 3},
        {"timestamp:1796850301\tfile:fw\tversion=12", 12},
        {"release version=0 of the site", 0},
        {"version=999999999999999999", 999999999999999999},
        {"version=1000000000000000000", -1},
        {"version=", -1},
        {"version=3a", -1},
        {"version=-3", -1},
        {"subversion=3", -1},
        {"timestamp:1 file:fw", -1},
        {"", -1},
    };
    for (const Case &c : cases) {
        sig_signature s{};
        snprintf(s.trusted, sizeof s.trusted, "%s", c.comment);
        s.trusted_len = strlen(s.trusted);
        EXPECT_EQ(sig_version(s), c.version) << c.comment;
    }
}

class SignedFile : public ::testing::Test {
protected:
    fs::path dir;
    void SetUp() override { dir = test_files::temp_root("sig"); }
    void TearDown() override { fs::remove_all(dir); }
};

// A key of the minisign command signs here; the signature of a file of
// several chunks verifies streamed, and a truncated file does not.
TEST_F(SignedFile, SignAndVerifyStreamed) {
    sig_seckey sk;
    const char *why = nullptr;
    ASSERT_TRUE(sig_parse_seckey(SEC.data(), SEC.size(), &sk, &why)) << why;
    EXPECT_EQ(sig_pubkey_text(sk), PUB);
    std::string data;
    for (int i = 0; i < 300000; i++) data += static_cast<char>((i * 131) >> 3);
    const std::string path = (dir / "fw").string();
    put(path, data);
    std::string text;
    ASSERT_TRUE(sig_sign_file(sk, path, "file:fw\tversion=4", &text, &why)) << why;
    const sig_signature s = signature(text);
    EXPECT_TRUE(s.prehashed);
    EXPECT_EQ(sig_version(s), 4);
    const sig_pubkey k = pubkey(PUB);
    EXPECT_TRUE(sig_verify_file(k, s, path, &why)) << why;
    EXPECT_EQ(verify(k, s, data), "ok");
    ASSERT_EQ(truncate(path.c_str(), 200000), 0);
    EXPECT_FALSE(sig_verify_file(k, s, path, &why));
    EXPECT_STREQ(why, "file does not match its signature");
    EXPECT_FALSE(sig_verify_file(k, s, (dir / "none").string(), &why));
    EXPECT_STREQ(why, "file cannot be read");
    // A comment of two lines would forge a signature file's layout.
    EXPECT_FALSE(sig_sign_file(sk, path, "version=4\ntrusted comment: version=9", &text, &why));

    // A legacy signature covers the whole file in memory: past the bound it is refused unread.
    const std::string big = (dir / "big").string();
    put(big, "");
    ASSERT_EQ(truncate(big.c_str(), static_cast<off_t>(SIG_LEGACY_MAX + 1)), 0);
    EXPECT_FALSE(sig_verify_file(k, signature(SIG_LEGACY), big, &why));
    EXPECT_STREQ(why, "legacy signature on a file over 16 MiB");
}

TEST_F(SignedFile, CheckOfACardFile) {
    const std::string pub = (dir / "update.pub").string();
    const std::string f = (dir / "config.ini").string();
    put(pub, PUB);
    put(f, HELLO);
    sig_signature s;
    const char *why = nullptr;
    EXPECT_FALSE(sig_check_file(pub, f, &s, &why));
    EXPECT_STREQ(why, "no signature");
    put(f + ".minisig", SIG_ED);
    EXPECT_TRUE(sig_check_file(pub, f, &s, &why)) << why;
    put(f + ".minisig", std::string(SIG_FILE_MAX + 1, '\n'));
    EXPECT_FALSE(sig_check_file(pub, f, &s, &why));
    EXPECT_STREQ(why, "signature file too large");
    fs::remove(f + ".minisig");
    ASSERT_EQ(mkfifo((f + ".minisig").c_str(), 0644), 0);   // never waited on
    EXPECT_FALSE(sig_check_file(pub, f, &s, &why));
    EXPECT_STREQ(why, "signature file cannot be read");
    fs::remove(f + ".minisig");
    put(f + ".minisig", SIG_ED);
    put(pub, "untrusted comment: nothing\n");
    EXPECT_FALSE(sig_check_file(pub, f, &s, &why));
    EXPECT_STREQ(why, "the board's public key is unusable");
}

TEST(SecretKey, OnlyTheUnencryptedFormIsTaken) {
    sig_seckey sk;
    const char *why = nullptr;
    std::string enc = SEC;
    enc.replace(enc.find("RWQAAE"), 6, "RWRTY0");   // kdf "Sc": scrypt-encrypted
    EXPECT_FALSE(sig_parse_seckey(enc.data(), enc.size(), &sk, &why));
    EXPECT_STREQ(why, "encrypted secret key (sign it with minisign -S)");
    std::string summed = SEC;
    summed[summed.size() - 4] = 'B';   // a checksum that is set and wrong
    EXPECT_FALSE(sig_parse_seckey(summed.data(), summed.size(), &sk, &why));
    EXPECT_STREQ(why, "secret key checksum wrong");
    EXPECT_FALSE(sig_parse_seckey(PUB.data(), PUB.size(), &sk, &why));
}
}  // namespace
