"""agwctl against the real daemon on the simulated board: an image on the card
is loaded at start; push, read back and save; show of the live gateway; status;
an alarm raised by agwctl reaches the simulated modem; the dynamic SMS is
followed to its end; a gateway that does not answer gives exit status 2 with
the register named."""
import os
import subprocess

import pytest

from conftest import default_image
from sim import maplayout as L
from sim.modemctl import Modem

SITE = """# test site: no [serial] section, so the line stays 115200 8N1, slave 1
[sim]
pin = "4711"
[sms]
variable_text = " – Halle 3"
[acknowledgement]
interval = 600
[[group]]
index = 9
numbers = ["+491701234567", "", "0612345678"]
[[alarm]]
number = 5
on = "Überflutung €"
groups = [9]
sms = true
edge_delay = 1000
ack = true
escalation_groups = [3]
[supervision]
silent_groups = [9]
silent_after = 600
outage_after = 30
failures_in_row = 5
deliver_groups = [9]
[delivery_reports]
wait = 20
unit = "seconds"
[modem]
send_timeout = 240
"""


def agwctl(*args, check=True):
    exe = os.path.join(os.environ.get("ALARMGW_BUILD", "build"), "agwctl")
    p = subprocess.run([exe, *args], capture_output=True, text=True, timeout=120)
    if check:
        assert p.returncode == 0, p.stderr
    return p


def text_regs(s):
    return [((ord(ch) & 0xFF) << 8) | (ord(ch) >> 8) for ch in s]


@pytest.fixture
def site(tmp_path):
    p = tmp_path / "site.toml"
    p.write_text(SITE, encoding="utf-8")
    img = tmp_path / "config.ini"
    agwctl("image", str(p), "-o", str(img))
    return p, img


def test_image_on_the_card_is_loaded_at_start(make_board, site):
    path, img = site
    b = make_board(files={"media/card/update/config.ini": img.read_bytes()})
    c = b.client
    assert c.read_holding_registers(L.HR_PIN, L.HR_PIN_N, slave=1).registers == [0x3437, 0x3131]
    assert c.read_holding_registers(5, 1, slave=1).registers == [1 << 9]
    on = c.read_holding_registers(L.alarm_text_reg(5), 14, slave=1).registers
    assert on == text_regs("Überflutung €") + [0]
    assert c.read_holding_registers(L.phone_reg(9, 2), 5, slave=1).registers == [0x3036, 0x3132, 0x3334,
                                                                                     0x3536, 0x3738]
    assert c.read_holding_registers(L.edge_delay_reg(5), 1, slave=1).registers == [1000]
    # Delivery-report and modem settings (reports stay off: request not set).
    assert c.read_holding_registers(L.HR_DLR_ON, 3, slave=1).registers == [0, 20, 1]
    assert c.read_holding_registers(L.HR_MODEM_SEND_TIMEOUT, 1, slave=1).registers == [240]


def test_show_refuses_what_is_no_configuration_image(site, tmp_path):
    path, img = site
    good = img.read_bytes()
    bad_coil = bytearray(good)
    bad_coil[L.IMG_OFF_DO + 7] = 2
    cases = {"passwd": open("/etc/passwd", "rb").read(), "short": good[:-2], "long": good + b"\0",
             "bad_coil": bytes(bad_coil)}
    for name, data in cases.items():
        f = tmp_path / name
        f.write_bytes(data)
        p = agwctl("show", str(f), check=False)
        assert (p.returncode, p.stdout) == (1, ""), (name, p.returncode, p.stdout[:200])
        assert "not a configuration image" in p.stderr, (name, p.stderr)
    assert "Überflutung €" in agwctl("show", str(img)).stdout


@pytest.mark.board(config=default_image())
def test_push_show_save_status_alarm_and_sms(board, site, tmp_path):
    path, img = site
    port = board.master
    m = Modem(board.root)
    m.wait_ready()
    expected = agwctl("show", str(img)).stdout
    assert "on = \"Überflutung €\"" in expected

    p = agwctl("push", str(path), "--port", port, "--save")
    assert "pushed and verified" in p.stderr and "saved" in p.stderr
    assert agwctl("show", "--port", port).stdout == expected
    assert "[delivery_reports]\nwait = 20\nunit = \"seconds\"\n" in expected
    assert "[modem]\nsend_timeout = 240\n" in expected
    board.wait_log(r"Time Spent: \d+ ms")
    assert agwctl("show", board.config_path).stdout == expected

    st = agwctl("status", "--port", port).stdout
    assert "firmware 1.7, 2019-06-19" in st and "SD card     mounted" in st
    assert "supervision heartbeat off\n            silent master after 600 min, to groups 9\n" in st, st
    assert ("cannot deliver after 30 min without network or SIM; after 5 failed SMS in a row; back: groups 9\n"
            "            NOW: delivery possible") in st, st

    agwctl("alarm", "--port", port, "5", "on")
    m.wait_for(lambda: len(m.outbox()) >= 2, 30, what="the alarm's two SMS")
    sent = m.outbox()
    assert sorted(s["number"].lstrip("+") for s in sent) == ["0612345678", "491701234567"], sent
    assert all(s["text"] == "Überflutung €" for s in sent)
    # Alarm 5 needs acknowledging: status lists it with its round until agwctl ack.
    assert "unacknowledged 5(round 1)" in agwctl("status", "--port", port).stdout
    agwctl("ack", "--port", port, "5")
    st = agwctl("status", "--port", port).stdout
    assert "unacknowledged none" in st and "last acknowledgement: alarm 5 by master (master)" in st, st
    assert agwctl("ack", "--port", port, "128", check=False).returncode == 1

    p = agwctl("sms", "--port", port, "0699999999", "Grüße aus Halle 3")
    assert p.stdout.strip() == "done"
    assert any(s["number"] == "0699999999" and s["text"] == "Grüße aus Halle 3" for s in m.outbox())

    p = agwctl("push", str(path), "--port", port, "--slave", "9", check=False)
    assert p.returncode == 2
    assert "writing holding registers 0..122: Connection timed out" in p.stderr
