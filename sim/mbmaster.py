"""What a Modbus master needs to know of the gateway's register map: addresses,
the two character conventions, and small helpers over a pymodbus 3.0 client.

Used by the demonstration (sim/demo.py), the end-to-end tests and the alarm
latency benchmark. Every helper raises MasterError when the slave answers with
an error or not at all.
"""
import math
import struct

from pymodbus.client import ModbusSerialClient

from sim import maplayout as L

SLAVE = 1
ON = L.ALARM_ON
OFF = L.ALARM_OFF

# Short names for the registers the master uses most; every address comes from
# the register map's header (sim/maplayout.py reads it).
HR_SMS_ENABLE = L.HR_SMS_ENABLE        # bit b of + j: SMS of alarm 16j + b
HR_VOICE_ENABLE = L.HR_VOICE_ENABLE    # voice call of alarm 16j + b
HR_VAR_TEXT_ON = L.HR_VARIABLE_ON      # 1: append the variable text to every alarm SMS
HR_EDGE_MODE = L.HR_EDGE_MODE
HR_SENDER_FILTER = L.HR_SENDER_FILTER
HR_EDGE_DELAY = L.HR_EDGE_DELAY        # alarms 0..126; L.edge_delay_reg(n) for any alarm
HR_VAR_TEXT = L.HR_VARIABLE_TEXT
HR_DYN_TEXT = L.HR_DYN_TEXT
HR_DYN_PHONE = L.HR_DYN_PHONE
TEXT_REGS = L.TEXT_N                   # per alarm text (ON, then OFF)
PHONE_REGS = L.PHONE_N

COIL_DYNAMIC_SMS = L.CO_DYNAMIC_SMS
COIL_CLEAR_RECEIVED = L.CO_CLEAR_RX_SMS
COIL_CLEAR_QUEUE = L.CO_CLEAR_QUEUE

IR_STATUS = L.IR_SLOT_STATUS           # status x 256 of the n-th alarm SMS in record n % 16
IR_LAST_SLOT = L.IR_LAST_SLOT
IR_DYN_STATUS = L.IR_DYNAMIC_STATUS
IR_CSQ = L.IR_CSQ
IR_CREG = L.IR_CREG
IR_SENDER = L.IR_RX_SENDER
IR_CENTURY = L.IR_RX_CENTURY
IR_TIME = L.IR_RX_TIME
IR_CODING = L.IR_RX_CODING
IR_TEXT = L.IR_RX_TEXT
IR_VOICE_PRESENT = L.IR_WAV_PRESENT
IR_VOICE_FORMAT = L.IR_WAV_VALID

DI_QUEUE_FULL = L.DI_QUEUE_FULL
DI_NEW_SMS = L.DI_RX_SMS
DI_CARD = L.DI_SD_CARD

# Reported statuses (register value = status x STATUS_SCALE).
QUEUED, SENDING, DONE, FAILED = (L.STATUS_SCALE * s for s in (L.STATUS_QUEUED, L.STATUS_SENDING, L.STATUS_DONE,
                                                                L.STATUS_FAILED))
STATUS_NAMES = {0: "nothing yet", QUEUED: "queued", SENDING: "sending", DONE: "done", FAILED: "failed"}
alarm_text_reg = L.alarm_text_reg      # first register of alarm n's ON text
alarm_off_text_reg = L.alarm_off_text_reg
phone_reg = L.phone_reg                # first of the registers of phone k of group g


def client(port, timeout=2, retries=0):
    """A connected pymodbus client on the master's end of the line, at the
    gateway's factory line settings (115200 8N1)."""
    c = ModbusSerialClient(port=port, baudrate=115200, bytesize=8, parity="N", stopbits=1,
                           timeout=timeout, retries=retries)
    if not c.connect():
        raise MasterError("cannot open %s" % port)
    return c


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


def wav_file(channels=1, rate=8000, bits=16, fmt_code=1, list_chunk=False, samples=400, data=None):
    """A RIFF WAVE file built chunk by chunk, so tests can make the odd ones the
    gateway must refuse (format code, channels, rate, an extra LIST chunk)."""
    body = struct.pack("<HHIIHH", fmt_code, channels, rate, rate * channels * bits // 8, channels * bits // 8, bits)
    if data is None:
        data = bytes((i * 37) & 0xFF for i in range(samples))
    chunks = b"fmt " + struct.pack("<I", len(body)) + body
    if list_chunk:
        info = b"INFOISFT\x04\x00\x00\x00abc\x00"
        chunks += b"LIST" + struct.pack("<I", len(info)) + info
    chunks += b"data" + struct.pack("<I", len(data)) + data
    return b"RIFF" + struct.pack("<I", 4 + len(chunks)) + b"WAVE" + chunks


def wav_bytes(seconds=0.2, rate=8000, channels=1, width=2):
    """A short tone as a RIFF WAVE file (by default the format the modem plays)."""
    n = int(seconds * rate)
    frames = b"".join(struct.pack("<h", int(8000 * math.sin(2 * math.pi * 440 * i / rate))) * channels
                      for i in range(n))
    return wav_file(channels=channels, rate=rate, bits=8 * width, data=frames)


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
    """Sets alarm n's bit in the enable words from base (read-modify-write)."""
    reg = base + L.enable_word(n)
    v = read_hr(c, reg)[0]
    v = v | (1 << L.enable_bit(n)) if on else v & ~(1 << L.enable_bit(n))
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
        write_regs(c, alarm_off_text_reg(n), text_regs(off_text, TEXT_REGS))
    return mask


def received_sms(c):
    """The last received SMS as published in the input registers."""
    regs = read_ir(c, IR_SENDER, L.IR_RX_LAST - L.IR_RX_SENDER + 1)
    at = lambda a: a - L.IR_RX_SENDER   # noqa: E731 - offset in regs
    sender = regs_ascii(regs[at(L.IR_RX_SENDER):at(L.IR_RX_SENDER + L.IR_RX_SENDER_N)])
    t = [regs_ascii([r]) for r in regs[at(L.IR_RX_CENTURY):at(L.IR_RX_TIME + L.IR_RX_TIME_N)]]
    when = "%s%s/%s/%s %s:%s:%s" % tuple(t)
    coding = regs[at(L.IR_RX_CODING)]
    return {"sender": sender, "time": when, "coding": coding,
            "text": received_text(regs[at(L.IR_RX_TEXT):], coding), "regs": regs}
