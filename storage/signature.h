// Detached signatures in the minisign format (Ed25519 through libsodium) for
// the card updates: parsing of public keys, signature files and unencrypted
// secret keys, verification of a file (streamed, bounded) and signing (agwctl).
// Every parser takes untrusted bytes of any size or content; a failure gives a
// short fixed reason in *why, never a crash.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

constexpr size_t SIG_FILE_MAX = 4096;       // a .minisig file; larger is refused unread
constexpr size_t SIG_KEY_FILE_MAX = 1024;   // a public key file
constexpr size_t SIG_COMMENT_MAX = 1024;    // the trusted comment, as minisign bounds it
// A legacy ("Ed") signature covers the whole file, which must then be in memory.
constexpr uint64_t SIG_LEGACY_MAX = 16u << 20;

struct sig_pubkey {
    uint8_t key_id[8];
    uint8_t pk[32];
};

struct sig_seckey {
    uint8_t key_id[8];
    uint8_t sk[64];   // seed followed by the public key
};

struct sig_signature {
    bool prehashed;              // "ED": the signature covers BLAKE2b-512 of the file
    uint8_t key_id[8];
    uint8_t sig[64];
    char trusted[SIG_COMMENT_MAX + 1];   // zero-terminated, no line break
    size_t trusted_len;
    uint8_t global_sig[64];      // over sig followed by the trusted comment
};

bool sig_parse_pubkey(const char *text, size_t n, sig_pubkey *out, const char **why);
bool sig_parse_signature(const char *text, size_t n, sig_signature *out, const char **why);
// Only the unencrypted form (minisign -G -W); an encrypted key is refused.
bool sig_parse_seckey(const char *text, size_t n, sig_seckey *out, const char **why);

// Checks key id, trusted comment and the data (in memory, or a regular file read in chunks).
bool sig_verify_data(const sig_pubkey &key, const sig_signature &s, const uint8_t *data, size_t n,
                     const char **why);
bool sig_verify_file(const sig_pubkey &key, const sig_signature &s, const std::string &path, const char **why);

// The N of "version=N" in the trusted comment (a word of its own); -1 when absent or malformed.
int64_t sig_version(const sig_signature &s);

// Reads a regular file of at most max bytes (never waits on a FIFO); false with a reason otherwise.
bool sig_read_bounded(const std::string &path, size_t max, std::string *out, const char **why);

// The checks that need no data, each file read once: the public key file, the
// signature file, its key id and trusted comment. The data is checked after,
// with sig_verify_file on the very copy that is going to be used.
bool sig_load(const std::string &pub_path, const std::string &sig_path, sig_pubkey *key, sig_signature *s,
              const char **why);
// The whole check of a file in place: sig_load of file + ".minisig", then the file.
bool sig_check_file(const std::string &pub_path, const std::string &file, sig_signature *s, const char **why);

// Signs a file (prehashed, as minisign does by default) and gives the text of its .minisig.
bool sig_sign_file(const sig_seckey &key, const std::string &path, const std::string &trusted, std::string *out,
                   const char **why);
// The public key file text of a secret key.
std::string sig_pubkey_text(const sig_seckey &key);
