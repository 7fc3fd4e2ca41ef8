"""Signed card updates on the simulated board: with a public key at
APP/update.pub, a firmware or configuration goes in only with a good minisign
signature beside it (made here by the minisign command and by agwctl), and a
firmware only with a version not below the installed one. Refused files touch
nothing: the old firmware and configuration stay."""
import os
import subprocess

import pytest

from conftest import default_image, wait_state
from test_agwctl import agwctl
from test_board import STA_LED, led_samples

OLD_CONFIG = default_image(hr={5: 0x0007})


class Keys:
    """A minisign key pair (unencrypted, so signing asks for no password)."""

    def __init__(self, d):
        os.makedirs(d)
        self.pub = os.path.join(d, "update.pub")
        self.sec = os.path.join(d, "update.key")
        subprocess.run(["minisign", "-G", "-W", "-p", self.pub, "-s", self.sec], check=True,
                       capture_output=True, stdin=subprocess.DEVNULL, timeout=60)

    def public(self):
        with open(self.pub, "rb") as f:
            return f.read()

    def sign(self, path, comment):
        subprocess.run(["minisign", "-S", "-s", self.sec, "-m", path, "-t", comment], check=True,
                       capture_output=True, stdin=subprocess.DEVNULL, timeout=60)
        with open(path + ".minisig", "rb") as f:
            return f.read()


@pytest.fixture
def keys(tmp_path):
    return Keys(str(tmp_path / "keys")), Keys(str(tmp_path / "other"))


def signed(keys, tmp_path, data, comment, name="fw"):
    """The file and the signature that keys makes of it."""
    p = str(tmp_path / name)
    with open(p, "wb") as f:
        f.write(data)
    return data, keys.sign(p, comment)


def fw_board(make_board, key, fw, sig):
    files = {"APP/update.pub": key.public(), "APP/config.ini": OLD_CONFIG, "APP/fw": b"old firmware",
             "media/card/update/fw": fw}
    if sig is not None:
        files["media/card/update/fw.minisig"] = sig
    # Firmware-update mode never listens: started without waiting for the listener.
    return make_board(files=files, wait=False)


def test_signed_firmware_installs_and_an_older_one_is_refused(make_board, keys, tmp_path):
    key = keys[0]
    # Signed by agwctl; minisign itself accepts the signature.
    new_fw = os.urandom(300000)
    (tmp_path / "fw").write_bytes(new_fw)
    agwctl("sign", str(tmp_path / "fw"), "--key", key.sec, "--version", "5")
    out = subprocess.run(["minisign", "-V", "-p", key.pub, "-m", str(tmp_path / "fw")], capture_output=True,
                         text=True, stdin=subprocess.DEVNULL, timeout=60)
    assert out.returncode == 0 and "version=5" in out.stdout, out
    sig = (tmp_path / "fw.minisig").read_bytes()
    b = fw_board(make_board, key, new_fw, sig)
    b.wait_log(r"FW Update, only do LED\.\r", timeout=10)
    assert b.read_file("APP/fw") == new_fw
    assert b.read_file("APP/fw.version") == b"5\n"
    assert b.read_file("media/card/update/fw.bck") == b"old firmware"
    assert sorted(os.listdir(b.path("media/card/update"))) == ["config.ini.bck", "fw.bck"]

    # The next card holds version 3, well signed: refused, nothing touched.
    b.stop_daemon()
    old_fw, sig = signed(key, tmp_path, b"firmware 3", "timestamp:1\tfile:fw\tversion=3")
    b.write_file("APP/config.ini", OLD_CONFIG)
    b.write_file("media/card/update/fw", old_fw)
    b.write_file("media/card/update/fw.minisig", sig)
    b.start_daemon(wait=False)
    wait_state(b, lambda: tried(b), 20, "the refusal recorded")
    b.wait_log(r"FW Update, only do LED\.\r", timeout=10)
    assert b.read_file("APP/fw") == new_fw
    assert b.read_file("APP/fw.version") == b"5\n"
    assert b.read_file("APP/config.ini") == OLD_CONFIG
    assert b.read_file("media/card/update/fw") == old_fw


def tried(b, name="fw"):
    """The card file is recorded as refused (tried once) on the board."""
    p = b.path("APP/update.tried")
    if not os.path.exists(p):
        return False
    with open(p) as f:
        return any(ln.split()[:1] == [name] for ln in f)


@pytest.mark.parametrize("case", ["truncated after signing", "unsigned", "wrong key"])
def test_refused_firmware_keeps_firmware_and_configuration(make_board, keys, tmp_path, case):
    key, other = keys
    fw, sig = signed(other if case == "wrong key" else key, tmp_path, os.urandom(200000), "version=9")
    if case == "unsigned":
        sig = None
    elif case == "truncated after signing":
        fw = fw[:150000]
    b = fw_board(make_board, key, fw, sig)
    wait_state(b, lambda: tried(b), 20, "the refusal recorded")
    b.wait_log(r"FW Update, only do LED\.\r", timeout=10)
    # Pattern 6: 100 ms on, 900 ms off.
    assert 0.03 <= led_samples(b, STA_LED, 2.0) <= 0.3
    assert b.read_file("APP/fw") == b"old firmware"
    assert b.read_file("APP/config.ini") == OLD_CONFIG
    assert not os.path.exists(b.path("APP/fw.version"))
    want = ["fw"] if sig is None else ["fw", "fw.minisig"]
    assert sorted(os.listdir(b.path("media/card/update"))) == want
    if case == "unsigned":
        # The same card again: a normal start that serves the old configuration.
        b.restart()   # waits for the listener: not a second update run
        assert b.client.read_holding_registers(5, 1, slave=1).registers == [0x0007]


@pytest.mark.parametrize("good", [True, False], ids=["signed", "wrong key"])
def test_signed_configuration(make_board, keys, tmp_path, good):
    key, other = keys
    site = tmp_path / "site.toml"
    site.write_text("[[alarm]]\nnumber = 5\ngroups = [2, 9]\nsms = true\n")
    image = str(tmp_path / "config.ini")
    agwctl("image", str(site), "-o", image, "--sign", (key if good else other).sec)
    with open(image, "rb") as f:
        new_config = f.read()
    with open(image + ".minisig", "rb") as f:
        sig = f.read()
    b = make_board(files={"APP/update.pub": key.public(), "APP/config.ini": OLD_CONFIG,
                          "media/card/update/config.ini": new_config,
                          "media/card/update/config.ini.minisig": sig})
    hr5 = b.client.read_holding_registers(5, 1, slave=1).registers
    if good:
        assert b.read_file("APP/config.ini") == new_config
        assert hr5 == [(1 << 2) | (1 << 9)]
        assert sorted(os.listdir(b.path("media/card/update"))) == ["config.ini.bck"]
    else:
        assert tried(b, "config.ini")
        assert b.read_file("APP/config.ini") == OLD_CONFIG
        assert hr5 == [0x0007]
        assert sorted(os.listdir(b.path("media/card/update"))) == ["config.ini", "config.ini.minisig"]
