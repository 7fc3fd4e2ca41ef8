#include "storage/sdcard.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "journal/journal.h"
#include "storage/signature.h"
#include "sys/sys.h"

std::atomic<int32_t> if_sd_card{0};
int32_t if_config_exist = 0;
int32_t if_fw_exist = 0;
int32_t if_fw_update = 0;
int32_t if_fw_update_error = 0;

namespace {
constexpr int kLine = 128;   // 127 characters and the terminating zero

// Calls f for each line of a listing. A line longer than the buffer arrives in
// pieces; only the first piece starts a line, so a tail piece never names a file.
template <typename F>
bool each_listed(const std::string &cmd, F f) {
    SysPipe *p = sys_popen(cmd.c_str());
    if (p == nullptr) {
        puts("popen() error!");
        return false;
    }
    char line[kLine];
    bool line_start = true;
    while (sys_pipe_gets(p, line, sizeof line)) {
        size_t len = strlen(line);
        if (line_start) f(line);
        line_start = len > 0 && line[len - 1] == '\n';
    }
    sys_pclose(p);
    return true;
}
}  // namespace

bool listing_names(const char *line, const char *name) {
    if (line == nullptr || name == nullptr) return false;
    size_t n = strlen(name);
    return strncmp(line, name, n) == 0 && line[n] == '\n' && line[n + 1] == '\0';
}

void sd_card_init() {
    std::string cmd = "df -h " + sys_path("/media/card");
    SysPipe *p = sys_popen(cmd.c_str());
    if (p == nullptr) {
        puts("popen() error!");
        return;
    }
    // df names the mount point only when a card is mounted there. Long enough
    // for a whole df line under a long board root, so the mount path is never
    // cut between two reads.
    char line[512];
    while (sys_pipe_gets(p, line, sizeof line))
        if (strstr(line, "/media/card") != nullptr) if_sd_card = 1;
    sys_pclose(p);
}

namespace {
// An update that failed is recorded here with the card file's size and digest,
// so the same file is tried once and never again; a different file is tried.
std::string tried_path() { return sys_path("/APP/update.tried"); }

// Something that is no regular file (a directory, a FIFO) is recorded by its
// name alone, so it is not retried either.
bool card_digest(const std::string &path, uint64_t *size, uint64_t *digest) {
    if (!sys_file_digest(path, size, digest)) {
        if (access(path.c_str(), F_OK) != 0) return false;
        *size = ~0ull;
        *digest = 0;
    }
    // The signature beside it is part of the try: a file refused for its
    // signature is tried again once it comes with another one.
    uint64_t sig_size = 0, sig_digest = 0;
    if (sys_file_digest(path + ".minisig", &sig_size, &sig_digest))
        *digest = (*digest ^ sig_digest) * 1099511628211ull + sig_size;
    return true;
}

bool tried_before(const char *name, const std::string &card_file) {
    uint64_t size = 0, digest = 0;
    if (!card_digest(card_file, &size, &digest)) return false;
    FILE *f = fopen(tried_path().c_str(), "r");
    if (f == nullptr) return false;
    char line[kLine];
    bool hit = false;
    while (fgets(line, sizeof line, f) != nullptr) {
        char n[32];
        unsigned long long s = 0, d = 0;
        if (sscanf(line, "%31s %llu %llx", n, &s, &d) == 3 && strcmp(n, name) == 0 && s == size && d == digest)
            hit = true;
    }
    fclose(f);
    return hit;
}

// Keeps the other file's line and replaces this one's.
void record_tried(const char *name, const std::string &card_file) {
    uint64_t size = 0, digest = 0;
    if (!card_digest(card_file, &size, &digest)) return;
    std::string keep;
    if (FILE *f = fopen(tried_path().c_str(), "r")) {
        char line[kLine], n[32];
        while (fgets(line, sizeof line, f) != nullptr)
            if (sscanf(line, "%31s", n) == 1 && strcmp(n, name) != 0) keep += line;
        fclose(f);
    }
    char mine[kLine];
    snprintf(mine, sizeof mine, "%s %llu %llx\n", name, static_cast<unsigned long long>(size),
             static_cast<unsigned long long>(digest));
    keep += mine;
    const std::string tmp = tried_path() + ".tmp";
    FILE *f = fopen(tmp.c_str(), "w");
    if (f == nullptr) {
        puts("update record not written!!\r");
        return;
    }
    bool ok = fputs(keep.c_str(), f) >= 0 && fflush(f) == 0 && fsync(fileno(f)) == 0;
    ok = fclose(f) == 0 && ok;
    if (!ok || rename(tmp.c_str(), tried_path().c_str()) != 0) {
        unlink(tmp.c_str());
        puts("update record not written!!\r");
    }
}

void update_failed(const char *name, const std::string &card_file) {
    if_fw_update_error = 1;
    record_tried(name, card_file);
}

// With a public key on the board every card update must carry a good signature
// (card file + ".minisig"); without one the updates go in unsigned, as ever.
std::string public_key_path() { return sys_path("/APP/update.pub"); }
// The version of the installed firmware, from the trusted comment it was signed with.
std::string fw_version_path() { return sys_path("/APP/fw.version"); }

bool signing_required() {
    struct stat st;
    return lstat(public_key_path().c_str(), &st) == 0;
}

// Refuses a card file: nothing was touched; the card keeps it, tried once.
void refuse(const char *name, const std::string &card_file, const char *why) {
    const bool fw = strcmp(name, "fw") == 0;
    printf("%s not installed: %s%s!!\r\n", name, why, fw ? "" : ", the config is kept");
    journal_event(JK_CARD_UPDATE, -1, fw ? 0 : 1, 1, why);
    update_failed(name, card_file);
}

// The installed firmware's version; 0 when none was recorded (or it is unreadable).
int64_t installed_fw_version() {
    std::string text;
    const char *why = nullptr;
    if (!sig_read_bounded(fw_version_path(), 32, &text, &why)) return 0;
    int64_t v = 0;
    size_t digits = 0;
    for (char c : text) {
        if (c == '\n') break;
        if (c < '0' || c > '9' || ++digits > 18) return 0;
        v = v * 10 + (c - '0');
    }
    return v;
}

void record_fw_version(int64_t version) {
    const std::string path = fw_version_path();
    const std::string tmp = path + ".tmp";
    FILE *f = fopen(tmp.c_str(), "w");
    bool ok = f != nullptr && fprintf(f, "%lld\n", static_cast<long long>(version)) > 0 && fflush(f) == 0 &&
              fsync(fileno(f)) == 0;
    if (f != nullptr) ok = fclose(f) == 0 && ok;
    if (!ok || rename(tmp.c_str(), path.c_str()) != 0) {
        unlink(tmp.c_str());
        puts("fw version not recorded!!\r");
    }
}

// The checks before anything is copied, backed up or removed: the key, the
// signature file and, for the firmware, the version it names (*version, not
// below the installed one). The data itself is verified later, on the board's
// own copy of it (stage_verified).
bool signature_accepts(const char *name, const std::string &card_file, sig_pubkey *key, sig_signature *s,
                       int64_t *version) {
    *version = -1;
    const char *why = nullptr;
    if (!sig_load(public_key_path(), card_file + ".minisig", key, s, &why)) {
        refuse(name, card_file, why);
        return false;
    }
    if (strcmp(name, "fw") != 0) return true;
    *version = sig_version(*s);
    if (*version < 0) {
        refuse(name, card_file, "no version=N in the trusted comment");
        return false;
    }
    const int64_t installed = installed_fw_version();
    if (*version < installed) {
        char why_old[96];
        snprintf(why_old, sizeof why_old, "version %lld is older than the installed %lld",
                 static_cast<long long>(*version), static_cast<long long>(installed));
        refuse(name, card_file, why_old);
        return false;
    }
    return true;
}

std::string staged_path(const std::string &app_file) { return app_file + ".new"; }

// A signed card file is read from the card once, into a copy beside app_file;
// that copy is verified and later renamed into place, so the bytes installed
// are the bytes verified even when the card changes (or reads differently)
// afterwards. False (no copy left, the card file tried once) otherwise.
bool stage_verified(const char *name, const std::string &card_file, const std::string &app_file,
                    const sig_pubkey &key, const sig_signature &s) {
    const std::string staged = staged_path(app_file);
    sys_remove(staged);   // left by a start that was cut off
    if (!sys_copy_verified(card_file, staged)) {
        sys_remove(staged);
        const bool fw = strcmp(name, "fw") == 0;
        printf("%s install failed, %s!!\r\n", name, fw ? "the old fw is kept" : "the config is kept");
        update_failed(name, card_file);
        return false;
    }
    const char *why = nullptr;
    if (!sig_verify_file(key, s, staged, &why)) {
        sys_remove(staged);
        refuse(name, card_file, why);
        return false;
    }
    return true;
}

// Once the card file is gone its signature has served; a stale one would only
// confuse the next update. Without a key the card is left as it always was.
void remove_signature(const std::string &card_file) {
    const std::string sig = card_file + ".minisig";
    if (signing_required() && sys_is_regular(sig, nullptr)) sys_remove(sig);
}
}  // namespace

int32_t if_update_skipped = 0;

int check_if_config_update() {
    if_config_exist = 0;
    if (if_sd_card == 0) return 0;
    const std::string update = sys_path("/media/card/update");
    each_listed("ls " + update, [](const char *line) {
        if (listing_names(line, "config.ini")) {
            if_config_exist = 1;
            puts("Got the new config.ini!!\r");
        } else if (listing_names(line, "fw")) {
            if_fw_exist = 1;
            puts("Got the new fw!!\r");
        }
    });
    const std::string card_config = update + "/config.ini";
    const std::string card_fw = update + "/fw";
    if (if_fw_exist == 1 && tried_before("fw", card_fw)) {
        puts("fw update failed before, not tried again!!\r");
        if_fw_exist = 0;
        if_update_skipped = 1;
    }
    if (if_config_exist == 0) return 0;
    if (tried_before("config.ini", card_config)) {
        puts("config.ini update failed before, not tried again!!\r");
        if_config_exist = 0;
        if_update_skipped = 1;
        return 0;
    }
    const bool signed_update = signing_required();
    const std::string app_config = sys_path("/APP/config.ini");
    if (signed_update) {
        sig_pubkey key;
        sig_signature s;
        int64_t unused_version = -1;
        if (!signature_accepts("config.ini", card_config, &key, &s, &unused_version) ||
            !stage_verified("config.ini", card_config, app_config, key, s)) {
            if_config_exist = 0;
            return 0;
        }
    }
    // The installed configuration is replaced only once its backup on the card is complete.
    if (sys_is_regular(app_config, nullptr) && !sys_copy_verified(app_config, update + "/config.ini.bck")) {
        if (signed_update) sys_remove(staged_path(app_config));
        puts("config.ini backup failed, the config is kept!!\r");
        if_config_exist = 0;
        update_failed("config.ini", card_config);
        return 0;
    }
    // Signed: the verified copy takes the name; unsigned: copied, checked and renamed.
    const bool installed = signed_update ? sys_rename(staged_path(app_config), app_config)
                                         : sys_copy_verified(card_config, app_config);
    if (!installed) {
        if (signed_update) sys_remove(staged_path(app_config));
        puts("config.ini install failed, the config is kept!!\r");
        if_config_exist = 0;
        update_failed("config.ini", card_config);
        return 0;
    }
    journal_event(JK_CARD_UPDATE, -1, 1, 0, nullptr);
    sys_usleep(100000);
    if (!sys_remove(card_config)) {
        // Installed, but a card that cannot be written would re-apply it at every start.
        puts("config.ini still exist!!\r");
        record_tried("config.ini", card_config);
    } else {
        remove_signature(card_config);
    }
    return 1;
}

int check_if_fw_update() {
    if (if_sd_card == 0) return 0;
    const std::string update = sys_path("/media/card/update");
    const std::string card_fw = update + "/fw";
    const std::string app_fw = sys_path("/APP/fw");
    const std::string app_config = sys_path("/APP/config.ini");
    if_fw_update = 1;
    uint64_t size = 0;
    if (!sys_is_regular(card_fw, &size) || size == 0) {
        puts("fw is empty or not a file, not installed!!\r");
        update_failed("fw", card_fw);
        return 0;
    }
    int64_t version = -1;
    const bool signed_update = signing_required();
    if (signed_update) {
        sig_pubkey key;
        sig_signature s;
        if (!signature_accepts("fw", card_fw, &key, &s, &version) || !stage_verified("fw", card_fw, app_fw, key, s))
            return 0;
    }
    // The old firmware's backup comes first; without it nothing is replaced.
    if (sys_is_regular(app_fw, nullptr) && !sys_copy_verified(app_fw, update + "/fw.bck")) {
        if (signed_update) sys_remove(staged_path(app_fw));
        puts("fw backup failed, fw not installed!!\r");
        update_failed("fw", card_fw);
        return 0;
    }
    sys_usleep(10000);
    // Signed: the verified copy beside /APP/fw is renamed over it; unsigned: copied
    // beside it, checked and renamed. Never a partial firmware.
    const bool installed = signed_update ? sys_rename(staged_path(app_fw), app_fw) : sys_copy_verified(card_fw, app_fw);
    if (!installed) {
        if (signed_update) sys_remove(staged_path(app_fw));
        puts("fw install failed, the old fw is kept!!\r");
        update_failed("fw", card_fw);
        return 0;
    }
    journal_event(JK_CARD_UPDATE, -1, 0, 0, nullptr);
    if (version >= 0) record_fw_version(version);
    sys_usleep(10000);
    if (if_config_exist != 1 && sys_is_regular(app_config, nullptr)) {
        // The new firmware starts from the default configuration; the card keeps the
        // old one, and the installed one goes only once that copy is known complete.
        if (sys_copy_verified(app_config, update + "/config.ini.bck")) {
            sys_usleep(100000);
            sys_remove(app_config);
        } else {
            puts("config.ini backup failed, the config is kept!!\r");
            if_fw_update_error = 1;
        }
    }
    if (!sys_remove(card_fw)) {
        puts("fw still exist!!\r");
        update_failed("fw", card_fw);
    } else {
        remove_signature(card_fw);
    }
    return 0;
}
