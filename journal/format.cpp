// Operator's lines for journal records: one place names every kind.
#include <cstdio>
#include <ctime>
#include <string>

#include "journal/journal.h"

namespace {
const char *end_name(int e) {
    switch (e) {
    case JEND_CLEAN: return "clean stop";
    case JEND_KILLED: return "killed";
    case JEND_CRASHED: return "crashed";
    default: return "first start";
    }
}
const char *source_name(int s) {
    switch (s) {
    case JSRC_COIL: return "coil";
    case JSRC_REGISTER: return "register";
    case JSRC_WRITE_MULTIPLE: return "write-multiple";
    case JSRC_EDGE: return "edge delay";
    case JSRC_REPEAT: return "repeat";
    default: return "?";
    }
}
const char *status_name(int s) {
    switch (s) {
    case 3: return "done";
    case 4: return "failed";
    case JEND_ENTRY_CLEARED: return "cleared by the master";
    default: return "?";
    }
}
const char *rx_name(int o) {
    switch (o) {
    case JRX_PUBLISHED: return "published";
    case JRX_FILTERED: return "filtered";
    case JRX_CONSUMED: return "consumed";
    default: return "undecodable";
    }
}
const char *modem_name(int m) {
    switch (m) {
    case JMODEM_REG_LOST: return "registration lost";
    case JMODEM_REG_BACK: return "registered again";
    case JMODEM_RADIO_RESTART: return "radio restart";
    case JMODEM_PIN_SENT: return "PIN sent";
    default: return "?";
    }
}

std::string details(const journal_record &r) {
    char b[160];
    const char *t = r.text;
    switch (r.kind) {
    case JK_START: snprintf(b, sizeof b, "start, previous run: %s; firmware %s", end_name(r.a), t); break;
    case JK_STOP: snprintf(b, sizeof b, "clean stop"); break;
    case JK_ALARM_CHANGE: snprintf(b, sizeof b, "%s (%s)", r.a ? "ON" : "OFF", source_name(r.b)); break;
    case JK_SMS_QUEUED: snprintf(b, sizeof b, "SMS queued, slot %d, %d phones: ", r.a, r.b); return b + std::string(t);
    case JK_VOICE_QUEUED: snprintf(b, sizeof b, "voice queued, slot %d, %d phones: ", r.a, r.b); return b + std::string(t);
    case JK_ATTEMPT:
        if (r.b == 0)
            snprintf(b, sizeof b, "phone %d delivered: ", r.a);
        else
            snprintf(b, sizeof b, "phone %d failed (%d): ", r.a, r.b);
        return b + std::string(t);
    case JK_ENTRY_END: snprintf(b, sizeof b, "entry %s, %d phones not reached", status_name(r.a), r.b); break;
    case JK_SMS_RECEIVED: snprintf(b, sizeof b, "SMS received, %s, coding %d: ", rx_name(r.a), r.b); return b + std::string(t);
    case JK_STATUS_REPORT: snprintf(b, sizeof b, "status report %d for reference %d: ", r.a, r.b); return b + std::string(t);
    case JK_CONFIG:
        snprintf(b, sizeof b, "configuration %s", r.a == 0 ? "saved" : r.a == 1 ? "recovered" : "reset to defaults");
        break;
    case JK_CARD_UPDATE:
        snprintf(b, sizeof b, "card update of the %s %s", r.a == 0 ? "firmware" : "configuration",
                 r.b == 0 ? "installed" : "refused: ");
        return b + std::string(r.b == 0 ? "" : t);
    case JK_MODEM: snprintf(b, sizeof b, "modem: %s ", modem_name(r.a)); return b + std::string(t);
    case JK_EXPIRED:
        if (r.a == JEXP_CHANGE)
            snprintf(b, sizeof b, "change to %s not yet queued, too old after the restart: not sent",
                     r.b ? "ON" : "OFF");
        else
            snprintf(b, sizeof b, "%s entry too old after the restart: not sent", r.a == 0 ? "SMS" : "voice");
        break;
    case JK_DELIVERY:
        snprintf(b, sizeof b, "phone %d %s: ", r.a,
                 r.b == 0 ? "delivery confirmed" : r.b == 1 ? "delivery failed" : "sent, not confirmed");
        return b + std::string(t);
    default: snprintf(b, sizeof b, "a=%d b=%d ", r.a, r.b); return b + std::string(t);
    }
    return b;
}
}  // namespace

const char *journal_kind_name(int kind) {
    static const char *const names[] = {"?", "start", "stop", "alarm", "sms-queued", "voice-queued", "attempt",
                                        "entry-end", "sms-received", "status-report", "config", "card-update",
                                        "modem", "ack", "repeat", "escalate", "ack-exhausted", "supervision",
                                        "expired", "delivery"};
    return kind > 0 && kind < static_cast<int>(sizeof names / sizeof names[0]) ? names[kind] : "?";
}

void journal_format(const journal_record &r, bool csv, char *out, size_t n) {
    time_t t = static_cast<time_t>(r.time);
    struct tm tm {};
    gmtime_r(&t, &tm);
    char when[32];
    strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", &tm);
    if (csv) {
        std::string q;
        for (const char *p = r.text; *p; p++) {
            if (*p == '"') q += '"';
            q += *p;
        }
        snprintf(out, n, "%llu,%s,%s,%d,%d,%d,\"%s\"", static_cast<unsigned long long>(r.seq), when,
                 journal_kind_name(r.kind), r.alarm, r.a, r.b, q.c_str());
        return;
    }
    char alarm[24] = "";
    if (r.alarm >= 0) snprintf(alarm, sizeof alarm, "alarm %d ", r.alarm);
    snprintf(out, n, "%8llu %s  %s%s", static_cast<unsigned long long>(r.seq), when, alarm, details(r).c_str());
}
