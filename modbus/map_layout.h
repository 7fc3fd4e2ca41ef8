// The register map's layout: every table size, address, block size and
// formula, in one place for the daemon, agwctl and the Python side (the
// simulated board, tests, benches), which reads this file itself
// (sim/maplayout.py). Addresses are zero-based within their table. No code,
// no state: constants only, written in these forms so both readers agree:
//   constexpr <integer type> NAME = <expression>[, NAME2 = <expression>];
//   constexpr <integer type> NAME[N] = {<expression>, ...};
//   struct Rec { <type> field; ... };  constexpr Rec NAME[] = {{...}, ...};
//   constexpr <type> name(<params>) { return <expression>; }   (a formula)
//   static_assert(<expression>);
// Expressions use integer and character literals, earlier names, formulas,
// arithmetic, shifts, bit and logical operators, comparisons, ?: and
// static_cast. A new constant in these forms reaches Python without further
// work; tests/integration/test_layout.py checks the two readings agree.
#pragma once
#include <cstdint>

namespace layout {

// Table sizes of the libmodbus mapping.
constexpr int COILS = 256, DISCRETE = 8, INPUT = 256, HOLDING = 34400;
constexpr int ALARMS = 128, GROUPS = 16, PHONES_PER_GROUP = 16;

// Alarm values, as coil or register writes.
constexpr uint16_t ALARM_ON = 0xFF00, ALARM_OFF = 0x0000;

// Coils (commands act on single writes, function 5 or 6 alike).
constexpr int CO_ALARM = 0;            // 0..127: alarm trigger
constexpr int CO_DYNAMIC_SMS = 128;    // ON: queue the dynamic SMS
constexpr int CO_CLEAR_RX_SMS = 199;   // ON: clear the received SMS
constexpr int CO_CLEAR_QUEUE = 200;    // ON: empty the SMS queue
constexpr int CO_SAVE = 209;           // any single write: save the configuration

// Discrete inputs.
constexpr int DI_QUEUE_FULL = 0, DI_RX_SMS = 1, DI_SD_CARD = 2, DI_INIT_SWITCH = 3;
constexpr int DI_JOURNAL_FAULT = 4;    // 1: the event journal cannot be written
constexpr int DI_CANNOT_DELIVER = 5;  // self-supervision: SMS delivery impossible now

// Input registers.
// 0..15: status x 256 of a queued alarm SMS. The n-th alarm SMS queued since
// start-up takes record n % 16, so the last 16 can be followed.
constexpr int IR_SLOT_STATUS = 0;
constexpr int IR_SLOTS = 16;
constexpr int IR_LAST_SLOT = 16;       // queue slot of the SMS queued last
constexpr int IR_DYNAMIC_STATUS = 17;  // status x 256 of the last dynamic SMS
constexpr int IR_CSQ = 18;             // signal quality while registered
constexpr int IR_IDENT = 19, IR_IDENT_N = 6;
constexpr uint16_t IDENT[IR_IDENT_N] = {0x0101, 0x0700, 0x07E3, 0x0613, 0xC0A5, 0x0218};
constexpr int IR_JOURNAL_EXPIRED = 26; // queued entries and alarm changes found too old at start-up, not sent
constexpr int IR_CREG = 27, IR_NET_TYPE = 28;
// Received-SMS flags, set with the message and cleared with it: the text was
// cut to fit registers 48..127; parts of a long message never arrived (the
// parts that did are published after RX_PARTS_WAIT_S).
constexpr int IR_RX_FLAGS = 29;
constexpr uint16_t RX_FLAG_CUT = 0x0001, RX_FLAG_PARTS_MISSING = 0x0002;
constexpr int RX_PARTS_WAIT_S = 600;
constexpr int IR_RX_FIRST = 30, IR_RX_LAST = 127;   // cleared together (and IR_RX_FLAGS)
constexpr int IR_RX_SENDER = 30, IR_RX_SENDER_N = 10;
constexpr int IR_RX_CENTURY = 40;      // "20"
constexpr uint16_t RX_CENTURY = 0x3230;
constexpr int IR_RX_TIME = 41, IR_RX_TIME_N = 6;    // yy MM dd hh mm ss, ASCII pairs
constexpr int IR_RX_CODING = 47;       // 0 7-bit (and 8-bit data), 1 UCS-2
constexpr int IR_RX_TEXT = 48, IR_RX_TEXT_N = 80;   // byte 2k low, 2k+1 high
constexpr int IR_WAV_PRESENT = 128, IR_WAV_VALID = 144, IR_WAV_N = 16;
// Bit of alarm n in the voice-file words (word n / 8): ON file, OFF file.
constexpr int wav_word(int n) { return n / 8; }
constexpr int wav_bit(int n, bool off) { return 2 * (n % 8) + (off ? 1 : 0); }

// The journal's log window, input registers 200..255, filled from the
// request registers 513..517: the master writes a sequence number (and
// optionally an alarm and a start time) and then reads the window; every read
// of the window at 200 moves it on to the records after it.
//   200       number of records in the window (0: none from the cursor on)
//   201, 202  sequence number to ask for after these (high word, low word)
//   203..255  the records, one after the other, each:
//             +0 kind (high byte), alarm + 1 (low byte, 0 = none)
//             +1, +2 sequence number   +3, +4 wall-clock seconds (UTC)
//             +5 a   +6 b (signed)     +7 text byte count n
//             +8 .. text, two bytes a register, first in the high byte
// A text that does not fit is cut (the first record of a window keeps up to
// 90 bytes); the whole text is in the database file.
constexpr int IR_LOG = 200, IR_LOG_N = 56;
constexpr int IR_LOG_COUNT = 200, IR_LOG_NEXT = 201, IR_LOG_RECORDS = 203;
constexpr int LOG_RECORD_HEADER = 8;

// Event status, as kept in the rings (0 empty) and reported (x STATUS_SCALE).
constexpr int STATUS_QUEUED = 1, STATUS_SENDING = 2, STATUS_DONE = 3, STATUS_FAILED = 4;
constexpr int STATUS_SCALE = 256;

// Holding registers.
constexpr int HR_GROUP_MASK = 0;       // 0..127: bit g = phone group g
constexpr int HR_SMS_ENABLE = 128;     // 128..135: bit b of 128+j = alarm 16j+b
constexpr int HR_VOICE_ENABLE = 136;   // 136..143
constexpr int HR_ENABLE_N = 8;
constexpr int enable_word(int n) { return n / 16; }
constexpr int enable_bit(int n) { return n % 16; }
constexpr int HR_PIN = 180, HR_PIN_N = 2;            // four ASCII characters
constexpr int HR_SLAVE_ADDRESS = 199;
constexpr int HR_SERIAL = 200;         // high byte baud code, low byte framing code
constexpr uint16_t SERIAL_DEFAULT = 0x0A03;
constexpr int HR_VARIABLE_ON = 203;    // 1: append the variable text
constexpr int HR_EDGE_MODE = 208;      // 1: edge mode
constexpr int HR_EDGE_DELAY_127 = 209; // edge delay of alarm 127 (also the save address)
constexpr int HR_SENDER_FILTER = 254;  // non-zero: only configured senders
constexpr int HR_EDGE_DELAY = 256;     // 256..382: alarms 0..126
constexpr int edge_delay_reg(int n) { return n == ALARMS - 1 ? HR_EDGE_DELAY_127 : HR_EDGE_DELAY + n; }
constexpr int HR_VARIABLE_TEXT = 383, HR_VARIABLE_TEXT_N = 16;
constexpr int HR_DYN_TEXT = 399, HR_DYN_TEXT_N = 70;
constexpr int HR_DYN_PHONE = 469, HR_DYN_PHONE_N = 10;
constexpr int HR_PIN_CMD = 506;
constexpr int HR_RECOVERY_KEY = 508;
constexpr uint16_t RECOVERY_KEY[2] = {0x5A3C, 0xB7E1};
constexpr int HR_REBOOT_KEY = 510;
constexpr uint16_t REBOOT_KEY[2] = {0x6D29, 0xE48F};
// Delivery pace, in 1100..1149 (zero = off).
// 1: while more SMS wait to be sent, the modem is asked to keep the network's
// link open between them (AT+CMMS=1, 3GPP TS 27.005); 0 off.
constexpr int HR_SMS_MORE_TO_SEND = 1140;
// Delivery reports, holding registers 1100..1149 (all zero: off; alarm SMS
// then go out as they always did, without a report request).
//   1100       non-zero: alarm SMS ask the network for a delivery report
//   1101       how long a report is waited for, 0 = DLR_WAIT_DEFAULT_MIN minutes
//   1102       unit of 1101: 0 minutes, 1 seconds (commissioning and tests)
// Written by the daemon, not configuration: cleared at start (a saved image
// never carries them over) and rewritten every few seconds, so a master's
// write there does not last.
//   1120..1127 bitmaps as the enables: the alarm's latest SMS is confirmed
//              delivered by a report from every phone it went to (cleared
//              when the next SMS of that alarm is started)
//   1128       phones whose report said the message failed for good (wraps)
//   1129       phones sent to but not confirmed within the bound (wraps)
//   1130       phones whose report is awaited now
constexpr int HR_DLR_ON = 1100;
constexpr int HR_DLR_WAIT = 1101;
constexpr int HR_DLR_UNIT = 1102;
constexpr int DLR_WAIT_DEFAULT_MIN = 30;
constexpr int HR_DLR_STATUS_FIRST = 1120, HR_DLR_STATUS_N = 11;
constexpr int HR_DLR_DELIVERED = 1120;
constexpr int HR_DLR_FAILED_COUNT = 1128;
constexpr int HR_DLR_UNCONFIRMED_COUNT = 1129;
constexpr int HR_DLR_WAITING = 1130;
static_assert(HR_DLR_DELIVERED + HR_ENABLE_N <= HR_DLR_FAILED_COUNT);
static_assert(HR_DLR_STATUS_FIRST + HR_DLR_STATUS_N <= 1150 && HR_DLR_WAITING < HR_DLR_STATUS_FIRST + HR_DLR_STATUS_N);
// Modem settings, 1150..1199 (zero = default).
constexpr int HR_MODEM_SEND_TIMEOUT = 1150;   // s the network's SMS confirmation is waited for; 0 = 180
constexpr int MODEM_SEND_TIMEOUT_DEFAULT = 180, MODEM_SEND_TIMEOUT_MIN = 10, MODEM_SEND_TIMEOUT_MAX = 3600;
// Directory the modem plays recordings from (e.g. "E:/"), ASCII pairs high
// byte first, up to 32 characters; all zero = the board's /var/zrb_318_voice/.
constexpr int HR_MODEM_PLAY_DIR = 1151, HR_MODEM_PLAY_DIR_N = 16;
// The characters a play directory may hold: a quoted path carries them safely.
constexpr bool play_dir_char_ok(char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '/' || c == ':' ||
           c == '_' || c == '-' || c == '.' || c == '\\';
}

// Acknowledgement, repeat and escalation (all zero: off, no alarm requires it).
// Holding registers 600..999 and input registers 160..199 are this feature's.
constexpr int HR_ACK_REQUIRED = 600;   // 600..607: bit b of 600+j = alarm 16j+b needs acknowledging
constexpr int HR_ACK_INTERVAL = 608;   // s between rounds, 0 = ACK_INTERVAL_DEFAULT
constexpr int HR_ACK_ROUNDS = 609;     // rounds in all (the first included), 0 = ACK_ROUNDS_DEFAULT
constexpr int HR_ACK_TELL_OTHERS = 610;   // 1: the other recipients learn who acknowledged
constexpr int HR_ACK_COMMAND = 611;    // write n+1 (1..128): acknowledge alarm n; ACK_ALL: all; set back to 0
constexpr uint16_t ACK_ALL = 0xFFFF;
constexpr int HR_ESCALATION_MASK = 640;   // 640..767: groups added from round 2 on, bit g = group g
constexpr int HR_ACK_ROUND = 768;      // 768..895: status, round of an unacknowledged alarm (0 none); not configuration
constexpr int ACK_INTERVAL_DEFAULT = 300, ACK_ROUNDS_DEFAULT = 3, ACK_ROUNDS_MAX = 100;
constexpr char ACK_KEY = '1';          // the key that acknowledges during a call
constexpr int IR_ACK_ACTIVE = 160;     // 160..167: bitmaps as the enables, alarms that need acknowledging
constexpr int IR_ACK_UNACKED = 168;    // 168..175: unacknowledged (active or returned)
constexpr int IR_ACK_FAILED = 176;     // 176..183: an SMS or call of its last round failed
constexpr int IR_ACK_COUNT = 184;      // acknowledgements so far (wraps), 0 none
constexpr int IR_ACK_LAST_ALARM = 185; // alarm of the last acknowledgement, ACK_ALL: all
constexpr int IR_ACK_LAST_HOW = 186;   // 1 SMS reply, 2 key in a call, 3 the master
constexpr int IR_ACK_LAST_PHONE = 187, IR_ACK_LAST_PHONE_N = 10;   // ASCII pairs, 187..196
constexpr int IR_ACK_EXHAUSTED = 197;  // alarms unacknowledged after their last round (master's flag)
constexpr int IR_ACK_UNACKED_COUNT = 198;  // count of unacknowledged alarms
constexpr int ACK_HOW_SMS = 1, ACK_HOW_KEY = 2, ACK_HOW_MASTER = 3;
// Journal settings and the log window's request (zero = default / off).
constexpr int HR_JOURNAL_RESUME = 512;  // minutes a queued entry may wait over a restart; 0 = 60
constexpr int JOURNAL_RESUME_DEFAULT_MIN = 60;
constexpr int HR_LOG_CURSOR = 513;      // 513, 514: first sequence number (high, low word)
constexpr int HR_LOG_ALARM = 515;       // 0 every event, n + 1 only alarm n
constexpr int HR_LOG_SINCE = 516;       // 516, 517: only from this time (UTC seconds, high, low), 0 all

// Self-supervision settings, holding registers 1000..1099 (zero = off). The
// bounds and the heartbeat interval count in minutes, or in seconds when
// HR_SUP_UNIT is 1 (short bounds for commissioning and tests).
constexpr int HR_SUP_FIRST = 1000, HR_SUP_N = 100;
constexpr int HR_SUP_HEARTBEAT_GROUPS = 1000;  // heartbeat SMS to these groups; 0 none
constexpr int HR_SUP_HEARTBEAT_TIME = 1001;    // local time of day, minutes after midnight 0..1439 (more: none)
constexpr int HR_SUP_HEARTBEAT_EVERY = 1002;   // 0 once a day; n: every n units from that time on
constexpr int HR_SUP_SILENT_GROUPS = 1003;     // master-silent SMS to these groups; 0 journal only
constexpr int HR_SUP_SILENT_AFTER = 1004;      // no request addressed to us this long; 0 off
constexpr int HR_SUP_OUTAGE_AFTER = 1005;      // unregistered or SIM not ready this long; 0 off
constexpr int HR_SUP_FAILS_IN_ROW = 1006;      // this many failed SMS attempts in a row; 0 off
constexpr int HR_SUP_DELIVER_GROUPS = 1007;    // "delivery possible again" SMS groups; 0 flag only
constexpr int HR_SUP_UNIT = 1008;              // 0 minutes, 1 seconds
constexpr int SUP_MINUTES_PER_DAY = 1440;

// Alarm text blocks: 108 text registers per alarm, ON text then OFF text;
// 16 blocks per group, groups 2048 registers apart.
constexpr int TEXT_BASE = 10000, TEXT_GROUP_STRIDE = 2048, TEXT_BLOCK = 108, TEXT_N = 54;
constexpr int TEXT_GROUP_SPAN = 16 * TEXT_BLOCK;     // 1728 registers in use per group
constexpr int alarm_text_reg(int i) { return TEXT_BASE + TEXT_GROUP_STRIDE * (i / 16) + TEXT_BLOCK * (i % 16); }
constexpr int alarm_off_text_reg(int i) { return alarm_text_reg(i) + TEXT_N; }

// Phone group blocks: 170 registers, 10 unused then 16 phones of 10 ASCII-pair
// registers; groups 0..7 from 30000, groups 8..15 from 32048.
constexpr int PHONE_BASE_LO = 30000, PHONE_BASE_HI = 32048, PHONE_BLOCK = 170, PHONE_N = 10;
constexpr int PHONE_SKIP = 10;
constexpr int PHONE_MAX_CHARS = 19;    // the 20th byte stays 0 (20-byte phone slots)
constexpr int group_reg(int g) { return g < 8 ? PHONE_BASE_LO + PHONE_BLOCK * g : PHONE_BASE_HI + PHONE_BLOCK * (g - 8); }
constexpr int phone_reg(int g, int n) { return group_reg(g) + PHONE_SKIP + PHONE_N * n; }

// Line settings of holding register 200.
struct BaudCode { uint8_t code; int baud; };
constexpr BaudCode BAUDS[] = {{4, 2400}, {5, 4800}, {6, 9600}, {7, 19200}, {8, 38400}, {9, 57600}, {10, 115200}};
struct FramingCode { uint8_t code; char parity; int stop_bits; };
constexpr FramingCode FRAMINGS[] = {{0x03, 'N', 1}, {0x0B, 'N', 2}, {0x23, 'O', 1},
                                    {0x2B, 'O', 2}, {0x43, 'E', 1}, {0x4B, 'E', 2}};

// The configuration image: DI bytes, DO bytes, AI and AO little-endian.
constexpr int IMG_OFF_DI = 0, IMG_OFF_DO = IMG_OFF_DI + DISCRETE, IMG_OFF_AI = IMG_OFF_DO + COILS,
              IMG_OFF_AO = IMG_OFF_AI + 2 * INPUT, IMG_SIZE = IMG_OFF_AO + 2 * HOLDING;
static_assert(IMG_SIZE == 69576);
static_assert(HR_ESCALATION_MASK + ALARMS <= HR_ACK_ROUND && HR_ACK_ROUND + ALARMS <= 1000);
static_assert(IR_ACK_UNACKED_COUNT < 200 && IR_ACK_LAST_PHONE + IR_ACK_LAST_PHONE_N <= IR_ACK_EXHAUSTED);
static_assert(HR_SUP_UNIT < HR_SUP_FIRST + HR_SUP_N);
static_assert(alarm_text_reg(127) == 25956 && phone_reg(15, 15) == 33398);

}  // namespace layout
