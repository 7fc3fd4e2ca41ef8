"""SMS PDU helpers of the simulated modem.

Builds SMS-DELIVER PDUs for the simulated inbox (hand-built: python3-gammu's
own Deliver encoder writes a wrong first octet) and decodes the SMS-SUBMIT
PDUs the daemon sends, with python3-gammu, into plain Python values.
"""
import datetime

import gammu

# GSM 03.38 default alphabet, code n at index n; '\x1b' is the escape code.
GSM7_BASIC = ("@£$¥èéùìòÇ\nØø\rÅåΔ_ΦΓΛΩΠΨΣΘΞ\x1bÆæßÉ !\"#¤%&'()*+,-./0123456789:;<=>?"
              "¡ABCDEFGHIJKLMNOPQRSTUVWXYZÄÖÑÜ§¿abcdefghijklmnopqrstuvwxyzäöñüà")
GSM7_EXT = {"\f": 0x0A, "^": 0x14, "{": 0x28, "}": 0x29, "\\": 0x2F,
            "[": 0x3C, "~": 0x3D, "]": 0x3E, "|": 0x40, "€": 0x65}
assert len(GSM7_BASIC) == 128

CODINGS = {"gsm7": 0x00, "8bit": 0x04, "ucs2": 0x08}


class PduError(ValueError):
    pass


def gsm7_codes(text):
    """Text to GSM codes (extension characters give escape pairs)."""
    out = []
    for ch in text:
        if ch in GSM7_EXT:
            out += [0x1B, GSM7_EXT[ch]]
        else:
            i = GSM7_BASIC.find(ch)
            if i < 0 or ch == "\x1b":
                raise PduError("character %r is not in the GSM 7-bit alphabet" % ch)
            out.append(i)
    return out


def pack7(codes):
    """Packs septets least significant bit first; zero fill bits."""
    out = bytearray()
    acc = 0
    nbits = 0
    for c in codes:
        acc |= (c & 0x7F) << nbits
        nbits += 7
        while nbits >= 8:
            out.append(acc & 0xFF)
            acc >>= 8
            nbits -= 8
    if nbits:
        out.append(acc & 0xFF)
    return bytes(out)


def unpack7(octets, count):
    """Unpacks count septets."""
    codes = []
    acc = 0
    nbits = 0
    it = iter(octets)
    while len(codes) < count:
        if nbits < 7:
            try:
                acc |= next(it) << nbits
            except StopIteration:
                break
            nbits += 8
        codes.append(acc & 0x7F)
        acc >>= 7
        nbits -= 7
    return codes


def gsm7_text(codes):
    """GSM codes to text; an escape before an unknown code stands alone."""
    rev = {v: k for k, v in GSM7_EXT.items()}
    out = []
    i = 0
    while i < len(codes):
        c = codes[i]
        if c == 0x1B and i + 1 < len(codes) and codes[i + 1] in rev:
            out.append(rev[codes[i + 1]])
            i += 2
            continue
        out.append(GSM7_BASIC[c])
        i += 1
    return "".join(out)


def swap_digits(digits):
    """Digit text to swapped semi-octets, an odd count padded with F."""
    if len(digits) % 2:
        digits += "F"
    return bytes(int(digits[i + 1] + digits[i], 16) for i in range(0, len(digits), 2))


def encode_address(number, sca=False):
    """Address field: length, type of address, value.

    For the service centre the length counts octets (type included); for the
    originator it counts digits (semi-octets for an alphanumeric name).
    """
    if not number:
        if sca:
            return b"\x00"
        raise PduError("empty originator")
    if number.startswith("+"):
        toa, digits = 0x91, number[1:]
    else:
        toa, digits = 0x81, number
    if digits.isdigit() and len(digits) <= 20:
        value = swap_digits(digits)
        if sca:
            return bytes([len(value) + 1, toa]) + value
        return bytes([len(digits), toa]) + value
    if sca:
        raise PduError("service centre must be digits: %r" % number)
    # alphanumeric originator (for example a network operator's name)
    codes = gsm7_codes(number)
    if len(codes) > 11:
        raise PduError("alphanumeric originator longer than 11 characters")
    value = pack7(codes)
    return bytes([(len(codes) * 7 + 3) // 4, 0xD0]) + value


def encode_scts(when, tz_quarters=0):
    if when is None:
        when = datetime.datetime.now()
    if isinstance(when, str):
        when = datetime.datetime.fromisoformat(when)
    fields = [when.year % 100, when.month, when.day, when.hour, when.minute, when.second]
    out = bytearray(((v % 10) << 4) | (v // 10) for v in fields)
    q = abs(int(tz_quarters))
    tz = ((q % 10) << 4) | (q // 10)
    if tz_quarters < 0:
        tz |= 0x08
    out.append(tz)
    return bytes(out)


def concat_udh(ref, total, seq, wide=False):
    """User-data header (UDHL included) of one part of a long message."""
    if wide:
        return bytes([6, 0x08, 4, (ref >> 8) & 0xFF, ref & 0xFF, total, seq])
    return bytes([5, 0x00, 3, ref & 0xFF, total, seq])


def build_deliver(sender, text="", coding="gsm7", when=None, smsc="+8613800755500",
                  tz_quarters=0, data=None, pid=0, dcs=None, udh=None):
    """SMS-DELIVER PDU as upper-case hex, service-centre field included.

    coding: gsm7, ucs2 or 8bit; data (bytes) replaces text for 8bit; dcs
    overrides the data coding scheme octet (the user data still follows coding);
    udh: a user-data header (its length octet first) before the text, with the
    fill bits 7-bit text needs after it.
    """
    if coding not in CODINGS:
        raise PduError("coding must be one of %s" % ", ".join(CODINGS))
    udh = bytes(udh or b"")
    if coding == "gsm7":
        codes = gsm7_codes(text)
        skip = (len(udh) * 8 + 6) // 7
        if skip + len(codes) > 160:
            raise PduError("text needs %d septets; one SMS holds 160" % (skip + len(codes)))
        # The header takes the first septets; the text starts at the next boundary.
        ud = bytearray(pack7([0] * skip + codes))
        ud[:len(udh)] = udh
        udl, ud = skip + len(codes), bytes(ud)
    elif coding == "ucs2":
        ud = udh + text.encode("utf-16-be")
        udl = len(ud)
    else:
        ud = udh + (bytes(data) if data is not None else text.encode("latin-1"))
        udl = len(ud)
    if coding != "gsm7" and udl > 140:
        raise PduError("user data of %d octets; one SMS holds 140" % udl)
    pdu = bytearray(encode_address(smsc, sca=True))
    pdu.append(0x44 if udh else 0x04)  # SMS-DELIVER (with a header), no more messages to send
    pdu += encode_address(sender)
    pdu.append(pid & 0xFF)
    pdu.append(CODINGS[coding] if dcs is None else dcs & 0xFF)
    pdu += encode_scts(when, tz_quarters)
    pdu.append(udl)
    pdu += ud
    return bytes(pdu).hex().upper()


def build_status_report(recipient, mr, status=0, when=None, done=None,
                        smsc="+8613800755500", tz_quarters=0):
    """SMS-STATUS-REPORT PDU as upper-case hex, service-centre field included.

    recipient: the number the SMS went to, as the network names it; mr: its
    message reference; status: TP-ST; when: the service centre's time stamp of
    the SMS; done: the discharge time (when the phone got it), default when.
    """
    if not 0 <= int(mr) <= 255 or not 0 <= int(status) <= 255:
        raise PduError("message reference and status are octets")
    if when is None:
        when = datetime.datetime.now()
    pdu = bytearray(encode_address(smsc, sca=True))
    pdu.append(0x06)   # SMS-STATUS-REPORT, no more messages to send
    pdu.append(int(mr))
    pdu += encode_address(recipient)
    pdu += encode_scts(when, tz_quarters)
    pdu += encode_scts(done if done is not None else when, tz_quarters)
    pdu.append(int(status))
    return bytes(pdu).hex().upper()


def split_long(text, coding, wide=False):
    """The texts of the parts of a long message, each fitting beside its header."""
    if coding == "ucs2":
        room = (140 - (7 if wide else 6)) // 2
        units = text.encode("utf-16-be")
        parts, i = [], 0
        while i < len(units):
            n = min(room * 2, len(units) - i)
            # A surrogate pair stays in one part.
            if n == room * 2 and 0xD8 <= units[i + n - 2] <= 0xDB:
                n -= 2
            parts.append(units[i:i + n].decode("utf-16-be"))
            i += n
        return parts
    room = 153 if not wide else 152
    parts, cur, used = [], "", 0
    for ch in text:
        w = 2 if ch in GSM7_EXT else 1
        if used + w > room:
            parts.append(cur)
            cur, used = "", 0
        cur += ch
        used += w
    return parts + [cur]


def tpdu_length(pdu_hex):
    """Octets after the service-centre field (the length AT+CMGS/+CMGR give)."""
    raw = bytes.fromhex(pdu_hex)
    return len(raw) - 1 - raw[0]


def coding_name(gammu_coding):
    if gammu_coding.startswith("Unicode"):
        return "ucs2"
    if gammu_coding == "8bit":
        return "8bit"
    return "gsm7"


def decode(pdu_hex):
    """Decodes a PDU that starts with its service-centre field.

    Returns a dict: number, text (str; 8-bit data as latin-1), data (hex of the
    user data for 8-bit), coding, dcs, type, validity, smsc, time (Deliver).
    Raises PduError on anything python3-gammu cannot parse.
    """
    try:
        raw = bytes.fromhex(pdu_hex)
    except ValueError as e:
        raise PduError("not hexadecimal: %s" % e)
    if len(raw) < 2:
        raise PduError("PDU too short")
    try:
        d = gammu.DecodePDU(raw, SMSC=True)
    except Exception as e:  # gammu raises its own error classes
        raise PduError("gammu cannot decode: %s" % e)
    text = d.get("Text")
    out = {"number": d.get("Number", ""), "coding": coding_name(d.get("Coding", "")),
           "type": d.get("Type"), "smsc": d.get("SMSC", {}).get("Number", ""),
           "validity": d.get("SMSC", {}).get("Validity"), "length": d.get("Length"),
           "class": d.get("Class"), "udh": d.get("UDH", {}).get("Type")}
    if isinstance(text, bytes):
        out["data"] = text.hex().upper()
        out["text"] = text.decode("latin-1")
    else:
        out["text"] = text if text is not None else ""
    if out["type"] == "Submit":
        out["srr"] = bool(raw[1 + raw[0]] & 0x20)   # a delivery report asked for
    dcs, udl, ud = _user_data_of(raw)
    out["dcs"] = dcs
    out["udl"] = udl
    if out["coding"] == "gsm7" and dcs == 0 and ud is not None and not isinstance(text, bytes):
        # python3-gammu pads texts with escape pairs with NULs up to the UDL
        out["text"] = gsm7_text(unpack7(ud, udl))
    if d.get("DateTime"):
        out["time"] = d["DateTime"].isoformat()
    return out


def _user_data_of(raw):
    """TP-DCS, TP-UDL and the user-data octets of a SUBMIT or DELIVER."""
    try:
        i = 1 + raw[0]
        fo = raw[i]
        i += 1
        if fo & 0x03 == 0x01:  # SUBMIT: message reference
            i += 1
        alen = raw[i]
        i += 2 + (alen + 1) // 2
        dcs = raw[i + 1]
        i += 2
        if fo & 0x03 == 0x01:
            vpf = (fo >> 3) & 0x03
            i += {0: 0, 2: 1}.get(vpf, 7)
        else:
            i += 7  # service-centre time stamp
        udl = raw[i]
        return dcs, udl, raw[i + 1:]
    except IndexError:
        return None, None, None
