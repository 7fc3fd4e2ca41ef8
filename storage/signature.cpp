#include "storage/signature.h"

#include <sodium.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "sys/sys.h"

namespace {
constexpr char UNTRUSTED[] = "untrusted comment:";
constexpr char TRUSTED[] = "trusted comment: ";
constexpr size_t PUBKEY_BYTES = 2 + 8 + 32;
constexpr size_t SIG_BYTES = 2 + 8 + 64;
constexpr size_t SECKEY_BYTES = 2 + 2 + 2 + 32 + 8 + 8 + 8 + 64 + 32;

bool sodium_ready() { return sodium_init() >= 0; }

// Splits text into lines (a trailing carriage return dropped); at most max lines.
// A zero byte anywhere makes the text malformed: the comments are C strings elsewhere.
int split_lines(const char *text, size_t n, std::string *lines, int max) {
    if (memchr(text, '\0', n) != nullptr) return -1;
    int count = 0;
    size_t start = 0;
    while (start < n && count < max) {
        const char *nl = static_cast<const char *>(memchr(text + start, '\n', n - start));
        size_t end = nl ? static_cast<size_t>(nl - text) : n;
        size_t len = end - start;
        if (len > 0 && text[start + len - 1] == '\r') len--;
        lines[count++].assign(text + start, len);
        start = end + 1;
    }
    return count;
}

// Decodes standard base64 (with padding) into exactly want bytes.
bool decode_exact(const std::string &b64, uint8_t *out, size_t want) {
    if (b64.empty() || b64.size() > 4 * ((want + 2) / 3) + 4) return false;
    size_t got = 0;
    const char *end = nullptr;
    if (sodium_base642bin(out, want, b64.data(), b64.size(), nullptr, &got, &end, sodium_base64_VARIANT_ORIGINAL) != 0)
        return false;
    return got == want && end == b64.data() + b64.size();
}

std::string encode(const uint8_t *bin, size_t n) {
    std::string s(sodium_base64_ENCODED_LEN(n, sodium_base64_VARIANT_ORIGINAL), '\0');
    sodium_bin2base64(s.data(), s.size(), bin, n, sodium_base64_VARIANT_ORIGINAL);
    s.resize(strlen(s.c_str()));
    return s;
}

bool starts_with(const std::string &s, const char *p) { return s.compare(0, strlen(p), p) == 0; }

// Global signature: over the file signature followed by the trusted comment.
bool trusted_ok(const sig_pubkey &key, const sig_signature &s) {
    std::vector<uint8_t> m(sizeof s.sig + s.trusted_len);
    memcpy(m.data(), s.sig, sizeof s.sig);
    memcpy(m.data() + sizeof s.sig, s.trusted, s.trusted_len);
    return crypto_sign_verify_detached(s.global_sig, m.data(), m.size(), key.pk) == 0;
}

// The header checks common to data and file: key and trusted comment.
bool header_ok(const sig_pubkey &key, const sig_signature &s, const char **why) {
    if (!sodium_ready()) return *why = "no crypto library", false;
    if (memcmp(key.key_id, s.key_id, sizeof key.key_id) != 0) return *why = "signed with another key", false;
    if (s.trusted_len > SIG_COMMENT_MAX || !trusted_ok(key, s))
        return *why = "trusted comment does not match its signature", false;
    return true;
}

// Streams a regular file through BLAKE2b-512.
bool hash_chunk(void *h, const char *data, size_t n) {
    crypto_generichash_update(static_cast<crypto_generichash_state *>(h), reinterpret_cast<const uint8_t *>(data),
                              static_cast<unsigned long long>(n));
    return true;
}
bool hash_file(const std::string &path, uint8_t out[crypto_generichash_BYTES_MAX], const char **why) {
    crypto_generichash_state h;
    crypto_generichash_init(&h, nullptr, 0, crypto_generichash_BYTES_MAX);
    if (sys_read_chunks(path, UINT64_MAX, hash_chunk, &h) != SYS_READ_OK) return *why = "file cannot be read", false;
    crypto_generichash_final(&h, out, crypto_generichash_BYTES_MAX);
    return true;
}

bool append_chunk(void *out, const char *data, size_t n) {
    static_cast<std::string *>(out)->append(data, n);
    return true;
}
}  // namespace

bool sig_parse_pubkey(const char *text, size_t n, sig_pubkey *out, const char **why) {
    *why = "malformed public key";
    if (text == nullptr || n > SIG_KEY_FILE_MAX) return false;
    std::string lines[4];
    int count = split_lines(text, n, lines, 4);
    for (int i = 0; i < count; i++) {
        if (lines[i].empty() || starts_with(lines[i], UNTRUSTED)) continue;
        uint8_t bin[PUBKEY_BYTES];
        if (!decode_exact(lines[i], bin, sizeof bin)) return false;
        if (bin[0] != 'E' || bin[1] != 'd') return *why = "unknown key algorithm", false;
        memcpy(out->key_id, bin + 2, 8);
        memcpy(out->pk, bin + 10, 32);
        return true;
    }
    return false;
}

bool sig_parse_signature(const char *text, size_t n, sig_signature *out, const char **why) {
    *why = "malformed signature file";
    if (text == nullptr) return false;
    if (n > SIG_FILE_MAX) return *why = "signature file too large", false;
    std::string lines[4];
    if (split_lines(text, n, lines, 4) != 4) return false;
    if (!starts_with(lines[0], UNTRUSTED) || !starts_with(lines[2], TRUSTED)) return false;
    uint8_t bin[SIG_BYTES];
    if (!decode_exact(lines[1], bin, sizeof bin)) return false;
    if (bin[0] != 'E' || (bin[1] != 'd' && bin[1] != 'D')) return *why = "unknown signature algorithm", false;
    const std::string trusted = lines[2].substr(strlen(TRUSTED));
    if (trusted.size() > SIG_COMMENT_MAX) return *why = "trusted comment too long", false;
    if (!decode_exact(lines[3], out->global_sig, sizeof out->global_sig)) return false;
    out->prehashed = bin[1] == 'D';
    memcpy(out->key_id, bin + 2, 8);
    memcpy(out->sig, bin + 10, 64);
    memcpy(out->trusted, trusted.data(), trusted.size());
    out->trusted[trusted.size()] = '\0';
    out->trusted_len = trusted.size();
    return true;
}

bool sig_parse_seckey(const char *text, size_t n, sig_seckey *out, const char **why) {
    *why = "malformed secret key";
    if (text == nullptr || n > SIG_KEY_FILE_MAX) return false;
    std::string lines[2];
    if (split_lines(text, n, lines, 2) != 2 || !starts_with(lines[0], UNTRUSTED)) return false;
    std::vector<uint8_t> bin(SECKEY_BYTES);
    if (!decode_exact(lines[1], bin.data(), bin.size())) return false;
    if (bin[0] != 'E' || bin[1] != 'd' || bin[4] != 'B' || bin[5] != '2') return *why = "unknown key algorithm", false;
    if (bin[2] != 0 || bin[3] != 0) return *why = "encrypted secret key (sign it with minisign -S)", false;
    const uint8_t *key = bin.data() + 54;   // key id, secret key, checksum
    // minisign leaves the checksum of an unencrypted key zero; a set one must match.
    uint8_t sum[32], zero[32] = {};
    if (memcmp(key + 72, zero, sizeof zero) != 0) {
        if (!sodium_ready()) return *why = "no crypto library", false;
        crypto_generichash_state h;
        crypto_generichash_init(&h, nullptr, 0, sizeof sum);
        crypto_generichash_update(&h, bin.data(), 2);
        crypto_generichash_update(&h, key, 72);
        crypto_generichash_final(&h, sum, sizeof sum);
        if (memcmp(sum, key + 72, sizeof sum) != 0) return *why = "secret key checksum wrong", false;
    }
    memcpy(out->key_id, key, 8);
    memcpy(out->sk, key + 8, 64);
    sodium_memzero(bin.data(), bin.size());
    return true;
}

bool sig_verify_data(const sig_pubkey &key, const sig_signature &s, const uint8_t *data, size_t n,
                     const char **why) {
    if (!header_ok(key, s, why)) return false;
    int rc;
    if (s.prehashed) {
        uint8_t h[crypto_generichash_BYTES_MAX];
        crypto_generichash(h, sizeof h, data, n, nullptr, 0);
        rc = crypto_sign_verify_detached(s.sig, h, sizeof h, key.pk);
    } else {
        rc = crypto_sign_verify_detached(s.sig, data, n, key.pk);
    }
    if (rc != 0) return *why = "file does not match its signature", false;
    return true;
}

bool sig_verify_file(const sig_pubkey &key, const sig_signature &s, const std::string &path, const char **why) {
    if (!header_ok(key, s, why)) return false;
    if (s.prehashed) {
        uint8_t h[crypto_generichash_BYTES_MAX];
        if (!hash_file(path, h, why)) return false;
        if (crypto_sign_verify_detached(s.sig, h, sizeof h, key.pk) != 0)
            return *why = "file does not match its signature", false;
        return true;
    }
    std::string whole;
    if (!sig_read_bounded(path, SIG_LEGACY_MAX, &whole, why)) {
        if (strcmp(*why, "too large") == 0) *why = "legacy signature on a file over 16 MiB";
        else *why = "file cannot be read";
        return false;
    }
    return sig_verify_data(key, s, reinterpret_cast<const uint8_t *>(whole.data()), whole.size(), why);
}

int64_t sig_version(const sig_signature &s) {
    static const char KEY[] = "version=";
    const size_t klen = strlen(KEY);
    const char *t = s.trusted;
    size_t n = strnlen(t, sizeof s.trusted);
    for (size_t i = 0; i + klen <= n; i++) {
        if ((i > 0 && t[i - 1] != ' ' && t[i - 1] != '\t') || strncmp(t + i, KEY, klen) != 0) continue;
        int64_t v = 0;
        size_t j = i + klen, digits = 0;
        for (; j < n && t[j] >= '0' && t[j] <= '9'; j++, digits++) {
            if (digits == 18) return -1;   // bounded: never overflows
            v = v * 10 + (t[j] - '0');
        }
        if (digits == 0 || (j < n && t[j] != ' ' && t[j] != '\t')) return -1;
        return v;
    }
    return -1;
}

bool sig_read_bounded(const std::string &path, size_t max, std::string *out, const char **why) {
    out->clear();
    switch (sys_read_chunks(path, max, append_chunk, out)) {
    case SYS_READ_OK: return true;
    case SYS_READ_MISSING: return *why = "missing", false;
    case SYS_READ_TOO_LARGE: return *why = "too large", false;
    default: return *why = "not a readable file", false;
    }
}

bool sig_load(const std::string &pub_path, const std::string &sig_path, sig_pubkey *key, sig_signature *s,
              const char **why) {
    std::string text;
    if (!sig_read_bounded(pub_path, SIG_KEY_FILE_MAX, &text, why) ||
        !sig_parse_pubkey(text.data(), text.size(), key, why))
        return *why = "the board's public key is unusable", false;
    if (!sig_read_bounded(sig_path, SIG_FILE_MAX, &text, why)) {
        if (strcmp(*why, "missing") == 0) *why = "no signature";
        else if (strcmp(*why, "too large") == 0) *why = "signature file too large";
        else *why = "signature file cannot be read";
        return false;
    }
    if (!sig_parse_signature(text.data(), text.size(), s, why)) return false;
    return header_ok(*key, *s, why);
}

bool sig_check_file(const std::string &pub_path, const std::string &file, sig_signature *s, const char **why) {
    sig_pubkey key;
    return sig_load(pub_path, file + ".minisig", &key, s, why) && sig_verify_file(key, *s, file, why);
}

bool sig_sign_file(const sig_seckey &key, const std::string &path, const std::string &trusted, std::string *out,
                   const char **why) {
    if (!sodium_ready()) return *why = "no crypto library", false;
    if (trusted.size() > SIG_COMMENT_MAX || trusted.find_first_of("\r\n", 0) != std::string::npos ||
        trusted.find('\0') != std::string::npos)
        return *why = "trusted comment must be one line of at most 1024 bytes", false;
    uint8_t h[crypto_generichash_BYTES_MAX];
    if (!hash_file(path, h, why)) return false;
    uint8_t bin[SIG_BYTES];
    bin[0] = 'E';
    bin[1] = 'D';
    memcpy(bin + 2, key.key_id, 8);
    crypto_sign_detached(bin + 10, nullptr, h, sizeof h, key.sk);
    std::vector<uint8_t> m(64 + trusted.size());
    memcpy(m.data(), bin + 10, 64);
    memcpy(m.data() + 64, trusted.data(), trusted.size());
    uint8_t global[64];
    crypto_sign_detached(global, nullptr, m.data(), m.size(), key.sk);
    *out = "untrusted comment: signature from agwctl secret key\n" + encode(bin, sizeof bin) + "\n" + TRUSTED +
           trusted + "\n" + encode(global, sizeof global) + "\n";
    return true;
}

std::string sig_pubkey_text(const sig_seckey &key) {
    uint8_t bin[PUBKEY_BYTES];
    bin[0] = 'E';
    bin[1] = 'd';
    memcpy(bin + 2, key.key_id, 8);
    memcpy(bin + 10, key.sk + 32, 32);
    char id[17];
    for (int i = 0; i < 8; i++) snprintf(id + 2 * i, 3, "%02X", key.key_id[7 - i]);
    return std::string("untrusted comment: minisign public key ") + id + "\n" + encode(bin, sizeof bin) + "\n";
}
