// A card's signature file is outside input: any bytes give either a parsed
// signature or a reason, never a crash, a hang or an unbounded read. The same
// bytes go through the whole card check (read from a file, bounded) against a
// fixed key and file, which must agree with parsing and verifying in memory.
// Bytes that parse as a secret key sign that file, and the result verifies.
#include <cstdint>
#include <cstring>
#include <string>

#include "storage/signature.h"
#include "tests/fuzz/fuzz_util.h"

namespace {
const char PUB[] =
    "untrusted comment: minisign public key 8CDE29C7AB191B2E\n"
    "RWQuGxmrxynejBD7qyW/mfjERj/5SXccl+6JPXKigTuAlgPOatnJw5nY\n";
const char DATA[] = "hello\n";

const std::string &root() {
    static const std::string &r = [] () -> const std::string & {
        const std::string &d = fuzz_util::make_scratch_root("signature", {});
        fuzz_util::write_file(d + "/update.pub", PUB, strlen(PUB));
        fuzz_util::write_file(d + "/fw", DATA, strlen(DATA));
        return d;
    }();
    return r;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const char *text = reinterpret_cast<const char *>(data);
    const char *why = nullptr;
    sig_pubkey key;
    check(sig_parse_pubkey(PUB, strlen(PUB), &key, &why));

    sig_signature s;
    const bool parsed = sig_parse_signature(text, size, &s, &why);
    bool in_memory = false;
    if (parsed) {
        check(size <= SIG_FILE_MAX);
        check(s.trusted_len <= SIG_COMMENT_MAX && strlen(s.trusted) == s.trusted_len);
        check(sig_version(s) >= -1);
        in_memory = sig_verify_data(key, s, reinterpret_cast<const uint8_t *>(DATA), strlen(DATA), &why);
    } else {
        check(why != nullptr && why[0] != '\0');
    }

    const std::string &r = root();
    fuzz_util::write_file(r + "/fw.minisig", data, size);
    sig_signature from_file;
    const bool checked = sig_check_file(r + "/update.pub", r + "/fw", &from_file, &why);
    check(checked == in_memory);
    if (size > SIG_FILE_MAX) check(!checked && strcmp(why, "signature file too large") == 0);

    sig_pubkey other;
    if (sig_parse_pubkey(text, size, &other, &why)) check(size <= SIG_KEY_FILE_MAX);
    sig_seckey sk;
    if (sig_parse_seckey(text, size, &sk, &why)) {
        std::string sig;
        check(sig_sign_file(sk, r + "/fw", "version=1", &sig, &why));
        const std::string pub = sig_pubkey_text(sk);
        sig_pubkey own;
        sig_signature mine;
        check(sig_parse_pubkey(pub.data(), pub.size(), &own, &why));
        check(sig_parse_signature(sig.data(), sig.size(), &mine, &why));
        // A key whose secret half does not hold its public half cannot verify; no crash either way.
        (void)sig_verify_file(own, mine, r + "/fw", &why);
    }
    return 0;
}
