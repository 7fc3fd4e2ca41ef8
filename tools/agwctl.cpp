// agwctl: configure, inspect and test an alarm gateway from a site file,
// through a configuration image for the SD card or live over Modbus RTU.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sodium.h>

#include <cerrno>
#include <ctime>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "journal/journal.h"
#include "journal/window.h"
#include "modbus/config.h"
#include "modbus/regmap.h"
#include "msg/ucs2.h"
#include "storage/signature.h"
#include "tools/site.h"

using namespace layout;

namespace {
constexpr int WRITE_MAX = 123;  // function 16
constexpr int READ_MAX = 125;   // functions 3 and 4

const char *USAGE =
    "usage: agwctl COMMAND ...\n"
    "  image SITE.toml -o CONFIG.ini [--sign SECRET.key]\n"
    "                                    write the configuration image for the card's update/config.ini\n"
    "                                    (and its signature CONFIG.ini.minisig)\n"
    "  sign FILE --key SECRET.key [--version N]\n"
    "                                    write FILE.minisig for a gateway that holds the public key\n"
    "  show CONFIG.ini | --port DEV [--all]\n"
    "                                    print the site file of an image or of a live gateway\n"
    "                                    (what differs from the factory defaults; --all: everything)\n"
    "  push SITE.toml --port DEV [--save]  write the settings live, read them back; --save saves them\n"
    "  status --port DEV [--watch]       modem, SD card, voice files, queue, supervision and received SMS\n"
    "  alarm --port DEV N on|off         raise or clear alarm N (0..127)\n"
    "  sms --port DEV NUMBER TEXT        send the dynamic SMS and follow it (exit 0 done, 1 failed)\n"
    "  ack --port DEV N|all              acknowledge alarm N (0..127) or every alarm\n"
    "  log FILE.db | --port DEV [--since TIME] [--alarm N] [--csv]\n"
    "                                    the event journal: what happened, to whom, when\n"
    "line options: --slave N (1) --baud B (115200) --parity N|E|O (N) --stop 1|2 (1)\n"
    "exit status: 0 done, 1 bad input or failed, 2 no or bad answer from the gateway\n"
    "agwctl COMMAND --help prints the help of one command.\n";

struct Opts {
    std::vector<std::string> args;
    std::string port, out, key, version;
    int slave = 1, baud = 115200, stop = 1;
    char parity = 'N';
    bool all = false, save = false, watch = false, help = false, csv = false;
    std::string since;
    int alarm = -1;
};

int fail(const std::string &m) {
    fprintf(stderr, "agwctl: %s\n", m.c_str());
    return 1;
}

bool read_file(const std::string &path, std::string &out) {
    std::ifstream f(path, std::ios::binary);
    if (!f) return false;
    std::ostringstream s;
    s << f.rdbuf();
    out = s.str();
    return true;
}

// A scratch register map the daemon's map and image code work on.
void fresh_map() {
    data_mapping.store(modbus_mapping_new(COILS, DISCRETE, HOLDING, INPUT));
    config_fill_defaults();
}

bool parse_site_file(const std::string &path, Site &s) {
    std::string text;
    if (!read_file(path, text)) return fail(path + ": " + strerror(errno)), false;
    std::string err = site_parse(text, path, s);
    if (!err.empty()) return fail(err), false;
    return true;
}

// Written beside the target and renamed over it once complete on disk.
int write_atomically(const std::string &path, const uint8_t *data, size_t n) {
    std::string tmp = path + ".tmp";
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return fail(tmp + ": " + strerror(errno));
    size_t done = 0;
    while (done < n) {
        ssize_t w = write(fd, data + done, n - done);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) break;
        done += static_cast<size_t>(w);
    }
    bool ok = done == n && fsync(fd) == 0;
    ok = close(fd) == 0 && ok;
    if (!ok || rename(tmp.c_str(), path.c_str()) != 0) {
        int e = errno;
        unlink(tmp.c_str());
        return fail(path + ": " + strerror(e));
    }
    return 0;
}

// ---- the live line ----
struct Line {
    modbus_t *ctx = nullptr;
    ~Line() {
        if (ctx) { modbus_close(ctx); modbus_free(ctx); }
    }
};
int g_requests = 0;
long g_wire_bytes = 0;  // RTU bytes on the line, both ways, CRC included

// RTU frame sizes: address + function + ... + CRC.
void count_read(int n) { g_wire_bytes += 8 + 5 + 2 * n; }
void count_write(int n) { g_wire_bytes += 9 + 2 * n + 8; }

int link_error(const std::string &what) {
    int e = errno;
    fprintf(stderr, "agwctl: %s: %s%s\n", what.c_str(), e > MODBUS_ENOBASE ? "exception reply: " : "",
            modbus_strerror(e));
    return 2;
}

int open_line(const Opts &o, Line &l) {
    if (o.port.empty()) return fail("--port DEV is needed");
    l.ctx = modbus_new_rtu(o.port.c_str(), o.baud, o.parity, 8, o.stop);
    if (!l.ctx) return fail("bad line settings");
    modbus_set_slave(l.ctx, o.slave);
    modbus_set_response_timeout(l.ctx, 2, 0);
    if (modbus_connect(l.ctx) != 0) return link_error(o.port);
    return 0;
}

std::string span(const char *table, int a, int n) {
    return std::string(table) + " " + std::to_string(a) + (n > 1 ? ".." + std::to_string(a + n - 1) : "");
}

int read_hr(Line &l, int a, int n, uint16_t *out) {
    for (int k = 0; k < n; k += READ_MAX) {
        int c = std::min(READ_MAX, n - k);
        g_requests++;
        count_read(c);
        if (modbus_read_registers(l.ctx, a + k, c, out + k) != c) return link_error("reading " + span("holding registers", a + k, c));
    }
    return 0;
}
int read_ir(Line &l, int a, int n, uint16_t *out) {
    for (int k = 0; k < n; k += READ_MAX) {
        int c = std::min(READ_MAX, n - k);
        g_requests++;
        if (modbus_read_input_registers(l.ctx, a + k, c, out + k) != c) return link_error("reading " + span("input registers", a + k, c));
    }
    return 0;
}

void progress(int done, int total) {
    if (!isatty(2)) return;
    int w = 40, f = total ? done * w / total : w;
    fprintf(stderr, "\r[%.*s%*s] %d/%d", f, "########################################", w - f, "", done, total);
    if (done == total) fputc('\n', stderr);
}

// The live settings: the covered ranges read into a scratch map.
int read_site(Line &l, Site &s) {
    fresh_map();
    std::vector<uint16_t> buf;
    for (auto r : site_ranges()) {
        buf.resize(r.count);
        if (int rc = read_hr(l, r.first, r.count, buf.data())) return rc;
        for (int i = 0; i < r.count; i++) hr_set(r.first + i, buf[i]);
    }
    s = site_from_map();
    return 0;
}

// Writes FILE.minisig with an unencrypted minisign secret key (minisign -G -W).
// The trusted comment names the file and, for a firmware, its version; the
// signature is checked against the key's own public half before it is written.
int sign_file(const std::string &path, const std::string &key_path, const std::string &version) {
    if (!version.empty() && (version.size() > 18 || version.find_first_not_of("0123456789") != std::string::npos))
        return fail("--version must be a whole number (at most 18 digits)");
    std::string text;
    const char *why = nullptr;
    if (!sig_read_bounded(key_path, SIG_KEY_FILE_MAX, &text, &why))
        return fail(key_path + ": cannot be read (" + why + ")");
    sig_seckey key;
    bool ok = sig_parse_seckey(text.data(), text.size(), &key, &why);
    sodium_memzero(text.data(), text.size());
    if (!ok) return fail(key_path + ": " + why);
    size_t slash = path.rfind('/');
    std::string trusted = "timestamp:" + std::to_string(time(nullptr)) + "\tfile:" +
                          (slash == std::string::npos ? path : path.substr(slash + 1));
    if (!version.empty()) trusted += "\tversion=" + version;
    std::string sig;
    ok = sig_sign_file(key, path, trusted, &sig, &why);
    const std::string pub = sig_pubkey_text(key);
    sodium_memzero(&key, sizeof key);
    if (!ok) return fail(path + ": " + why);
    sig_pubkey pk;
    sig_signature parsed;
    if (!sig_parse_pubkey(pub.data(), pub.size(), &pk, &why) ||
        !sig_parse_signature(sig.data(), sig.size(), &parsed, &why) || !sig_verify_file(pk, parsed, path, &why))
        return fail(path + ": the new signature does not verify: " + why);
    return write_atomically(path + ".minisig", reinterpret_cast<const uint8_t *>(sig.data()), sig.size());
}

// ---- commands ----
int cmd_image(const Opts &o) {
    if (o.args.size() != 1 || o.out.empty()) return fail("usage: agwctl image SITE.toml -o CONFIG.ini");
    Site s;
    if (!parse_site_file(o.args[0], s)) return 1;
    fresh_map();
    site_to_map(s);
    std::vector<uint8_t> img(CONFIG_SIZE);
    config_to_image(img.data());
    if (int rc = write_atomically(o.out, img.data(), img.size())) return rc;
    return o.key.empty() ? 0 : sign_file(o.out, o.key, o.version);
}

int cmd_sign(const Opts &o) {
    if (o.args.size() != 1 || o.key.empty()) return fail("usage: agwctl sign FILE --key SECRET.key [--version N]");
    return sign_file(o.args[0], o.key, o.version);
}

int cmd_show(const Opts &o) {
    Site s;
    if (!o.port.empty()) {
        Line l;
        if (int rc = open_line(o, l)) return rc;
        if (int rc = read_site(l, s)) return rc;
    } else {
        if (o.args.size() != 1) return fail("usage: agwctl show CONFIG.ini | --port DEV [--all]");
        std::string img;
        if (!read_file(o.args[0], img)) return fail(o.args[0] + ": " + strerror(errno));
        // Refused as the daemon would refuse it: never a site made up from another file.
        if (img.size() != CONFIG_SIZE)
            return fail(o.args[0] + ": " + std::to_string(img.size()) + " bytes, not " + std::to_string(CONFIG_SIZE) +
                        ": not a configuration image");
        if (!config_image_ok(reinterpret_cast<const uint8_t *>(img.data()), img.size()))
            return fail(o.args[0] + ": a discrete input or coil byte is neither 0 nor 1: not a configuration image");
        fresh_map();
        config_from_image(reinterpret_cast<const uint8_t *>(img.data()), img.size());
        s = site_from_map();
    }
    fputs(site_emit(s, o.all).c_str(), stdout);
    return 0;
}

int cmd_push(const Opts &o) {
    if (o.args.size() != 1) return fail("usage: agwctl push SITE.toml --port DEV [--save]");
    Site s;
    if (!parse_site_file(o.args[0], s)) return 1;
    fresh_map();
    site_to_map(s);
    Line l;
    if (int rc = open_line(o, l)) return rc;
    int total = 0;
    for (auto r : site_ranges()) total += (r.count + WRITE_MAX - 1) / WRITE_MAX;
    int done = 0;
    std::vector<uint16_t> want, got;
    for (auto r : site_ranges()) {
        want.resize(r.count);
        for (int i = 0; i < r.count; i++) want[i] = hr_get(r.first + i);
        for (int k = 0; k < r.count; k += WRITE_MAX) {
            int c = std::min(WRITE_MAX, r.count - k);
            g_requests++;
            count_write(c);
            if (modbus_write_registers(l.ctx, r.first + k, c, want.data() + k) != c)
                return fputc('\n', stderr), link_error("writing " + span("holding registers", r.first + k, c));
            progress(++done, total);
        }
    }
    for (auto r : site_ranges()) {
        got.resize(r.count);
        if (int rc = read_hr(l, r.first, r.count, got.data())) return rc;
        for (int i = 0; i < r.count; i++)
            if (got[i] != hr_get(r.first + i)) {
                fprintf(stderr, "agwctl: read-back of holding register %d: 0x%04X, written 0x%04X\n", r.first + i, got[i],
                        hr_get(r.first + i));
                return 2;
            }
    }
    if (o.save) {
        // A single write at the save address saves; it carries alarm 127's delay.
        g_requests++;
        if (modbus_write_register(l.ctx, CO_SAVE, hr_get(HR_EDGE_DELAY_127)) != 1) return link_error("save command (holding register 209)");
    }
    // A real line carries 10 bits per byte (8 data, start, stop; 11 with
    // parity or 2 stop bits) and a 3.5-character gap after each frame.
    int bits = (o.parity == 'N' ? 10 : 11) + (o.stop == 2 ? 1 : 0);
    double wire = (g_wire_bytes + 2 * 3.5 * g_requests) * bits / static_cast<double>(o.baud);
    fprintf(stderr, "agwctl: pushed and verified %s in %d requests%s; %ld bytes on the line, %.2f s at %d baud\n",
            o.args[0].c_str(), g_requests, o.save ? ", saved" : "", g_wire_bytes, wire, o.baud);
    return 0;
}

std::string pairs(const uint16_t *r, int n) {
    std::string s;
    for (int i = 0; i < n; i++)
        for (int c : {r[i] >> 8, r[i] & 0xFF})
            if (c) s += static_cast<char>(c);
    return s;
}

const char *status_name(int v) {
    switch (v / STATUS_SCALE) {
        case STATUS_QUEUED: return "queued";
        case STATUS_SENDING: return "sending";
        case STATUS_DONE: return "done";
        case STATUS_FAILED: return "failed";
        default: return "-";
    }
}

// Appended piece by piece: GCC 12 at -O3 takes "literal" + std::string&& for
// an overlapping copy (-Wrestrict).
std::string groups_text(uint16_t mask) {
    std::string o;
    for (int g = 0; g < GROUPS; g++)
        if (mask >> g & 1) {
            if (!o.empty()) o += ',';
            o += std::to_string(g);
        }
    std::string r = "groups ";
    r += o.empty() ? "none (journal only)" : o.c_str();
    return r;
}

// The self-supervision's settings and the cannot-deliver flag.
int print_supervision(Line &l, bool cannot) {
    uint16_t r[HR_SUP_UNIT - HR_SUP_FIRST + 1];
    if (int rc = read_hr(l, HR_SUP_FIRST, HR_SUP_UNIT - HR_SUP_FIRST + 1, r)) return rc;
    auto v = [&](int reg) { return r[reg - HR_SUP_FIRST]; };
    const char *unit = v(HR_SUP_UNIT) == 1 ? "s" : "min";
    printf("supervision heartbeat ");
    if (v(HR_SUP_HEARTBEAT_GROUPS) == 0 || v(HR_SUP_HEARTBEAT_TIME) >= SUP_MINUTES_PER_DAY)
        printf("off");
    else if (v(HR_SUP_HEARTBEAT_EVERY) == 0)
        printf("daily at %02d:%02d to %s", v(HR_SUP_HEARTBEAT_TIME) / 60, v(HR_SUP_HEARTBEAT_TIME) % 60,
               groups_text(v(HR_SUP_HEARTBEAT_GROUPS)).c_str());
    else
        printf("every %d %s from %02d:%02d to %s", v(HR_SUP_HEARTBEAT_EVERY), unit, v(HR_SUP_HEARTBEAT_TIME) / 60,
               v(HR_SUP_HEARTBEAT_TIME) % 60, groups_text(v(HR_SUP_HEARTBEAT_GROUPS)).c_str());
    printf("\n            silent master ");
    if (v(HR_SUP_SILENT_AFTER) == 0)
        printf("off");
    else
        printf("after %d %s, to %s", v(HR_SUP_SILENT_AFTER), unit, groups_text(v(HR_SUP_SILENT_GROUPS)).c_str());
    printf("\n            cannot deliver ");
    if (v(HR_SUP_OUTAGE_AFTER) == 0 && v(HR_SUP_FAILS_IN_ROW) == 0) {
        printf("off\n");
        return 0;
    }
    if (v(HR_SUP_OUTAGE_AFTER)) printf("after %d %s without network or SIM; ", v(HR_SUP_OUTAGE_AFTER), unit);
    if (v(HR_SUP_FAILS_IN_ROW)) printf("after %d failed SMS in a row; ", v(HR_SUP_FAILS_IN_ROW));
    printf("back: %s\n            NOW: %s\n", groups_text(v(HR_SUP_DELIVER_GROUPS)).c_str(),
           cannot ? "CANNOT DELIVER (discrete input 5)" : "delivery possible");
    return 0;
}

int status_once(Line &l) {
    uint16_t ir[IR_WAV_VALID + IR_WAV_N];
    uint8_t di[DISCRETE];
    if (int rc = read_ir(l, 0, IR_WAV_VALID + IR_WAV_N, ir)) return rc;
    g_requests++;
    if (modbus_read_input_bits(l.ctx, 0, DISCRETE, di) != DISCRETE) return link_error("reading discrete inputs 0..7");
    const uint16_t *id = ir + IR_IDENT;
    printf("gateway     firmware %d.%d, %d-%02d-%02d (%04X %04X %04X %04X %04X %04X)%s\n", id[0] >> 8, id[1] >> 8, id[2],
           id[3] >> 8, id[3] & 0xFF, id[0], id[1], id[2], id[3], id[4], id[5], di[DI_INIT_SWITCH] ? ", init switch: default line" : "");
    int creg = ir[IR_CREG];
    const char *reg = creg == 1 ? "registered, home" : creg == 5 ? "registered, roaming" : creg == 2 ? "searching"
                    : creg == 3 ? "denied" : "not registered";
    printf("modem       registration %d (%s), signal %d, network type %d\n", creg, reg, ir[IR_CSQ], ir[IR_NET_TYPE]);
    printf("            SIM and GPS are not published in the register map\n");
    printf("SD card     %s\n", di[DI_SD_CARD] ? "mounted" : "absent or unusable");
    std::string files;
    for (int n = 0; n < ALARMS; n++)
        for (bool off : {false, true})
            if (ir[IR_WAV_PRESENT + wav_word(n)] >> wav_bit(n, off) & 1) {
                bool ok = ir[IR_WAV_VALID + wav_word(n)] >> wav_bit(n, off) & 1;
                files += " DO" + std::to_string(n) + (off ? "_OFF" : "_ON") + (ok ? "" : "(invalid)");
            }
    printf("voice files%s\n", files.empty() ? " none" : files.c_str());
    printf("queue      ");
    for (int k = 0; k < IR_SLOTS; k++) printf(" %d:%s", k, status_name(ir[IR_SLOT_STATUS + k]));
    printf("\n            last slot %d, dynamic SMS %s%s\n", ir[IR_LAST_SLOT], status_name(ir[IR_DYNAMIC_STATUS]),
           di[DI_QUEUE_FULL] ? ", QUEUE FULL" : "");
    uint16_t ack[IR_ACK_UNACKED_COUNT + 1 - IR_ACK_ACTIVE];
    if (int rc = read_ir(l, IR_ACK_ACTIVE, IR_ACK_UNACKED_COUNT + 1 - IR_ACK_ACTIVE, ack)) return rc;
    auto air = [&](int reg) { return ack[reg - IR_ACK_ACTIVE]; };
    if (air(IR_ACK_UNACKED_COUNT) == 0) {
        printf("unacknowledged none\n");
    } else {
        uint16_t rounds[ALARMS];
        if (int rc = read_hr(l, HR_ACK_ROUND, ALARMS, rounds)) return rc;
        printf("unacknowledged");
        for (int n = 0; n < ALARMS; n++) {
            if (!(air(IR_ACK_UNACKED + enable_word(n)) >> enable_bit(n) & 1)) continue;
            bool active = air(IR_ACK_ACTIVE + enable_word(n)) >> enable_bit(n) & 1;
            bool failed = air(IR_ACK_FAILED + enable_word(n)) >> enable_bit(n) & 1;
            printf(" %d(%s%s%s)", n, active ? "" : "returned, ", active ? ("round " + std::to_string(rounds[n])).c_str() : "",
                   failed ? ", delivery failed" : "");
        }
        printf("%s\n", air(IR_ACK_EXHAUSTED) ? "; OUT OF ROUNDS" : "");
    }
    if (air(IR_ACK_COUNT) != 0) {
        int a = air(IR_ACK_LAST_ALARM), how = air(IR_ACK_LAST_HOW);
        printf("            last acknowledgement: %s by %s (%s)\n",
               a == ACK_ALL ? "all" : ("alarm " + std::to_string(a)).c_str(),
               pairs(ack + (IR_ACK_LAST_PHONE - IR_ACK_ACTIVE), IR_ACK_LAST_PHONE_N).c_str(),
               how == ACK_HOW_SMS ? "SMS" : how == ACK_HOW_KEY ? "key" : "master");
    }
    if (int rc = print_supervision(l, di[DI_CANNOT_DELIVER] != 0)) return rc;
    if (!di[DI_RX_SMS]) {
        printf("received    none\n");
        return 0;
    }
    const uint16_t *t = ir + IR_RX_TIME;
    printf("received    from %s at %s%s/%s/%s %s:%s:%s\n", pairs(ir + IR_RX_SENDER, IR_RX_SENDER_N).c_str(),
           pairs(ir + IR_RX_CENTURY, 1).c_str(), pairs(t, 1).c_str(), pairs(t + 1, 1).c_str(), pairs(t + 2, 1).c_str(),
           pairs(t + 3, 1).c_str(), pairs(t + 4, 1).c_str(), pairs(t + 5, 1).c_str());
    std::string text;
    if (ir[IR_RX_CODING] == 1) {
        std::u16string u;
        for (int i = 0; i < IR_RX_TEXT_N; i++) {
            uint16_t r = ir[IR_RX_TEXT + i];
            char16_t c = static_cast<char16_t>((r & 0xFF) << 8 | r >> 8);
            if (!c) break;
            u.push_back(c);
        }
        text = ucs2_to_utf8(u);
    } else {
        for (int i = 0; i < IR_RX_TEXT_N; i++)
            for (int c : {ir[IR_RX_TEXT + i] & 0xFF, ir[IR_RX_TEXT + i] >> 8}) {
                if (!c) goto done;
                text += c < 0x80 ? static_cast<char>(c) : '?';
            }
    done:;
    }
    printf("            \"%s\"\n", text.c_str());
    return 0;
}

int cmd_status(const Opts &o) {
    Line l;
    if (int rc = open_line(o, l)) return rc;
    for (;;) {
        if (o.watch) printf("\033[H\033[J");
        if (int rc = status_once(l)) return rc;
        if (!o.watch) return 0;
        fflush(stdout);
        sleep(2);
    }
}

int cmd_alarm(const Opts &o) {
    char *end = nullptr;
    long n = o.args.size() == 2 ? strtol(o.args[0].c_str(), &end, 10) : -1;
    if (o.args.size() != 2 || *end || n < 0 || n >= ALARMS || (o.args[1] != "on" && o.args[1] != "off"))
        return fail("usage: agwctl alarm --port DEV N on|off  (N = 0..127)");
    Line l;
    if (int rc = open_line(o, l)) return rc;
    if (modbus_write_bit(l.ctx, CO_ALARM + static_cast<int>(n), o.args[1] == "on") != 1)
        return link_error("writing " + span("coil", static_cast<int>(n), 1));
    return 0;
}

int cmd_ack(const Opts &o) {
    char *end = nullptr;
    bool all = o.args.size() == 1 && o.args[0] == "all";
    long n = o.args.size() == 1 && !all ? strtol(o.args[0].c_str(), &end, 10) : -1;
    if (!all && (o.args.size() != 1 || end == nullptr || *end || n < 0 || n >= ALARMS))
        return fail("usage: agwctl ack --port DEV N|all  (N = 0..127)");
    Line l;
    if (int rc = open_line(o, l)) return rc;
    uint16_t v = all ? ACK_ALL : static_cast<uint16_t>(n + 1);
    if (modbus_write_register(l.ctx, HR_ACK_COMMAND, v) != 1)
        return link_error("writing " + span("holding register", HR_ACK_COMMAND, 1));
    return 0;
}

int cmd_sms(const Opts &o) {
    if (o.args.size() != 2) return fail("usage: agwctl sms --port DEV NUMBER TEXT");
    if (!phone_valid(o.args[0])) return fail("\"" + o.args[0] + "\" is not a phone number ('+' optional, then digits, at most 19 characters)");
    std::u16string u;
    std::string why = utf8_to_ucs2(o.args[1], u);
    if (!why.empty()) return fail("text: " + why);
    if (u.size() > HR_DYN_TEXT_N) return fail("text needs " + std::to_string(u.size()) + " UCS-2 registers, 70 available");
    uint16_t regs[HR_DYN_TEXT_N + HR_DYN_PHONE_N] = {};
    for (size_t i = 0; i < u.size(); i++) regs[i] = static_cast<uint16_t>((u[i] & 0xFF) << 8 | u[i] >> 8);
    const std::string &num = o.args[0];
    for (size_t k = 0; k < num.size(); k++)
        regs[HR_DYN_TEXT_N + k / 2] |= static_cast<uint16_t>(static_cast<uint8_t>(num[k]) << (k % 2 ? 0 : 8));
    Line l;
    if (int rc = open_line(o, l)) return rc;
    if (modbus_write_registers(l.ctx, HR_DYN_TEXT, HR_DYN_TEXT_N + HR_DYN_PHONE_N, regs) != HR_DYN_TEXT_N + HR_DYN_PHONE_N)
        return link_error("writing " + span("holding registers", HR_DYN_TEXT, HR_DYN_TEXT_N + HR_DYN_PHONE_N));
    if (modbus_write_bit(l.ctx, CO_DYNAMIC_SMS, 1) != 1) return link_error("writing coil 128 (dynamic SMS)");
    // The status register shows the previous SMS until the gateway's next
    // report (every 3 s): a final status counts once the new one was seen
    // queued or sending, or after two report periods.
    bool fresh = false;
    for (int tick = 0; tick < 600; tick++) {
        usleep(500000);
        uint16_t st;
        uint8_t full;
        if (read_ir(l, IR_DYNAMIC_STATUS, 1, &st)) return 2;
        if (modbus_read_input_bits(l.ctx, DI_QUEUE_FULL, 1, &full) != 1) return link_error("reading discrete input 0");
        if (full && tick >= 8) return fail("the gateway's SMS queue is full: not sent");
        int s = st / STATUS_SCALE;
        if (s == STATUS_QUEUED || s == STATUS_SENDING) fresh = true;
        if ((fresh || tick >= 14) && (s == STATUS_DONE || s == STATUS_FAILED)) {
            printf("%s\n", s == STATUS_DONE ? "done" : "failed");
            return s == STATUS_DONE ? 0 : 1;
        }
    }
    fprintf(stderr, "agwctl: no final status in input register 17 after 300 s\n");
    return 2;
}

// "YYYY-MM-DD[ HH:MM[:SS]]" (UTC, as the journal keeps time) or "@SECONDS".
bool parse_time(const std::string &t, int64_t &out) {
    if (!t.empty() && t[0] == '@') {
        char *end = nullptr;
        long long v = strtoll(t.c_str() + 1, &end, 10);
        if (*end || v < 0) return false;
        out = v;
        return true;
    }
    for (const char *f : {"%Y-%m-%d %H:%M:%S", "%Y-%m-%d %H:%M", "%Y-%m-%dT%H:%M:%S", "%Y-%m-%dT%H:%M", "%Y-%m-%d"}) {
        struct tm tm {};
        const char *end = strptime(t.c_str(), f, &tm);
        if (end != nullptr && *end == 0) {
            out = timegm(&tm);
            return true;
        }
    }
    return false;
}

void print_record(const journal_record &r, void *arg) {
    char line[JOURNAL_TEXT_MAX + 256];
    journal_format(r, *static_cast<bool *>(arg), line, sizeof line);
    puts(line);
}

int cmd_log(const Opts &o) {
    int64_t since = 0;
    if (!o.since.empty() && !parse_time(o.since, since))
        return fail("--since " + o.since + ": use YYYY-MM-DD[ HH:MM[:SS]] (UTC) or @SECONDS");
    if (o.alarm < -1 || o.alarm >= ALARMS) return fail("--alarm must be 0 to 127");
    bool csv = o.csv;
    if (csv) puts("seq,time,kind,alarm,a,b,text");
    if (o.port.empty()) {
        if (o.args.size() != 1) return fail("usage: agwctl log FILE.db | --port DEV [--since TIME] [--alarm N] [--csv]");
        long n = journal_read_file(o.args[0].c_str(), 0, o.alarm, since, print_record, &csv);
        if (n < 0) return fail(o.args[0] + ": not a journal that can be read");
        return 0;
    }
    Line l;
    if (int rc = open_line(o, l)) return rc;
    auto ask = [&](uint64_t from) {
        uint16_t req[5] = {static_cast<uint16_t>(from >> 16), static_cast<uint16_t>(from),
                           static_cast<uint16_t>(o.alarm + 1), static_cast<uint16_t>(static_cast<uint64_t>(since) >> 16),
                           static_cast<uint16_t>(since)};
        g_requests++;
        count_write(5);
        return modbus_write_registers(l.ctx, HR_LOG_CURSOR, 5, req) == 5;
    };
    if (!ask(0)) return link_error("writing " + span("holding registers", HR_LOG_CURSOR, 5));
    static journal_record recs[16];
    uint64_t expect = 0;   // where the last window said to go on (0: the start)
    long total = 0;
    for (;;) {
        uint16_t win[IR_LOG_N];
        count_read(IR_LOG_N);
        if (read_ir(l, IR_LOG, IR_LOG_N, win)) return 2;
        uint64_t next = 0;
        int n = journal_window_unpack(win, recs, 16, &next);
        // A window skipped (a reply lost, the gateway moved on): ask again from
        // where the last one ended.
        if (n > 0 && expect != 0 && recs[0].seq != expect) {
            if (!ask(expect)) return link_error("writing " + span("holding registers", HR_LOG_CURSOR, 5));
            continue;
        }
        if (n == 0) break;
        for (int i = 0; i < n; i++) print_record(recs[i], &csv);
        total += n;
        expect = next;
    }
    fprintf(stderr, "agwctl: %ld events, %d requests, %ld bytes on the line\n", total, g_requests, g_wire_bytes);
    return 0;
}

const char *command_help(const std::string &c) {
    if (c == "image") return "agwctl image SITE.toml -o CONFIG.ini [--sign SECRET.key]\n  Writes the configuration image of the site file over the factory\n  defaults, atomically. Put it on the card as update/config.ini. With --sign it\n  also writes CONFIG.ini.minisig (see agwctl sign --help).\n";
    if (c == "sign") return "agwctl sign FILE --key SECRET.key [--version N]\n  Writes FILE.minisig, the detached signature a gateway holding the public key\n  (/APP/update.pub) needs to take FILE from the card. The key is an unencrypted\n  minisign secret key (minisign -G -W -p update.pub -s update.key); for an\n  encrypted one use minisign -S -s KEY -m FILE -t \"version=N\". A firmware needs\n  --version N: the gateway refuses a version lower than the installed one.\n";
    if (c == "show") return "agwctl show CONFIG.ini | --port DEV [line options] [--all]\n  Prints the site file of an image or of a live gateway: the settings that differ\n  from the factory defaults, or all of them with --all.\n";
    if (c == "push") return "agwctl push SITE.toml --port DEV [line options] [--save]\n  Writes the site (over the factory defaults) with write-multiple requests, reads\n  it back to verify and, with --save, saves it on the gateway. Address, line and\n  PIN take effect after a save and a reboot. Exit 2 names the register on a\n  time-out or exception reply.\n";
    if (c == "status") return "agwctl status --port DEV [line options] [--watch]\n  One screen of identification, modem, SD card, voice files, queue, the\n  self-supervision and the received SMS; --watch redraws it every 2 s.\n";
    if (c == "alarm") return "agwctl alarm --port DEV [line options] N on|off\n  Writes coil N (0..127) ON or OFF.\n";
    if (c == "ack") return "agwctl ack --port DEV [line options] N|all\n  Acknowledges alarm N (0..127), or every unacknowledged alarm: its repeats stop.\n";
    if (c == "sms") return "agwctl sms --port DEV [line options] NUMBER TEXT\n  Sends the dynamic SMS (up to 70 UCS-2 characters) and follows its status:\n  exit 0 done, 1 failed, 2 no answer.\n";
    if (c == "log") return "agwctl log FILE.db | --port DEV [line options] [--since TIME] [--alarm N] [--csv]\n  Prints the event journal: alarm changes, queued SMS and calls, each phone's\n  delivery, received SMS, configuration, card updates, modem events and\n  restarts. FILE.db is a journal copied from the gateway (/APP/journal.db);\n  --port reads it live through the log window. TIME is UTC: YYYY-MM-DD[ HH:MM[:SS]]\n  or @SECONDS. --alarm keeps one alarm's events; --csv for a spreadsheet.\n";
    return USAGE;
}
}  // namespace

int main(int argc, char **argv) {
    if (argc < 2 || !strcmp(argv[1], "--help") || !strcmp(argv[1], "-h")) {
        fputs(USAGE, argc < 2 ? stderr : stdout);
        return argc < 2 ? 1 : 0;
    }
    std::string cmd = argv[1];
    Opts o;
    for (int i = 2; i < argc; i++) {
        std::string a = argv[i];
        auto next = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
        if (a == "--help" || a == "-h") o.help = true;
        else if (a == "--port") o.port = next();
        else if (a == "-o") o.out = next();
        else if (a == "--key" || a == "--sign") o.key = next();
        else if (a == "--version") o.version = next();
        else if (a == "--slave") o.slave = atoi(next().c_str());
        else if (a == "--baud") o.baud = atoi(next().c_str());
        else if (a == "--parity") o.parity = next().c_str()[0];
        else if (a == "--stop") o.stop = atoi(next().c_str());
        else if (a == "--all") o.all = true;
        else if (a == "--save") o.save = true;
        else if (a == "--watch") o.watch = true;
        else if (a == "--csv") o.csv = true;
        else if (a == "--since") o.since = next();
        else if (a == "--alarm") {
            std::string v = next();
            char *end = nullptr;
            long n = strtol(v.c_str(), &end, 10);
            if (v.empty() || *end || n < 0 || n >= ALARMS) return fail("--alarm must be 0 to 127");
            o.alarm = static_cast<int>(n);
        }
        else if (a.size() > 1 && a[0] == '-' && !(a[1] >= '0' && a[1] <= '9')) return fail("unknown option " + a);
        else o.args.push_back(a);
    }
    if (o.help) return fputs(command_help(cmd), stdout), 0;
    if (o.slave < 1 || o.slave > 247) return fail("--slave must be 1 to 247");
    if (o.parity != 'N' && o.parity != 'E' && o.parity != 'O') return fail("--parity must be N, E or O");
    if (cmd == "image") return cmd_image(o);
    if (cmd == "sign") return cmd_sign(o);
    if (cmd == "show") return cmd_show(o);
    if (cmd == "push") return cmd_push(o);
    if (cmd == "status") return cmd_status(o);
    if (cmd == "alarm") return cmd_alarm(o);
    if (cmd == "sms") return cmd_sms(o);
    if (cmd == "ack") return cmd_ack(o);
    if (cmd == "log") return cmd_log(o);
    return fail("unknown command " + cmd + " (agwctl --help)");
}
