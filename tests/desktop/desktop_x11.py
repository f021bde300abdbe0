#!/usr/bin/env python3
"""The component's real windows on an X display, worked like a person works them.

Starts Xvfb with the openbox window manager, runs `veriquill run --ui=qt` page scripts and the
native messaging host under a visible Chromium, and answers every window with real X input
(xdotool): windows are found by their titles, controls are clicked where the dialog templates
and the window's geometry put them, passwords are typed on the keyboard, the on-screen keyboard is
clicked key by key. Checks the results (signatures verified with openssl, typed text) and
screenshots of the display (titles, window sizes, pixels of drawn controls).

Usage: desktop_x11.py BUILD_DIR [--shots DIR]
Exit 0 all passed, 1 a check failed, 77 a prerequisite is missing (each one named).
"""
import json
import os
import queue
import re
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

SKIP = 77
HERE = Path(__file__).resolve().parent
SOURCE = HERE.parent.parent
CONVERT = "/usr/bin/convert"  # /usr/local/bin/convert may be a stand-in
IMPORT = "/usr/bin/import"
# Windows' SM_CYDLGFRAME: the dialogs end this far below their last control, twice.
DIALOG_FRAME = 3
WAIT = 20.0  # seconds any one window, focus or process is waited for
TOTAL = 330  # seconds for the whole test; it takes 30 to 90 s on a machine that is not overloaded

passed = failed = 0


def check(name, ok, detail=""):
    global passed, failed
    if ok:
        passed += 1
    else:
        failed += 1
    print(f"{'ok  ' if ok else 'FAIL'} {name}{'' if ok or not detail else ': ' + str(detail)}",
          flush=True)
    return ok


class Abort(Exception):
    """A step the rest of a scenario depends on did not happen."""


def require(name, ok, detail=""):
    if not check(name, ok, detail):
        raise Abort(name)


# --- what the dialogs must look like: templates and texts of resources/ -------------------------


def load_templates():
    text = (SOURCE / "resources/dialog_templates.cpp").read_text(encoding="utf-8")
    header = (SOURCE / "resources/dialog_templates.h").read_text(encoding="utf-8")
    names = {m[1]: int(m[2]) for m in re.finditer(r"constexpr int (k\w+DialogId) = (\d+);", header)}
    arrays = {}
    for m in re.finditer(r"constexpr ControlTemplate (\w+)\[\] = \{(.*?)\n\};", text, re.S):
        arrays[m[1]] = {int(c[1]): tuple(int(v) for v in c.groups()[1:])
                        for c in re.finditer(r"\{(\d+),\s*K::\w+,\s*(\d+),\s*(\d+),\s*(\d+),\s*(\d+),",
                                             m[2])}
    templates = {}
    for m in re.finditer(r'\{(\w+), (\d+), (\d+), "[^"]*", \d+, "[^"]*", (\w+)\}', text):
        ident = names.get(m[1]) or int(m[1])
        templates[ident] = {"size": (int(m[2]), int(m[3])), "controls": arrays[m[4]]}
    return templates


def load_texts():
    text = (SOURCE / "resources/string_table.cpp").read_text(encoding="utf-8")
    escapes = {"n": "\n", "r": "\r", "t": "\t", '"': '"', "\\": "\\"}
    out = {}
    for m in re.finditer(r'\{(\d+),\s*((?:"(?:[^"\\]|\\.)*"\s*)+)\}', text):
        parts = re.findall(r'"((?:[^"\\]|\\.)*)"', m[2])
        out[int(m[1])] = re.sub(r"\\(.)", lambda e: escapes.get(e[1], e[1]), "".join(parts))
    return out


TEMPLATES = load_templates()
TEXTS = load_texts()


def text(ident, language):
    """A text as the component shows it, without the mnemonic marks of button labels."""
    return TEXTS[ident + language].replace("&", "")


class Units:
    """Dialog units to pixels, as the dialogs map them: x * bx / 4, y * by / 8."""

    def __init__(self, bx, by):
        self.bx, self.by = bx, by

    def x(self, v):
        return v * self.bx // 4

    def y(self, v):
        return v * self.by // 8

    def rect(self, dialog, ident):
        x, y, cx, cy = TEMPLATES[dialog]["controls"][ident]
        return (self.x(x), self.y(y), self.x(cx), self.y(cy))


def sign_layout(u, password_in_dialog, expanded=True):
    """Where the order signing dialog stacks its controls (table view): the tops of the rows that
    move and the window's client height."""
    r = lambda ident: u.rect(210, ident)  # noqa: E731
    top = {}
    y = 12
    if password_in_dialog:
        y = r(232)[3] - 2 if expanded else r(232)[3] + 2
    if expanded:
        top["group"] = y + 2
        y += 20
        top["radios"] = y
        y += r(205)[3] + 15
        top["table"] = y
        if password_in_dialog:
            y = y + r(204)[3] + 2 + r(234)[3] + 2
        else:
            y += r(204)[3] + 10
    y += 5
    top["keys"] = y
    y += r(208)[3] + 10
    if password_in_dialog:
        top["password"] = y
        y += r(3)[3] + 10
    top["buttons"] = y
    return top, y + r(228)[3] + 2 * DIALOG_FRAME


def password_layout(u, prompt_lines):
    """The password prompt: the label grows to one or two lines; the rest moves below it."""
    label = u.rect(201, 235)
    edit_top = label[1] + prompt_lines * u.by + 4 + 5
    buttons_top = edit_top + u.rect(201, 3)[3] + 10
    return {"edit": edit_top, "buttons": buttons_top}, buttons_top + u.rect(201, 1)[3] + 10


def units_from_sign_dialog(width, height):
    """The dialog font's base units that give the order dialog (no password row) this size."""
    cx = TEMPLATES[210]["size"][0]
    for bx in range(2, 40):
        if cx * bx // 4 != width:
            continue
        for by in range(4, 60):
            u = Units(bx, by)
            if sign_layout(u, False)[1] == height:
                return u
    return None


# The on-screen keyboard is laid out in pixels from one description (digits: that many character
# keys; '@' the next special key; ' ' a gap as wide as it; '|' a new row).
KEYBOARD_DESCRIPTION = "d@|@d|@b@|@a@| @@@"
SPECIAL_FACTORS = [1.5, 1.5, 1.8, 1.7, 2.2, 2.2, 2.5, 1.5, 6.75, 1.5]
SPECIAL_NAMES = ["bsp", "tab", "lock", "enter", "shift", "shift2", "gap", "alt", "space", "alt2"]
KEY_CHARS = "`1234567890-=qwertyuiop[]\\asdfghjkl;'zxcvbnm,./"


def keyboard_layout():
    keys, specials = [], {}
    x, y = 10, 25 + 2 * 10
    special = 0
    right = bottom = 0
    for c in KEYBOARD_DESCRIPTION:
        if c == "|":
            x, y = 10, y + 25
        elif c in "@ ":
            w = int(25 * SPECIAL_FACTORS[special])
            specials[SPECIAL_NAMES[special]] = (x, y, x + w, y + 25)
            special += 1
            x += w
            bottom = max(bottom, y + 25)
        else:
            for _ in range(int(c, 16)):
                keys.append((x, y, x + 25, y + 25))
                x += 25
        right = max(right, x)
    return dict(zip(KEY_CHARS, keys)), specials, (right + 10, bottom + 25 + 10)


# --- the X display ----------------------------------------------------------------------------


def run(args, timeout=WAIT, check_rc=True, **kw):
    r = subprocess.run(args, capture_output=True, text=True, timeout=timeout, **kw)
    if check_rc and r.returncode != 0:
        raise Abort(f"{' '.join(map(str, args))} failed: {r.stderr.strip()}")
    return r.stdout


def xdo(*args, **kw):
    return run(["xdotool", *map(str, args)], **kw)


def wait_for(what, probe, timeout=WAIT, interval=0.1):
    deadline = time.monotonic() + timeout
    while True:
        value = probe()
        if value:
            return value
        if time.monotonic() > deadline:
            raise Abort(f"{what} did not happen within {timeout:.0f} s")
        time.sleep(interval)


def visible_windows(cls):
    out = xdo("search", "--onlyvisible", "--class", f"^{cls}$", check_rc=False)
    return [int(w) for w in out.split()]


def window_title(win):
    out = run(["xprop", "-id", str(win), "-notype", "_NET_WM_NAME"], check_rc=False,
              env={**os.environ, "LC_ALL": "C.UTF-8"})
    m = re.search(r'_NET_WM_NAME = "(.*)"', out)
    return m[1] if m else ""


def geometry(win):
    """Client area on the screen: x, y, width, height."""
    out = run(["xwininfo", "-id", str(win)])
    get = lambda k: int(re.search(rf"{k}:\s+(-?\d+)", out)[1])  # noqa: E731
    return (get("Absolute upper-left X"), get("Absolute upper-left Y"), get("Width"), get("Height"))


def frame_extents(win):
    out = run(["xprop", "-id", str(win), "_NET_FRAME_EXTENTS"], check_rc=False)
    m = re.search(r"= (\d+), (\d+), (\d+), (\d+)", out)
    return tuple(int(v) for v in m.groups()) if m else (0, 0, 0, 0)


def move_pointer(x, y):
    # xdotool's --sync waits for a motion, and there is none when the pointer is already there.
    here = re.search(r"x:(\d+) y:(\d+)", xdo("getmouselocation"))
    if here and (int(here[1]), int(here[2])) == (x, y):
        return
    xdo("mousemove", "--sync", x, y)


class Window:
    def __init__(self, win):
        self.id = win
        self.x, self.y, self.w, self.h = geometry(win)
        self.title = window_title(win)

    def refresh(self):
        self.x, self.y, self.w, self.h = geometry(self.id)

    def alive(self):
        return self.id in visible_windows_any()

    def click(self, x, y):
        """A click at a point of the client area."""
        move_pointer(self.x + x, self.y + y)
        xdo("click", "1")

    def click_rect(self, rect):
        x, y, w, h = rect
        self.click(x + w // 2, y + h // 2)

    def focused(self):
        return xdo("getwindowfocus", check_rc=False).strip() == str(self.id)

    def focus(self):
        """Activates the window through the window manager, as a click on its frame would."""
        if self.focused():
            return
        xdo("windowactivate", self.id, check_rc=False)
        wait_for(f"the focus on '{self.title}'", self.focused)

    def type(self, s):
        self.focus()
        xdo("type", "--delay", "40", "--", s)

    def key(self, name):
        self.focus()
        xdo("key", name)


def visible_windows_any():
    """The visible windows of the script host and of the native messaging host."""
    return visible_windows("veriquill(-nm)?")


def wait_window(title, before=(), timeout=WAIT):
    """A newly visible window of the component with exactly this title."""
    def probe():
        for w in visible_windows_any():
            if w not in before and window_title(w) == title:
                try:
                    return settled(w)
                except Abort:
                    continue
        return None
    return wait_for(f"the window '{title}'", probe, timeout)


def wait_new_window(what, before, timeout=WAIT):
    """The first window of the component that was not visible before (titles of Qt's own
    dialogs and of message boxes without a caption are not the component's texts)."""
    def probe():
        # A window that goes away as it appears (Qt may map a dialog and remake it) is not the
        # one: look again.
        for w in visible_windows_any():
            if w not in before:
                try:
                    return settled(w)
                except Abort:
                    continue
        return None
    return wait_for(what, probe, timeout)


def settled(win):
    # The window manager maps the frame first; the geometry settles once it is placed.
    if win not in visible_windows_any():
        raise Abort(f"window {win} went away as it appeared")
    prev = None
    for _ in range(20):
        g = geometry(win)
        if g == prev:
            break
        prev = g
        time.sleep(0.05)
    return Window(win)


def wait_gone(win, timeout=WAIT):
    wait_for(f"'{win.title}' to close", lambda: win.id not in visible_windows_any(), timeout)


class Screen:
    """A screenshot of the whole display (import -window root), with its pixels."""

    def __init__(self, path):
        run([IMPORT, "-window", "root", str(path)])
        ppm = subprocess.run([CONVERT, str(path), "-depth", "8", "ppm:-"], capture_output=True,
                             timeout=WAIT, check=True).stdout
        fields = ppm.split(maxsplit=4)
        if fields[0] != b"P6":
            raise Abort("the screenshot is not a P6 picture")
        self.width, self.height = int(fields[1]), int(fields[2])
        self.data = fields[4]
        self.path = path

    def pixel(self, x, y):
        i = (y * self.width + x) * 3
        return tuple(self.data[i:i + 3])

    def region(self, x, y, w, h):
        return bytes(b for row in range(y, y + h)
                     for b in self.data[((row * self.width) + x) * 3:((row * self.width) + x + w) * 3])

    def save_window(self, win, out):
        """The window with its frame and title bar."""
        left, right, top, bottom = frame_extents(win.id)
        run([CONVERT, str(self.path), "-crop",
             f"{win.w + left + right}x{win.h + top + bottom}+{win.x - left}+{win.y - top}",
             "+repage", str(out)])


def dark_pixels(screen, win, rect):
    x, y, w, h = rect
    data = screen.region(win.x + x, win.y + y, w, h)
    return sum(1 for i in range(0, len(data), 3) if sum(data[i:i + 3]) < 3 * 100)


# --- the component ----------------------------------------------------------------------------


class Session:
    """One `veriquill run --ui=qt` page script."""

    def __init__(self, env, tool, work, name, lines):
        self.name = name
        self.script = work / f"{name}.vqs"
        self.script.write_text("\n".join(lines) + "\n", encoding="utf-8")
        self.transcript = work / f"{name}.jsonl"
        self.err = open(work / f"{name}.err", "w")
        self.proc = subprocess.Popen([tool, "run", "--ui=qt", "--transcript", self.transcript,
                                      self.script], env=env, cwd=work / "keys", stdout=subprocess.PIPE,
                                     stderr=self.err, text=True, start_new_session=True)

    def finish(self, timeout=WAIT):
        try:
            out, _ = self.proc.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            os.killpg(self.proc.pid, signal.SIGKILL)
            out, _ = self.proc.communicate()
            check(f"{self.name}: the run ended by itself", False, "killed after the timeout")
        self.err.close()
        return out.splitlines()

    def events(self):
        if not self.transcript.exists():
            return []
        return [json.loads(line) for line in self.transcript.read_text(encoding="utf-8").splitlines()]

    def kill(self):
        if self.proc.poll() is None:
            os.killpg(self.proc.pid, signal.SIGKILL)
            self.proc.wait()


def hexs(s, encoding="iso-8859-2"):
    return s.encode(encoding).hex().upper()


def verify(pub, order_hex, signature_hex, work, name):
    order, sig = work / f"{name}.order", work / f"{name}.sig"
    order.write_bytes(bytes.fromhex(order_hex))
    sig.write_bytes(bytes.fromhex(signature_hex))
    r = subprocess.run(["openssl", "dgst", "-sha256", "-verify", pub, "-signature", sig, order],
                       capture_output=True, text=True, timeout=WAIT)
    return r.returncode == 0 and "Verified OK" in r.stdout


def header_bands(screen, win, table, column_x):
    """The colour runs down one pixel column of the order table: 'H' header colour, 'W' white,
    each with its length; other colours (grid, header section, frame) separate them."""
    x, y, w, h = table
    runs = []
    for row in range(y, y + h):
        p = screen.pixel(win.x + column_x, win.y + row)
        kind = "H" if p == (223, 235, 255) else "W" if p == (255, 255, 255) else None
        if runs and runs[-1][0] == kind:
            runs[-1][1] += 1
        else:
            runs.append([kind, 1])
    return [(k, n) for k, n in runs if k]


# --- the scenarios ----------------------------------------------------------------------------


class Desktop:
    def __init__(self, build, work, shots):
        self.build, self.work, self.shots = build, work, shots
        self.tool = build / "hosts/veriquill/veriquill"
        keytool = build / "hosts/keytool/veriquill-keytool"
        self.env = {k: v for k, v in os.environ.items()
                    if not k.startswith(("QT_", "VERIQUILL_")) and k not in ("WAYLAND_DISPLAY",)}
        runtime = work / "runtime"
        runtime.mkdir(mode=0o700)
        self.env.update({"VERIQUILL_HKLM": str(work / "machine.reg"),
                         "VERIQUILL_HKCU": str(work / "user.reg"),
                         "XDG_CONFIG_HOME": str(work / "config"), "XDG_RUNTIME_DIR": str(runtime),
                         "QT_QPA_PLATFORM": "xcb", "LANG": "C.UTF-8"})
        run([self.tool, "register"], env=self.env)
        run([self.tool, "reg", "set", r"HKLM\SOFTWARE\Brantwell\SmartCard\Components",
             "GemPCKey USB", "1"], env=self.env)
        self.pem, self.pub = work / "user.pem", work / "user.pub.pem"
        run(["openssl", "genrsa", "-out", self.pem, "1024"])
        run(["openssl", "rsa", "-in", self.pem, "-pubout", "-out", self.pub])
        self.password = "Haslo-2026"
        self.keys = work / "keys"
        self.keys.mkdir()
        self.key_file = self.keys / "firma.prv"
        self.fingerprint = run([keytool, "create", self.pem, self.key_file],
                               input=self.password + "\n").strip()
        self.units = None

    def session(self, name, lines):
        return Session(self.env, self.tool, self.work, name, lines)

    def shot(self, name, win=None, doc=False, until=None, timeout=5.0):
        """A screenshot; with `until`, screenshots are taken until it holds for one or the time is
        up, as the window paints a moment after the input that changed it. With `doc` also a
        picture for the documentation: the window with its frame, or the whole display."""
        deadline = time.monotonic() + timeout
        while True:
            screen = Screen(self.work / f"{name}.png")
            if not until or until(screen) or time.monotonic() > deadline:
                break
            time.sleep(0.1)
        if self.shots and doc and win:
            screen.save_window(win, self.shots / f"x11-{name}.png")
        elif self.shots and doc:
            shutil.copy(screen.path, self.shots / f"x11-{name}.png")
        return screen

    def declare(self, name, language, kind_lines=()):
        return [f"SetLanguage({language})", *kind_lines,
                f'SetKey("k1", "{hexs(name)}", "{self.fingerprint}", 1)']

    def expect_signature(self, name, lines, order_hex):
        result = lines[-1] if lines else ""
        code, _, rest = result.partition("|")
        key, _, sig = rest.partition("|")
        check(f"{name}: Sign returns 0 with the key", code == "0" and key == "k1", result)
        check(f"{name}: openssl verifies the signature over the order bytes",
              code == "0" and verify(self.pub, order_hex, sig, self.work, name))

    def sign_dialog_checks(self, name, win, language, password_in_dialog, orders, doc=False):
        require(f"{name}: the signing dialog's title", win.title == text(297, language), win.title)
        if self.units is None:
            self.units = units_from_sign_dialog(win.w, win.h)
            require(f"{name}: the dialog's size fits the template in some font", self.units,
                    f"{win.w}x{win.h}")
        u = self.units
        top, height = sign_layout(u, password_in_dialog)
        check(f"{name}: the window is as wide as the template and as high as its rows",
              (win.w, win.h) == (u.x(TEMPLATES[210]["size"][0]), height), f"{win.w}x{win.h}, "
              f"expected {u.x(TEMPLATES[210]['size'][0])}x{height}")
        # The dialog comes to the top with the keyboard focus, ready for the password.
        try:
            wait_for("the focus", win.focused, timeout=5)
        except Abort:
            pass
        check(f"{name}: the dialog has the keyboard focus when it opens", win.focused())
        tx, _, tw, th = u.rect(210, 204)

        def rows(screen):
            # Header rows and the empty area below the rows are shaded, order rows white; every
            # row is as high as the first.
            bands = header_bands(screen, win, (tx, top["table"], tw, th), tx + tw - 12)
            row = bands[0][1] if bands else 0
            shown = [(k, n // row if row and n % row == 0 else n / max(row, 1)) for k, n in bands[:-1]]
            return bands, shown == orders and bands[-1][0] == "H"
        screen = self.shot(name, win, doc, until=lambda sc: rows(sc)[1])
        bands, ok = rows(screen)
        check(f"{name}: the order table shades its header rows and the empty area", ok, bands)
        return top

    def sign_button(self, top):
        x, _, w, h = self.units.rect(210, 1)
        return (x, top["buttons"], w, h)

    # Sign in variant 0: the password is asked in its own prompt.
    def sign_prompted(self):
        name, language = "sign-v0-en", 1
        # A key name long enough to put the prompt on two lines.
        key_name = "Firma Kowalski i Wspólnicy, rachunek główny 2026"
        order = ("_ZLECENIE_|a:Odbiorca:Jan Kowalski|b:Kwota:100,00 PLN|"
                 "_ZLECENIE_|a:Odbiorca:Anna Nowak|b:Tytuł:Czynsz\r\ngrudzień|")
        order_hex = hexs(order)
        s = self.session(name, [*self.declare(key_name, language),
                                f'SetKeyLocation("k1", "{hexs(str(self.key_file), "utf-8")}")',
                                f'Sign("|k1|", "k1", "{order_hex}")'])
        try:
            win = wait_window(text(297, language))
            top = self.sign_dialog_checks(name, win, language, False, [("H", 1), ("W", 2), ("H", 1), ("W", 3)],
                                          doc=True)
            check(f"{name}: no password row in this variant",
                  "password" not in top)
            win.click_rect(self.sign_button(top))
            prompt = wait_window(text(312, language))
            u = self.units
            rows, height = password_layout(u, 2)
            check(f"{name}: the prompt takes two lines for a long key name",
                  (prompt.w, prompt.h) == (u.x(TEMPLATES[201]["size"][0]), height),
                  f"{prompt.w}x{prompt.h}, expected {u.x(TEMPLATES[201]['size'][0])}x{height}")
            # OK on an empty field: the length message; the prompt stays.
            ok = u.rect(201, 1)
            prompt.click_rect((ok[0], rows["buttons"], ok[2], ok[3]))
            box = wait_window(text(312, language), before=[prompt.id])
            self.shot("password-too-short-en", win, doc=True)  # the stack of windows
            box.key("Return")
            wait_gone(box)
            check(f"{name}: the prompt stays open after the message", prompt.alive())
            # The click on OK took the focus: the user clicks into the field again.
            edit = u.rect(201, 201)
            prompt.click_rect((edit[0], rows["edit"], edit[2], edit[3]))
            field = (edit[0] + 3, rows["edit"] + 3, edit[2] - 6, edit[3] - 6)
            empty = dark_pixels(Screen(self.work / "prompt-empty.png"), prompt, field)
            prompt.type(self.password)
            enough = empty + 3 * len(self.password)
            screen = self.shot("password-typed-en", prompt, doc=True,
                               until=lambda sc: dark_pixels(sc, prompt, field) > enough)
            typed = dark_pixels(screen, prompt, field)
            check(f"{name}: the typed password shows as masks", typed > enough,
                  f"{empty} dark pixels before, {typed} after")
            prompt.key("Return")
            lines = s.finish()
        finally:
            s.kill()
        self.expect_signature(name, lines, order_hex)
        messages = [e for e in s.events() if e.get("event") == "message"]
        check(f"{name}: the length message was shown once and answered OK",
              [(m["text"], m["caption"], m["answer"]) for m in messages]
              == [(text(246, language), text(312, language), 1)], messages)

    def click_keys(self, kb, sequence):
        """Clicks on the on-screen keyboard: characters of the unshifted layout or special keys
        by name."""
        keys, specials, _ = keyboard_layout()
        for k in sequence:
            left, top, right, bottom = specials[k] if k in specials else keys[k]
            kb.click((left + right) // 2, (top + bottom) // 2)
            # A second click on the same key must not become a double click of the first.
            time.sleep(0.05)

    def keyboard_checks(self, name, kb, language):
        _, _, extent = keyboard_layout()
        check(f"{name}: the keyboard's title", kb.title == text(315, language), kb.title)
        check(f"{name}: the keyboard measures {extent[0]} by {extent[1]}",
              (kb.w, kb.h) == extent, f"{kb.w}x{kb.h}")

    # Sign in variant 1: the password row is in the signing dialog; the user types the password
    # on the on-screen keyboard the row's button opens, then clicks Sign.
    def sign_in_dialog(self):
        name, language = "sign-v1-pl", 0
        order = "_ZLECENIE_|a:Odbiorca:Spółdzielnia Mieszkaniowa|b:Kwota:1 250,00 PLN|"
        order_hex = hexs(order)
        s = self.session(name, ["page function componentWKPEvent",
                                *self.declare("Firma", language, ["SetSignDialogType(2)"]),
                                f'SetKeyLocation("k1", "{hexs(str(self.key_file), "utf-8")}")',
                                f'Sign("|k1|", "k1", "{order_hex}")'])
        try:
            win = wait_window(text(297, language))
            top = self.sign_dialog_checks(name, win, language, True, [("H", 1), ("W", 2)])
            u = self.units
            # First a wrong password, typed into the field that has the focus: the message, and
            # the dialog stays for another try.
            win.type("zle-haslo")
            win.click_rect(self.sign_button(top))
            box = wait_new_window("the wrong password message", [win.id])
            self.shot(name + "-wrong", box)
            box.key("Return")
            wait_gone(box)
            check(f"{name}: the dialog stays open after a wrong password", win.alive())
            ex, _, ew, eh = u.rect(210, 213)
            field = (ex + 3, top["password"] + 6 + 3, ew - 6, eh - 6)
            wiped = dark_pixels(Screen(self.work / "wiped.png"), win, field)
            # Collapse hides the order and the window shrinks; Expand brings both back.
            expand = u.rect(210, 232)
            for expanded in (False, True):
                win.click_rect(expand)
                want = sign_layout(u, True, expanded)[1]
                try:
                    wait_for("the new size", lambda: (win.refresh(), win.h == want)[1], timeout=5)
                except Abort:
                    pass
                check(f"{name}: {'Expand' if expanded else 'Collapse'} makes the window {want} high",
                      win.h == want, win.h)
                if not expanded:
                    self.shot(name + "-collapsed", win, doc=True)
            kx, _, kw, kh = u.rect(210, 3)
            win.click_rect((kx, top["password"], kw, kh))
            kb = wait_window(text(315, language))
            self.keyboard_checks(name, kb, language)
            # Haslo-2026: Shift acts on one character only.
            self.click_keys(kb, ["shift", "h", "a", "s", "l", "o", "-", "2", "0", "2", "6", "enter"])
            wait_gone(kb)
            screen = self.shot(name + "-typed", win, doc=True,
                               until=lambda sc: dark_pixels(sc, win, field) > 3 * len(self.password))
            typed = dark_pixels(screen, win, field)
            check(f"{name}: the keyboard's ten characters are in the field",
                  typed > 3 * len(self.password), f"{wiped} dark pixels before, {typed} after")
            win.click_rect(self.sign_button(top))
            lines = s.finish()
        finally:
            s.kill()
        self.expect_signature(name, lines, order_hex)
        events = s.events()
        opened = [e["id"] for e in events if e.get("event") == "dialog-open"]
        check(f"{name}: no password prompt besides the dialog and the keyboard", opened == [210, 202],
              opened)
        calls = [e["args"] for e in events if e.get("event") == "page-call"]
        check(f"{name}: the wrong password called the page's componentWKPEvent once",
              calls == [["", "k1", "Firma", "1"]], calls)
        messages = [(e["text"], e["icon"]) for e in events if e.get("event") == "message"]
        check(f"{name}: the wrong password was told as an error", messages == [(text(571, language), "error")],
              messages)

    # ShowKeyboard with Shift, Alt, Alt with Shift, Caps Lock and Backspace.
    def keyboard(self):
        name, language = "keyboard-en", 1
        s = self.session(name, [f"SetLanguage({language})", *["ShowKeyboard()"] * 4])
        try:
            kb = wait_window(text(315, language))
            self.keyboard_checks(name, kb, language)
            keys, specials, _ = keyboard_layout()
            def edge(screen, k):  # a pixel of the key's top bevel
                left, top, right, _ = specials[k] if k in specials else keys[k]
                return screen.pixel(kb.x + (left + right) // 2, kb.y + top + 1)
            BLACK, WHITE, GREY = (0, 0, 0), (255, 255, 255), (160, 160, 160)
            modifiers = ("shift", "shift2", "alt", "alt2")
            before = self.shot("kb-before", until=lambda sc: sc.pixel(kb.x + 4, kb.y + kb.h - 4) == GREY)
            check(f"{name}: the keyboard is drawn on grey with raised keys",
                  before.pixel(kb.x + 4, kb.y + kb.h - 4) == GREY
                  and [edge(before, k) for k in modifiers] == [WHITE] * 4,
                  [before.pixel(kb.x + 4, kb.y + kb.h - 4), *[edge(before, k) for k in modifiers]])
            self.click_keys(kb, ["shift"])
            pressed = [BLACK, BLACK, WHITE, WHITE]
            shifted = self.shot("keyboard-shift-en", kb, doc=True,
                                until=lambda sc: [edge(sc, k) for k in modifiers] == pressed)
            check(f"{name}: both Shift keys are drawn pressed, the Alt keys raised",
                  [edge(shifted, k) for k in modifiers] == pressed,
                  [edge(shifted, k) for k in modifiers])

            def label(screen, k):
                left, top, right, bottom = keys[k]
                return screen.region(kb.x + left + 5, kb.y + top + 5, right - left - 10,
                                     bottom - top - 10)
            check(f"{name}: Shift changes the labels of letters and digits",
                  label(before, "a") != label(shifted, "a") and label(before, "1") != label(shifted, "1"))
            self.click_keys(kb, ["a", "alt", "e", "alt", "shift", "z", "b", "shift", "1", "lock", "q",
                                 "lock", "x", "bsp", "space", "alt"])
            alt = [WHITE, WHITE, BLACK, BLACK]
            on = self.shot("kb-alt", until=lambda sc: [edge(sc, k) for k in modifiers] == alt)
            check(f"{name}: Alt shows pressed on both Alt keys", [edge(on, k) for k in modifiers] == alt)
            self.click_keys(kb, ["l"])
            after = self.shot("kb-after", until=lambda sc: [edge(sc, k) for k in modifiers] == [WHITE] * 4)
            check(f"{name}: Shift and Alt are off again after one character",
                  [edge(after, k) for k in modifiers] == [WHITE] * 4)
            self.click_keys(kb, ["enter"])
            wait_gone(kb)
            # The window manager's close (Alt+F4 in openbox) cancels.
            kb = wait_window(text(315, language))
            self.click_keys(kb, ["x"])
            kb.key("alt+F4")
            wait_gone(kb)
            # Enter on the physical keyboard confirms.
            kb = wait_window(text(315, language))
            self.click_keys(kb, ["q"])
            kb.key("Return")
            wait_gone(kb)
            # Leaving the window with the button held on Enter confirms too.
            kb = wait_window(text(315, language))
            self.click_keys(kb, ["w"])
            left, top, right, bottom = specials["enter"]
            move_pointer(kb.x + (left + right) // 2, kb.y + (top + bottom) // 2)
            xdo("mousedown", "1")
            try:
                move_pointer(kb.x + kb.w + 40, kb.y + kb.h + 40)
                wait_gone(kb)
            finally:
                xdo("mouseup", "1")
            lines = s.finish()
        finally:
            s.kill()
        check(f"{name}: ShowKeyboard returns the clicked text", lines[1:2] == ["0|AęŻb!Q ł"], lines)
        check(f"{name}: closing the window cancels with 8", lines[2:3] == ["8"], lines)
        check(f"{name}: Enter on the keyboard of the computer confirms", lines[3:4] == ["0|q"], lines)
        check(f"{name}: leaving the window while holding Enter confirms", lines[4:5] == ["0|w"], lines)

    # A key file whose location is not known: the warning, the file dialog with the key's name,
    # the password; the location is remembered once the signature is made. (The path is plain
    # ASCII: xdotool types other letters by remapping a key for a moment, and under load Qt may
    # read the key before the new mapping, so such letters get lost.)
    def sign_unknown_location(self):
        name, language = "sign-find-file-en", 1
        order = "_ZLECENIE_|a:Odbiorca:Jan Kowalski|"
        order_hex = hexs(order)
        folder = self.keys / "klucze"
        folder.mkdir()
        target = folder / "Firma.prv"
        shutil.copy(self.key_file, target)
        # The key's location from the earlier runs is forgotten.
        run([self.tool, "reg", "delete", r"HKCU\Software\Brantwell\Marlow\Keys", "k1"], env=self.env)
        s = self.session(name, [*self.declare("Firma", language), f'Sign("|k1|", "k1", "{order_hex}")',
                                'GetKeyLocation("k1")'])
        try:
            win = wait_window(text(297, language))
            top = self.sign_dialog_checks(name, win, language, False, [("H", 1), ("W", 1)])
            win.click_rect(self.sign_button(top))
            box = wait_new_window("the warning", [win.id])
            self.shot(name + "-warning", box, doc=True)
            box.key("Return")
            wait_gone(box)
            dialog = wait_new_window("the file dialog", [win.id])
            self.shot(name + "-dialog", dialog)
            # The name field holds the key's name; the user replaces it with the full path.
            dialog.key("ctrl+a")
            dialog.type(str(target))
            dialog.key("Return")
            wait_gone(dialog)
            prompt = wait_window(text(312, language), before=[win.id])
            prompt.type(self.password)
            prompt.key("Return")
            lines = s.finish()
        finally:
            s.kill()
        self.expect_signature(name, lines[:-1], order_hex)
        check(f"{name}: the chosen file's location is remembered after the signature",
              lines[-1:] == [f"0|{hexs(str(target), 'utf-8')}00"], lines[-1:])
        events = [(e["event"], e.get("icon"), e.get("caption"), e.get("text"), e.get("default-name"))
                  for e in s.events() if e["event"] in ("message", "file-dialog")]
        check(f"{name}: a warning without caption, then the file dialog with the key's name",
              events == [("message", "warning", "", text(553, language) + "(plik Firma.prv)", None),
                         ("file-dialog", None, None, None, "Firma")], events)

    # ChangeKeyLocation: the path is typed into Qt's file dialog; a second dialog is cancelled.
    def change_location(self):
        name, language = "change-location-en", 1
        folder = self.work / "other folder"
        folder.mkdir()
        target = folder / "firma 2.prv"
        shutil.copy(self.key_file, target)
        s = self.session(name, [*self.declare("Firma", language), 'ChangeKeyLocation("k1")',
                                'GetKeyLocation("k1")', 'ChangeKeyLocation("k1")',
                                'GetKeyLocation("k1")'])
        try:
            dialog = wait_new_window("the file dialog", [])
            self.shot(name, dialog, doc=True)
            dialog.type(str(target))
            dialog.key("Return")
            wait_gone(dialog)
            second = wait_new_window("the second file dialog", [])
            second.key("Escape")
            lines = s.finish()
        finally:
            s.kill()
        path_hex = hexs(str(target), "utf-8")
        check(f"{name}: ChangeKeyLocation returns the typed path",
              lines[2:4] == [f"0|{path_hex}", f"0|{path_hex}00"], lines)
        check(f"{name}: a cancelled file dialog gives 8 and keeps the location",
              lines[4:6] == ["8", f"0|{path_hex}00"], lines)
        dialogs = [e for e in s.events() if e.get("event") == "file-dialog"]
        check(f"{name}: the file dialog shows every file and does not validate",
              [(d["filter"], d["flags"]) for d in dialogs] == [("", 0x100)] * 2, dialogs)

    # A page of the bank in Chromium; veriquill-nm shows its windows on this display.
    def browser(self):
        name = "chromium-nm"
        chromium = Path(os.environ.get("VQ_CHROMIUM", "/usr/bin/chromium"))
        browser_dir = SOURCE / "hosts/browser"
        if not chromium.exists() or not shutil.which("node"):
            check(f"{name}: Chromium and Node.js are installed (scripts/setup)", False)
            return
        if not (browser_dir / "node_modules/playwright-core/package.json").exists():
            run(["npm", "ci", "--no-audit", "--no-fund", "--loglevel=error"], timeout=180,
                cwd=browser_dir, env={**os.environ, "PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD": "1"})
        config = self.work / "demo-config.json"
        config.write_text(json.dumps({"keyId": self.fingerprint, "keyName": "Firma Łódź",
                                      "keyPath": str(self.key_file)}))
        env = {**self.env, "VERIQUILL_NM_UI": "qt",
               "VERIQUILL_NM_LOG": str(self.work / "nm.log"),
               "VERIQUILL_NM_TRANSCRIPT": str(self.work / "nm.jsonl")}
        page = subprocess.Popen(["node", HERE / "nm_page.mjs", self.build, self.work, config],
                                env=env, stdout=subprocess.PIPE, stderr=open(self.work / "page.err", "w"),
                                text=True, start_new_session=True)
        events = queue.Queue()
        threading.Thread(target=lambda: [events.put(json.loads(line)) for line in page.stdout],
                         daemon=True).start()

        def next_event(timeout):
            try:
                return events.get(timeout=timeout)
            except queue.Empty:
                raise Abort("the page said nothing within the time") from None
        try:
            e = next_event(60)
            require(f"{name}: the page declared its key and called Sign", e["event"] == "signing", e)
            language = e["language"]
            win = wait_window(text(297, language), timeout=30)
            check(f"{name}: the host's window belongs to veriquill-nm",
                  win.id in visible_windows("veriquill-nm"))
            # The page's order: its header row and four records.
            top = self.sign_dialog_checks(name, win, language, False, [("H", 1), ("W", 4)])
            self.shot(name + "-page", doc=True)  # the whole display: the page behind, the dialog in front
            win.click_rect(self.sign_button(top))
            # The prompt's keyboard button; a valid entry on the on-screen keyboard closes the
            # prompt at once.
            prompt = wait_window(text(312, language))
            rows, height = password_layout(self.units, 1)
            check(f"{name}: the prompt has one line for a short key name",
                  (prompt.w, prompt.h) == (self.units.x(TEMPLATES[201]["size"][0]), height),
                  f"{prompt.w}x{prompt.h}")
            bx, _, bw, bh = self.units.rect(201, 3)
            prompt.click_rect((bx, rows["edit"], bw, bh))
            kb = wait_window(text(315, language))
            self.click_keys(kb, ["shift", "h", "a", "s", "l", "o", "-", "2", "0", "2", "6", "enter"])
            wait_gone(kb)
            wait_gone(prompt)
            e = next_event(30)
            require(f"{name}: the page got Sign's result", e["event"] == "result", e)
            code, _, rest = e["result"].partition("|")
            key, _, sig = rest.partition("|")
            check(f"{name}: Sign from the page returns a signature that openssl verifies",
                  code == "0" and key == self.fingerprint
                  and verify(self.pub, e["order"], sig, self.work, name), e["result"])
            page.wait(timeout=30)
        finally:
            if page.poll() is None:
                os.killpg(page.pid, signal.SIGKILL)
                page.wait()


def start_display(work):
    """Xvfb on a free display number and openbox on it; returns the processes."""
    read, write = os.pipe()
    xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write), "-screen", "0", "1280x900x24",
                             "-nolisten", "tcp", "-noreset"], pass_fds=(write,),
                            stderr=open(work / "xvfb.log", "w"), start_new_session=True)
    os.close(write)
    # Xvfb writes the number and then a line end; the pipe stays open until both are read.
    number, deadline = b"", time.monotonic() + WAIT
    while not number.endswith(b"\n") and time.monotonic() < deadline:
        ready, _, _ = select.select([read], [], [], max(0.0, deadline - time.monotonic()))
        chunk = os.read(read, 16) if ready else b""
        if not chunk:
            break
        number += chunk
    os.close(read)
    number = number.decode().strip()
    if not number:
        raise Abort("Xvfb did not start: " + (work / "xvfb.log").read_text()[-500:])
    os.environ["DISPLAY"] = f":{number}"
    wm = subprocess.Popen(["openbox", "--sm-disable"], stdout=subprocess.DEVNULL,
                          stderr=open(work / "openbox.log", "w"), start_new_session=True,
                          env={**os.environ, "XDG_CONFIG_HOME": str(work / "config")})
    wait_for("the window manager", lambda: "window id" in run(
        ["xprop", "-root", "_NET_SUPPORTING_WM_CHECK"], check_rc=False))
    return [wm, xvfb]


def main():
    args = sys.argv[1:]
    if not args:
        print(__doc__)
        return 2
    build = Path(args[0]).resolve()
    shots = Path(args[args.index("--shots") + 1]).resolve() if "--shots" in args else None
    missing = [p for p, ok in [("xvfb", shutil.which("Xvfb")), ("xdotool", shutil.which("xdotool")),
                               ("openbox", shutil.which("openbox")),
                               ("x11-utils", shutil.which("xwininfo") and shutil.which("xprop")),
                               ("imagemagick", os.access(IMPORT, os.X_OK) and os.access(CONVERT, os.X_OK))]
               if not ok]
    if missing:
        print(f"SKIP: missing Debian packages {' '.join(missing)} (scripts/setup installs them)")
        return SKIP
    for exe in ("hosts/veriquill/veriquill", "hosts/nm/veriquill-nm", "hosts/keytool/veriquill-keytool"):
        if not (build / exe).exists():
            print(f"FAIL {build / exe} is not built")
            return 1
    def too_long(*_):
        raise Abort(f"the test ran over {TOTAL} s")
    signal.signal(signal.SIGALRM, too_long)
    signal.alarm(TOTAL)
    if shots:
        shots.mkdir(parents=True, exist_ok=True)
    work = Path(tempfile.mkdtemp(prefix="vq-x11-"))
    started = time.monotonic()
    procs = []
    try:
        procs = start_display(work)
        desktop = Desktop(build, work, shots)
        for scenario in (desktop.sign_prompted, desktop.sign_in_dialog, desktop.sign_unknown_location,
                         desktop.keyboard, desktop.change_location, desktop.browser):
            t = time.monotonic()
            try:
                scenario()
            except (Abort, subprocess.TimeoutExpired) as e:
                check(f"{scenario.__name__} ran to its end", False, e)
                Screen(work / f"failed-{scenario.__name__}.png")
            print(f"     {scenario.__name__}: {time.monotonic() - t:.1f} s", flush=True)
            # A scenario that failed may leave windows behind; none may reach the next one.
            for w in visible_windows_any():
                xdo("windowclose", w, check_rc=False)
            try:
                wait_for("the windows to go", lambda: not visible_windows_any(), timeout=5)
            except Abort as e:
                check("no window is left from the scenario", False, e)
    except Abort as e:
        check("the display started", False, e)
    finally:
        signal.alarm(0)
        for p in procs:
            if p.poll() is None:
                os.killpg(p.pid, signal.SIGTERM)
                try:
                    p.wait(timeout=5)
                except subprocess.TimeoutExpired:
                    os.killpg(p.pid, signal.SIGKILL)
    print(f"     {time.monotonic() - started:.1f} s in all")
    if failed:
        print(f"work files kept in {work}")
    else:
        shutil.rmtree(work, ignore_errors=True)
    print(f"{passed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
