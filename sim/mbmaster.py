"""What a Modbus master needs to know of the gateway's register map: addresses,
the two character conventions, and small helpers over a pymodbus 3.0 client.

Used by the demonstration (sim/demo.py), the end-to-end tests and the alarm
latency benchmark. Every helper raises MasterError when the slave answers with
an error or not at all.
"""
import io
import math
import struct
import wave

SLAVE = 1
ON = 0xFF00
OFF = 0x0000

# holding registers
HR_SMS_ENABLE = 128        # bit b of 128 + j: SMS of alarm 16j + b
HR_VOICE_ENABLE = 136      # bit b of 136 + j: voice call of alarm 16j + b
HR_VAR_TEXT_ON = 203       # 1: append the variable text to every alarm SMS
HR_EDGE_MODE = 208         # 1: alarm edge mode
HR_SENDER_FILTER = 254     # non-zero: accept SMS only from configured phones
HR_EDGE_DELAY = 256        # 256 + n: edge delay of alarm n (alarm 127: 209)
HR_VAR_TEXT = 383          # 16 text registers
HR_DYN_TEXT = 399          # 70 text registers
HR_DYN_PHONE = 469         # 10 ASCII-pair registers
TEXT_REGS = 54             # per alarm text (ON, then OFF)
PHONE_REGS = 10

# coils
COIL_DYNAMIC_SMS = 128
COIL_CLEAR_RECEIVED = 199
COIL_CLEAR_QUEUE = 200

# input registers
IR_STATUS = 0              # 0..15: status x 256 of the alarm SMS in record k
IR_LAST_SLOT = 16
IR_DYN_STATUS = 17
IR_CSQ = 18
IR_CREG = 27
IR_SENDER = 30             # 30..39
IR_CENTURY = 40
IR_TIME = 41               # 41..46
IR_CODING = 47
IR_TEXT = 48               # 48..127
IR_VOICE_PRESENT = 128     # 128..143
IR_VOICE_FORMAT = 144      # 144..159

# discrete inputs
DI_QUEUE_FULL = 0
DI_NEW_SMS = 1
DI_CARD = 2

STATUS_NAMES = {0: "nothing yet", 256: "queued", 512: "sending", 768: "done", 1024: "failed"}


class MasterError(RuntimeError):
    pass


def crc16(data):
    """Modbus RTU CRC (0 over a frame that carries its own CRC)."""
    crc = 0xFFFF
    for b in data:
        crc ^= b
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return crc


def rtu(body):
    """The frame: body followed by its CRC, low byte first."""
    return body + struct.pack("<H", crc16(body))


def alarm_text_reg(n):
    """First register of alarm n's ON text (its OFF text follows 54 registers on)."""
    return 10000 + 2048 * (n // 16) + 108 * (n % 16)


def phone_reg(group, k):
    """First of the 10 registers of phone k of group g."""
    base = 30000 + 170 * group if group < 8 else 32048 + 170 * (group - 8)
    return base + 10 + 10 * k


# ---- character conventions ---------------------------------------------------

def ascii_regs(text, count=None):
    """ASCII pairs: first character in the high byte; padded with 0 to count."""
    b = text.encode("latin-1")
    if len(b) % 2:
        b += b"\0"
    regs = [(b[i] << 8) | b[i + 1] for i in range(0, len(b), 2)]
    if count is not None:
        if len(regs) > count:
            raise ValueError("%r needs more than %d registers" % (text, count))
        regs += [0] * (count - len(regs))
    return regs


def regs_ascii(regs):
    """ASCII pairs back to text, up to the first zero byte."""
    out = bytearray()
    for r in regs:
        out += bytes([r >> 8, r & 0xFF])
    return out.split(b"\0", 1)[0].decode("latin-1")


def text_regs(text, count=None):
    """Text registers: one UCS-2 code unit per register, bytes exchanged."""
    units = struct.unpack(">%dH" % (len(text.encode("utf-16-be")) // 2), text.encode("utf-16-be"))
    regs = [((u & 0xFF) << 8) | (u >> 8) for u in units]
    if count is not None:
        if len(regs) > count:
            raise ValueError("%r needs more than %d registers" % (text, count))
        regs += [0] * (count - len(regs))
    return regs


def received_text(regs, coding, length=None):
    """Body of a received SMS from input registers 48..: even byte in the low byte.
    coding 1 is UCS-2, 0 the 7-bit alphabet as 8-bit characters."""
    raw = bytearray()
    for r in regs:
        raw += bytes([r & 0xFF, r >> 8])
    if coding == 1:
        raw = raw[:length] if length is not None else raw
        text = raw.decode("utf-16-be", "replace")
        return text.split("\0", 1)[0]
    return raw.split(b"\0", 1)[0].decode("latin-1")


def wav_bytes(seconds=0.2, rate=8000, channels=1, width=2):
    """A short tone as a RIFF WAVE file (by default the format the modem plays)."""
    buf = io.BytesIO()
    with wave.open(buf, "wb") as w:
        w.setnchannels(channels)
        w.setsampwidth(width)
        w.setframerate(rate)
        n = int(seconds * rate)
        frames = b"".join(struct.pack("<h", int(8000 * math.sin(2 * math.pi * 440 * i / rate))) * channels
                          for i in range(n))
        w.writeframes(frames)
    return buf.getvalue()


# ---- requests ----------------------------------------------------------------

def _check(r, what):
    if r is None or r.isError():
        raise MasterError("%s: %s" % (what, r))
    return r


def write_regs(c, addr, values):
    for i in range(0, len(values), 100):
        _check(c.write_registers(addr + i, values[i:i + 100], slave=SLAVE),
               "write holding registers %d.." % (addr + i))


def write_reg(c, addr, value):
    _check(c.write_register(addr, value, slave=SLAVE), "write holding register %d" % addr)


def read_hr(c, addr, count=1):
    return _check(c.read_holding_registers(addr, count, slave=SLAVE),
                  "read holding registers %d..%d" % (addr, addr + count - 1)).registers[:count]


def read_ir(c, addr, count=1):
    return _check(c.read_input_registers(addr, count, slave=SLAVE),
                  "read input registers %d..%d" % (addr, addr + count - 1)).registers[:count]


def read_di(c, addr, count=1):
    return _check(c.read_discrete_inputs(addr, count, slave=SLAVE),
                  "read discrete inputs %d.." % addr).bits[:count]


def write_coil(c, addr, on=True):
    _check(c.write_coil(addr, on, slave=SLAVE), "write coil %d" % addr)


def set_phone(c, group, k, number):
    write_regs(c, phone_reg(group, k), ascii_regs(number, PHONE_REGS))


def set_bit(c, base, n, on=True):
    """Sets bit n % 16 of holding register base + n // 16 (read-modify-write)."""
    reg = base + n // 16
    v = read_hr(c, reg)[0]
    v = v | (1 << (n % 16)) if on else v & ~(1 << (n % 16))
    write_reg(c, reg, v)


def set_alarm(c, n, groups, on_text=None, off_text=None, sms=True, voice=False):
    """Routes alarm n to the phone groups listed, enables its SMS and/or voice
    call and writes its texts (all 54 registers, so no old text remains)."""
    mask = 0
    for g in groups:
        mask |= 1 << g
    # A function-6 write to holding register n would trigger alarm n as well.
    write_regs(c, n, [mask])
    set_bit(c, HR_SMS_ENABLE, n, sms)
    set_bit(c, HR_VOICE_ENABLE, n, voice)
    if on_text is not None:
        write_regs(c, alarm_text_reg(n), text_regs(on_text, TEXT_REGS))
    if off_text is not None:
        write_regs(c, alarm_text_reg(n) + TEXT_REGS, text_regs(off_text, TEXT_REGS))
    return mask


def received_sms(c):
    """The last received SMS as published in input registers 30..127."""
    regs = read_ir(c, IR_SENDER, 98)
    sender = regs_ascii(regs[0:10])
    t = [regs_ascii([r]) for r in regs[10:17]]
    when = "%s%s/%s/%s %s:%s:%s" % tuple(t)
    coding = regs[17]
    return {"sender": sender, "time": when, "coding": coding,
            "text": received_text(regs[18:], coding), "regs": regs}
