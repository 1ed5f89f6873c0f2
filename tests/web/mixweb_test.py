#!/usr/bin/python3
"""The browser console as a person meets it: the bridge (tools/mixweb) with the real engine, and
its page in a headless Chromium driven by Selenium, heard through the page's own monitor meter (an
AnalyserNode after the listen worklet).

    mixweb_test.py MIXWEB ENGINE OUT_DIR [unittest options]

OUT_DIR receives the screenshot of the console (mixweb-console.png). Figures measured on the way
(fader-to-meter time, jitter buffer) are printed.
"""
import asyncio
import json
import math
import os
import re
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import wave

import aiohttp
from selenium import webdriver
from selenium.common.exceptions import WebDriverException
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import Select

MIXWEB, ENGINE, OUT_DIR = sys.argv[1:4]
CHROMIUM = "/usr/lib/chromium/chromium"
CHROMEDRIVER = "/usr/bin/chromedriver"


def wait_for(probe, seconds=20.0, every=0.1):
    """Polls until probe() returns something true; returns it (or the last value)."""
    deadline = time.monotonic() + seconds
    while True:
        value = probe()
        if value or time.monotonic() > deadline:
            return value
        time.sleep(every)


def db(x):
    return 20 * math.log10(x) if x and x > 0 else -math.inf


class Bridge:
    """mixweb with the real engine; its URL from the first line it prints."""

    def __init__(self, *engine_options):
        args = [MIXWEB, "--engine", ENGINE]
        if engine_options:
            args += ["--"] + list(engine_options)
        self.proc = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                     text=True)
        self.first = self.proc.stdout.readline()
        match = re.search(r"(http://127\.0\.0\.1:(\d+))/([\w-]+)/", self.first)
        self.url = match.group(0) if match else None
        self.origin = match.group(1) if match else None
        self.port = int(match.group(2)) if match else None

    def engine_pid(self):
        with open(f"/proc/{self.proc.pid}/task/{self.proc.pid}/children") as f:
            children = f.read().split()
        return int(children[0]) if children else None

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
        try:
            status = self.proc.wait(15)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            status = self.proc.wait()
        rest, err = self.proc.communicate()
        self.stderr = err
        return status


class Tap:
    """A second client of the bridge, in a thread of its own: keeps every line with the time it
    came, so that the tests read the engine's own meter lines."""

    def __init__(self, bridge, origin=None, query=""):
        self.lines = []
        self.binary = 0
        self.lock = threading.Lock()
        self.url = bridge.url + "ws" + query
        self.origin = origin or bridge.origin
        self.loop = asyncio.new_event_loop()
        self.ready = threading.Event()
        self.thread = threading.Thread(target=self.loop.run_until_complete, args=(self.run(),),
                                       daemon=True)
        self.thread.start()
        self.ready.wait(10)

    async def run(self):
        async with aiohttp.ClientSession() as session:
            async with session.ws_connect(self.url, headers={"Origin": self.origin}) as ws:
                self.ws = ws
                self.ready.set()
                async for msg in ws:
                    if msg.type == aiohttp.WSMsgType.TEXT:
                        with self.lock:
                            self.lines.append((time.monotonic(), json.loads(msg.data)))
                    elif msg.type == aiohttp.WSMsgType.BINARY:
                        self.binary += 1

    def send(self, cmd):
        asyncio.run_coroutine_threadsafe(self.ws.send_str(json.dumps(cmd)), self.loop).result(5)

    def since(self, t0, kind="m"):
        with self.lock:
            return [m for t, m in self.lines if t >= t0 and m.get("t") == kind]

    def close(self):
        asyncio.run_coroutine_threadsafe(self.ws.close(), self.loop).result(5)
        self.thread.join(5)
        self.loop.close()


def meters_for(tap, seconds):
    t0 = time.monotonic()
    time.sleep(seconds)
    return tap.since(t0)


class Browser:
    """Headless Chromium with a profile, HOME and download folder of its own."""

    def __init__(self):
        self.home = tempfile.mkdtemp(prefix="mixweb-chromium-")
        self.downloads = os.path.join(self.home, "downloads")
        os.makedirs(self.downloads)
        opts = webdriver.ChromeOptions()
        opts.binary_location = CHROMIUM
        for a in ("--headless=new", "--no-sandbox", "--autoplay-policy=no-user-gesture-required",
                  f"--user-data-dir={self.home}/profile", "--window-size=1600,1240",
                  "--disable-gpu", "--no-first-run", "--disable-background-timer-throttling",
                  "--disable-renderer-backgrounding"):
            opts.add_argument(a)
        opts.add_experimental_option("prefs", {"download.default_directory": self.downloads,
                                               "download.prompt_for_download": False})
        service = Service(CHROMEDRIVER, log_path=os.devnull,
                          env={**os.environ, "HOME": self.home})
        self.driver = webdriver.Chrome(service=service, options=opts)
        self.driver.execute_cdp_cmd("Browser.setDownloadBehavior",
                                    {"behavior": "allow", "downloadPath": self.downloads})

    def open(self, bridge):
        d = self.driver
        d.get(bridge.url)
        ok = wait_for(lambda: d.execute_script(
            "return !!(window.mixweb && window.mixweb.live.ready && window.mixweb.live.meters)"))
        assert ok, "the console never showed the engine's meters"
        return d

    def js(self, script, *args):
        return self.driver.execute_script(script, *args)

    def close(self):
        try:
            self.driver.quit()
        finally:
            shutil.rmtree(self.home, ignore_errors=True)


TONE = 0.25


def write_sines(folder, tones, seconds=4, rate=48000, amplitude=TONE):
    """One mono 16-bit track per frequency, ch01.wav onward: steady tones to measure gains with."""
    for k, f in enumerate(tones, 1):
        with wave.open(os.path.join(folder, f"ch{k:02d}.wav"), "wb") as w:
            w.setnchannels(1)
            w.setsampwidth(2)
            w.setframerate(rate)
            # Whole cycles, so the loop is seamless.
            n = int(round(seconds * f)) * rate // int(f) if f == int(f) else seconds * rate
            w.writeframes(b"".join(struct.pack("<h", int(amplitude * 32767 * math.sin(
                2 * math.pi * f * i / rate))) for i in range(n)))


browser = None


def setUpModule():
    global browser
    browser = Browser()


def tearDownModule():
    browser.close()


class Console(unittest.TestCase):
    """One bridge on eight simulated inputs for the cases that only need a running console."""

    @classmethod
    def setUpClass(cls):
        cls.bridge = Bridge("--sim", "--inputs", "8", "--outputs", "2")
        assert cls.bridge.url, cls.bridge.first
        cls.tap = Tap(cls.bridge)

    @classmethod
    def tearDownClass(cls):
        cls.tap.close()
        status = cls.bridge.stop()
        assert status == 0, status
        assert cls.bridge.stderr == "", cls.bridge.stderr

    def setUp(self):
        self.d = browser.open(self.bridge)

    def raw(self, cmd):
        """A command typed into the page's command line, as a person would."""
        self.d.find_element(By.CSS_SELECTOR, '[data-tab="log"]').click()
        box = self.d.find_element(By.ID, "raw-cmd")
        box.clear()
        box.send_keys(json.dumps(cmd) + "\n")

    def strip(self, n):
        return self.d.find_element(By.CSS_SELECTOR, f'.strip[data-ch="in.{n}"]')

    def test_strips_match_the_inputs_and_a_fader_lowers_its_strip_by_its_db(self):
        shown = [e.get_attribute("data-ch") for e in
                 self.d.find_elements(By.CSS_SELECTOR, "#strips .strip")]
        self.assertEqual(shown, [f"in.{n}" for n in range(1, 9)])
        self.d.find_element(By.CSS_SELECTOR, '[data-tab="patch"]').click()
        Select(self.d.find_element(By.CSS_SELECTOR, '[data-patch-out="0"]')).select_by_value(
            "in.5.post")

        # Output 1 plays strip 5 after its fader and "in" is the same strip before it, so their
        # ratio in one meter line is the fader's gain.
        def fader_db(lines):
            ratios = [db(m["out"][0] / m["in"][4]) for m in lines if m["in"][4] > 0.003]
            ratios.sort()
            return ratios[len(ratios) // 2] if ratios else None

        def unity():
            ratio = fader_db(meters_for(self.tap, 0.5))
            return ratio is not None and abs(ratio) < 0.1

        before = wait_for(unity)
        self.assertTrue(before, "output 1 never followed strip 5")
        for target in (-12.0, -3.5):
            box = self.strip(5).find_element(By.CLASS_NAME, "fader-db")
            box.clear()
            t0 = time.monotonic()
            box.send_keys(f"{target}\n")
            first = wait_for(lambda: next(
                (t for t, m in list(self.tap.lines) if t > t0 and m.get("t") == "m"
                 and m["in"][4] > 0.003 and abs(db(m["out"][0] / m["in"][4]) - target) < 0.3),
                None), seconds=10)
            self.assertTrue(first, f"the fader at {target} dB never showed in the meters")
            print(f"fader {target} dB: first changed meter line after {(first - t0) * 1000:.0f} ms"
                  " (WebDriver typing included)")
            settled = fader_db(meters_for(self.tap, 0.6))
            self.assertAlmostEqual(settled, target, delta=0.2)
        self.assertIn("-3.5", self.strip(5).find_element(By.CLASS_NAME, "fader-db")
                      .get_attribute("value"))

    def test_a_practice_howl_is_listed_and_its_notch_drawn_on_the_analyser(self):
        self.raw({"t": "patch", "ins": [], "outs": ["main.l", "main.r"]})
        Select(self.d.find_element(By.ID, "rta-src")).select_by_value("main")
        panel = self.d.find_element(By.ID, "fba-panel")
        panel.find_element(By.CSS_SELECTOR, '[data-target="main"]').click()
        on = panel.find_element(By.CSS_SELECTOR, "input.sec-on")
        if not on.is_selected():
            on.click()
        panel.find_element(By.CLASS_NAME, "howl").click()
        row = wait_for(lambda: self.d.find_elements(By.CSS_SELECTOR, '#fba-live [data-notch]'))
        self.assertTrue(row, "no notch in the feedback panel")
        self.assertEqual(row[0].get_attribute("data-notch"), "630")
        # The notch line is drawn on the analyser at 630 Hz in its own colour.
        colour = self.d.execute_script("""
            const c = document.getElementById('rta'), g = c.getContext('2d');
            const x = Math.round(Math.log(630 / 20) / Math.log(1000) * c.width);
            const px = g.getImageData(x - 1, 30, 3, 1).data;
            return [px[0], px[1], px[2], px[4], px[5], px[6], px[8], px[9], px[10]];""")
        self.assertIn((255, 77, 109), [tuple(colour[i:i + 3]) for i in (0, 3, 6)], colour)
        # Resetting removes it from both.
        panel.find_element(By.XPATH, './/button[text()="Reset notches"]').click()
        self.assertTrue(wait_for(lambda: not self.d.find_elements(
            By.CSS_SELECTOR, '#fba-live [data-notch]')))
        self.raw({"t": "fba", "target": "main", "cfg": {"on": False}})
        self.raw({"t": "patch", "ins": list(range(32)), "outs": ["main.l", "main.r"]})

    def test_listening_follows_main_within_a_db_without_underruns_and_a_muted_strip_is_silent(self):
        # Main well below full scale, so that neither the meter nor the stream clips.
        box = self.d.find_element(By.CSS_SELECTOR, '.strip[data-ch="main"] .fader-db')
        box.clear()
        box.send_keys("-12\n")
        self.assertTrue(wait_for(lambda: self.d.execute_script(
            "return mixweb.listener.stats.primed && mixweb.listener.running")),
            "the listen stream never started playing")
        time.sleep(0.5)  # what is played lags the meters by the jitter buffer
        # Ten seconds without an underrun. The machine may be shared and loaded: a window with
        # underruns is reported and tried again, twice at most.
        # The page notes main's meter lines by its own clock, as the listener notes what it played.
        browser.js("""window.metered = []; mixweb.socket().addEventListener('message', (e) => {
            if (typeof e.data === 'string' && e.data.startsWith('{"amix"'))
              metered.push([performance.now(), Math.max(...JSON.parse(e.data).main)]); });""")
        windows, checked = [], 0
        for _ in range(3):
            gaps = ("const s = mixweb.listener.stats;"
                    "return [s.underruns, s.trims, s.overflows, mixweb.live.audioDropped || 0]")
            start = browser.js(gaps)
            begin = browser.js("return performance.now()")
            time.sleep(10.0)
            stats = browser.js("return mixweb.listener.stats")
            played, metered, latency = browser.js(
                "return [mixweb.listener.played, metered, mixweb.listener.latencyMs()]")
            windows.append(browser.js(gaps)[0] - start[0])
            print(f"jitter buffer {stats['avgMs']:.1f} ms (target {stats['targetMs']} ms), "
                  f"underruns {windows[-1]} in 10 s, trims {stats['trims']}, output at "
                  f"{browser.js('return mixweb.listener.ctx.sampleRate')} Hz")
            if browser.js(gaps) != start:  # a gap in what was played may hide a peak
                continue
            # What is heard at time t was metered about one listen latency before: the loudest
            # peak heard in 2 s lies between the loudest metered in that span shifted by the
            # latency, narrowed and widened by 300 ms.
            diffs = []
            for k in range(4):
                t0, t1 = begin + 1000 + 2000 * k, begin + 3000 + 2000 * k
                heard = db(max(p for t, p in played if t0 <= t < t1))
                inner = db(max(p for t, p in metered if t0 + 300 <= t + latency < t1 - 300))
                outer = db(max(p for t, p in metered if t0 - 300 <= t + latency < t1 + 300))
                diffs.append((heard - outer, heard - inner))
            print("played minus metered main, dB, per 2 s:",
                  " ".join(f"{a:+.2f}/{b:+.2f}" for a, b in diffs))
            for below_outer, above_inner in diffs:
                self.assertLess(below_outer, 1.0, diffs)
                self.assertGreater(above_inner, -1.0, diffs)
            checked += 1
            if windows[-1] == 0:
                break
        # The buffer kept its target range (a clean run may still sit a little above it).
        self.assertGreaterEqual(stats["avgMs"], 40)
        self.assertLessEqual(stats["avgMs"], 100)
        self.assertEqual(windows[-1], 0, f"underruns in each 10 s: {windows}")
        self.assertGreater(checked, 0, "no 10 s without a gap in what was played")

        strip = self.strip(3)
        strip.find_element(By.CSS_SELECTOR, '[data-tgl="MUTE"]').click()
        if browser.js("return mixweb.state.listen.pfl"):
            self.d.find_element(By.ID, "listen-mode").click()
        strip.find_element(By.CSS_SELECTOR, '[data-tgl="L"]').click()
        self.assertEqual(self.d.find_element(By.ID, "listen-src").text, "in.3 AFL")
        time.sleep(0.5)
        browser.js("mixweb.listener.takePeak('test')")
        time.sleep(1.0)
        self.assertEqual(max(browser.js("return mixweb.listener.takePeak('test')")), 0.0)
        # Before its fader the same strip is heard again.
        self.d.find_element(By.ID, "listen-mode").click()
        time.sleep(0.5)
        browser.js("mixweb.listener.takePeak('test')")
        self.assertTrue(wait_for(lambda: max(browser.js("return mixweb.listener.takePeak('test')")) > 0.01,
                                 seconds=5))
        strip.find_element(By.CSS_SELECTOR, '[data-tgl="L"]').click()
        strip.find_element(By.CSS_SELECTOR, '[data-tgl="MUTE"]').click()
        box = self.d.find_element(By.CSS_SELECTOR, '.strip[data-ch="main"] .fader-db')
        box.clear()
        box.send_keys("0\n")

    def test_zz_screenshot_of_the_console_with_meters_moving(self):
        self.d.find_element(By.CSS_SELECTOR, '[data-tab="exercises"]').click()
        Select(self.d.find_element(By.ID, "exercise")).select_by_visible_text(
            next(o.text for o in Select(self.d.find_element(By.ID, "exercise")).options
                 if "compression" in o.text.lower()))
        self.d.find_element(By.ID, "exercise-apply").click()
        self.strip(2).find_element(By.CSS_SELECTOR, ".name").click()
        moving = wait_for(lambda: len({json.dumps(m["in"][:8]) for m in meters_for(self.tap, 0.3)}) > 3)
        self.assertTrue(moving, "the meters do not move")
        self.assertTrue(wait_for(lambda: browser.js(
            "return !!mixweb.live.rta && document.getElementById('eq-curve').dataset.total > 0")))
        time.sleep(1.5)
        path = os.path.join(OUT_DIR, "mixweb-console.png")
        self.assertTrue(self.d.save_screenshot(path))
        print("screenshot:", path)


class Security(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.bridge = Bridge("--sim", "--inputs", "2", "--outputs", "2")
        cls.token = cls.bridge.url.rstrip("/").rsplit("/", 1)[1]

    @classmethod
    def tearDownClass(cls):
        cls.bridge.stop()

    def request(self, path, origin=None, upgrade=False):
        """Status of one raw HTTP request (the path sent exactly as given)."""
        headers = [f"GET {path} HTTP/1.1", f"Host: 127.0.0.1:{self.bridge.port}"]
        if upgrade:
            headers += ["Connection: Upgrade", "Upgrade: websocket", "Sec-WebSocket-Version: 13",
                        "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ=="]
        if origin:
            headers.append(f"Origin: {origin}")
        with socket.create_connection(("127.0.0.1", self.bridge.port), timeout=10) as s:
            s.sendall(("\r\n".join(headers) + "\r\n\r\n").encode())
            return int(s.recv(4096).split()[1])

    def test_the_page_and_the_socket_need_the_token_and_the_pages_own_origin(self):
        t, good = self.token, self.bridge.origin
        cases = [  # path, origin, upgrade, status
            (f"/{t}/", None, False, 200),
            (f"/{t}/console.js", None, False, 200),
            ("/", None, False, 403),
            ("/favicon.ico", None, False, 403),
            (f"/{t[:-1]}{'A' if t[-1] != 'A' else 'B'}/", None, False, 403),
            (f"/{t}/../../tools/mixweb", None, False, 403),
            (f"/{t}/%2e%2e%2fmixweb", None, False, 404),
            (f"/{t}/ws", good, True, 101),
            (f"/{t}/ws", None, True, 403),
            (f"/{t}/ws", "http://evil.example", True, 403),
            (f"/{t}/ws", "http://127.0.0.1:1", True, 403),
            ("/ws", good, True, 403),
            (f"/x{t}/ws", good, True, 403),
        ]
        for path, origin, upgrade, status in cases:
            with self.subTest(path=path, origin=origin):
                self.assertEqual(self.request(path, origin, upgrade), status)

    def test_a_page_on_another_origin_cannot_open_the_socket(self):
        # A page from another local server tries the bridge's socket, token and all.
        ws_url = self.bridge.url.replace("http:", "ws:") + "ws"
        html = (f"<script>const w = new WebSocket({json.dumps(ws_url)});"
                "w.onopen = () => document.title = 'open';"
                "w.onclose = () => document.title = document.title || 'refused';</script>")
        server = socket.socket()
        server.bind(("127.0.0.1", 0))
        server.listen()

        def serve():
            conn, _ = server.accept()
            conn.recv(4096)
            body = html.encode()
            conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: "
                         + str(len(body)).encode() + b"\r\nConnection: close\r\n\r\n" + body)
            conn.close()

        threading.Thread(target=serve, daemon=True).start()
        d = browser.driver
        d.get(f"http://127.0.0.1:{server.getsockname()[1]}/")
        self.assertEqual(wait_for(lambda: d.title), "refused")
        server.close()
        d.get(self.bridge.origin + "/")
        self.assertIn("Forbidden", d.find_element(By.TAG_NAME, "body").text)

    def test_each_page_message_is_one_command_or_refused_with_a_reply(self):
        tap = Tap(self.bridge)
        try:
            smuggle = '{"t":"rta","src":"main\\n{\\"t\\":\\"quit\\"}"}'
            cases = [  # message, refused
                ("not json", True),
                ("[1, 2]", True),
                ('"quit"', True),
                ('{"t":"loud","src":"main"}\n{"t":"quit"}', True),
                ('{"t":"main","s":{"fader":NaN}}', True),
                ('{"t":"strip","s":{"x":"' + "y" * (1 << 20) + '"}}', True),
                (b'{"t":"quit"}', True),
                (smuggle, False),
                ('  {"t":"loud",\n "src":"main"}  ', False),
            ]
            for message, refused in cases:
                with self.subTest(message=message[:60]):
                    t0 = time.monotonic()
                    if isinstance(message, bytes):
                        asyncio.run_coroutine_threadsafe(tap.ws.send_bytes(message),
                                                         tap.loop).result(5)
                    else:
                        asyncio.run_coroutine_threadsafe(tap.ws.send_str(message),
                                                         tap.loop).result(5)
                    got = wait_for(lambda: tap.since(t0, "bridge.refused"), seconds=1.0)
                    self.assertEqual(bool(got), refused, got)
            # The line feed stayed inside the source's name: one "rta" command, no "quit".
            t0 = time.monotonic()
            self.assertTrue(wait_for(lambda: any(m.get("src") == "main\n{\"t\":\"quit\"}"
                                                 for m in tap.since(t0, "rta"))))
            self.assertTrue(wait_for(lambda: tap.since(t0 + 0.5)))
            self.assertIsNone(self.bridge.proc.poll())
        finally:
            tap.close()

    def stalled(self, query=""):
        """A client with a tiny receive buffer that reads nothing until told to."""
        slow = socket.socket()
        slow.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        slow.connect(("127.0.0.1", self.bridge.port))
        slow.sendall((f"GET /{self.token}/ws{query} HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                      "Connection: Upgrade\r\nUpgrade: websocket\r\nSec-WebSocket-Version: 13\r\n"
                      "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                      f"Origin: {self.bridge.origin}\r\n\r\n").encode())
        return slow

    @staticmethod
    def drain(slow, until_seen, seconds=3.0):
        slow.settimeout(0.5)
        received = bytearray()
        until = time.monotonic() + seconds
        while time.monotonic() < until and until_seen not in received:
            try:
                chunk = slow.recv(1 << 16)
            except socket.timeout:
                continue
            if not chunk:
                break
            received += chunk
        slow.close()
        return bytes(received)

    def test_a_page_that_stops_reading_loses_meters_and_audio_but_not_events(self):
        reader, listener = Tap(self.bridge), Tap(self.bridge, query="?audio")
        reader.send({"t": "listen", "src": "main"})
        reader.send({"t": "rta", "src": "main"})
        slow_lines, slow_audio = self.stalled(), self.stalled("?audio")
        t0 = time.monotonic()
        time.sleep(3.0)  # longer than the socket buffers on the way hold
        reader.send({"t": "fba.cut", "target": "mono", "f": 1500})  # an event for every page
        time.sleep(1.0)
        # The pages that read kept their pace: 25 meter lines and 100 datagrams a second.
        seconds = time.monotonic() - t0
        self.assertGreater(len(reader.since(t0)), 0.7 * 25 * seconds)
        self.assertGreater(listener.binary, 0.7 * 100 * seconds)
        # Once the stalled ones read again, they hear that they fell behind, and get the event.
        lines = self.drain(slow_lines, b'"target":"mono"')
        audio = self.drain(slow_audio, b'"t":"bridge.lag"')
        reader.send({"t": "listen", "src": "off"})
        reader.send({"t": "rta", "src": "off"})
        reader.close()
        listener.close()
        self.assertTrue(re.search(rb'"t":"bridge.lag","lines":[1-9]', lines), "no lag notice")
        self.assertIn(b'"target":"mono"', lines[-100000:], "no event")  # the "fba" after the cut
        self.assertTrue(re.search(rb'"t":"bridge.lag","lines":0,"audio":[1-9]', audio),
                        "no notice of dropped audio")


class Curves(unittest.TestCase):
    """The curves the page draws are what the engine does: steady tones through a channel's
    filters, their level after the fader against before the equalisers, in the engine's meters."""

    def test_drawn_response_matches_the_engine_at_the_tones(self):
        folder = tempfile.mkdtemp(prefix="mixweb-tones-")
        tones = [1000, 150, 5000]
        write_sines(folder, tones)
        bridge = Bridge("--sim", "--inputs", "3", "--outputs", "3", "--files", folder)
        tap = Tap(bridge)
        try:
            d = browser.open(bridge)
            settings = [
                {"eq": [{"type": "peq", "f": 1000, "g": 6, "q": 1.4}],
                 "peq32": [{"type": "hshv", "f": 3000, "g": -4, "q": 0.7}]},
                {"hpf": {"f": 200, "slope": 18}, "eq": [["lshv", 120, 3, 0.7]]},
                {"eq": [{"type": "bp", "f": 4000, "q": 0.8}, {"type": "lcut", "f": 60}],
                 "geq": [0] * 24 + [-6, 3]},
            ]
            for i, s in enumerate(settings):
                # Typed into the page's command line: the page keeps the record and sends it.
                d.execute_script("""
                    const [i, s] = arguments; document.querySelector('#raw-cmd').value =
                      JSON.stringify({t: 'strip', i, s});
                    document.querySelector('#raw button').click();""", i, s)
            tap.send({"t": "patch", "ins": [0, 1, 2],
                      "outs": ["in.1.post", "in.2.post", "in.3.post"]})
            time.sleep(0.6)
            lines = meters_for(tap, 1.0)
            for i, f in enumerate(tones):
                d.execute_script("mixweb.live.selected = arguments[0]", f"in.{i + 1}")
                drawn = d.execute_script(f"""
                    return import('./dsp.js').then(dsp => {{
                      const rec = mixweb.state.strips[{i}], fs = mixweb.state.rate;
                      const st = [...dsp.designHpf(rec.hpf, fs), ...dsp.designBands(rec.eq, fs),
                        ...dsp.designBands(rec.peq32, fs), ...dsp.designGraphic(rec.geq, fs)];
                      return dsp.responseDb(st, {f}, fs); }});""")
                # "in" is taken after the high-pass: the tone's own level is the reference.
                measured = sorted(db(m["out"][i] / TONE) for m in lines)
                measured = measured[len(measured) // 2]
                self.assertAlmostEqual(drawn, measured, delta=0.25,
                                       msg=f"strip {i + 1} at {f} Hz: drawn {drawn:.2f} dB, "
                                           f"engine {measured:.2f} dB")
        finally:
            tap.close()
            bridge.stop()
            shutil.rmtree(folder, ignore_errors=True)

    def test_design_facts_in_the_page(self):
        cases = [  # (stages, frequency, expected dB, tolerance)
            ('designBands([{type:"peq",f:1000,g:0,q:1}], 48000)', 1000, 0.0, 1e-6),
            ('designBands([{type:"peq",f:2000,g:-9,q:3}], 48000)', 2000, -9.0, 0.01),
            ('designBands([{type:"lshv",f:100,g:6,q:0.7071}], 48000)', 100, 3.0, 0.01),
            ('designBands([{type:"hshv",f:4000,g:-8,q:0.7071}], 48000)', 4000, -4.0, 0.01),
            ('designHpf({f:100,slope:12}, 48000)', 100, -3.01, 0.02),
            ('designHpf({f:100,slope:24}, 48000)', 100, -3.01, 0.05),
            ('designHpf({f:100,slope:24}, 48000)', 50, -24.1, 0.2),
            ('designHpf({f:100,slope:18}, 48000)', 100, -3.01, 0.05),
            ('designBands([{type:"lcut",f:100,g:12,q:9}], 48000)', 100, -3.01, 0.02),
            ('designBands([{type:"HP",f:1000,g:5,q:1}], 48000)', 1000, 5.0, 0.01),
            ('designBands([{type:"bp",f:700,g:9}], 48000)', 700, 0.0, 0.01),
            ('designGraphic(Array(31).fill(0.049), 48000)', 1000, 0.0, 0),
            ('designGraphic([0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,4], 48000)', 1000, 4.0, 0.01),
        ]
        for expr, f, want, tol in cases:
            with self.subTest(expr=expr):
                got = browser.js(f"""
                    return import('{self.page}dsp.js').then(dsp =>
                      dsp.responseDb(dsp.{expr}, {f}, 48000));""")
                self.assertAlmostEqual(got, want, delta=tol + 1e-9)
        same = [  # two designs that must be one and the same filter
            ('designBands([{f:5,g:6}], 48000)', 'designBands([{f:10,g:6}], 48000)'),
            ('designBands([{f:30000,g:6}], 48000)', 'designBands([{f:48000/2.1,g:6}], 48000)'),
            ('designBands([{type:"lcut",f:90,g:12,q:9}], 48000)',
             'designBands([{type:"hp",f:90,q:Math.SQRT1_2}], 48000)'),
            ('designBands([{type:"peq",f:500,g:6,q:0}], 48000)',
             'designBands([{type:"peq",f:500,g:6,q:-3}], 48000)'),
            ('designBands([{f:500,g:6,q:NaN}], 48000)', 'designBands([{f:500,g:6,q:0.1}], 48000)'),
            ('designBands([{type:"anything",f:700,g:-4,q:3}], 48000)',
             'designBands([{f:700,g:-4,q:3}], 48000)'),
            ('designGraphic(Array(31).fill(0).fill(3, 29), 32000)', 'designGraphic([], 32000)'),
        ]
        for a, b in same:
            with self.subTest(a=a, b=b):
                got = browser.js(f"""return import('{self.page}dsp.js').then(dsp =>
                    JSON.stringify([dsp.{a}, dsp.{b}]));""")
                first, second = json.loads(got)
                self.assertEqual(first, second)
        # The compressor's static curve, at the gain computer's corners.
        for dyn, level, want in [({"thr": -20, "ratio": 4, "knee": 0}, -10, -10 - 7.5),
                                 ({"thr": -20, "ratio": 4, "knee": 6}, -20, -21.125),
                                 ({"thr": -20, "ratio": 4, "knee": 6}, -26, -26),
                                 ({"thr": -20, "ratio": 4, "knee": 6}, -14, -18.5),
                                 ({"thr": -50, "ratio": 3, "exp": True}, -60, -80),
                                 ({"thr": -20, "ratio": 4, "knee": 0, "mgain": 6, "mix": 50},
                                  -10, -10 + db(0.5 + 0.5 * 10 ** ((6 - 7.5) / 20)))]:
            with self.subTest(dyn=dyn, level=level):
                got = browser.js(f"""return import('{self.page}dsp.js').then(dsp =>
                    dsp.compressorOutDb({json.dumps(dyn)}, {level}));""")
                self.assertAlmostEqual(got, want, delta=0.05)

    @classmethod
    def setUpClass(cls):
        cls.bridge = Bridge("--sim", "--inputs", "1", "--outputs", "1")
        browser.open(cls.bridge)
        cls.page = cls.bridge.url

    @classmethod
    def tearDownClass(cls):
        cls.bridge.stop()


class Recordings(unittest.TestCase):
    def test_the_transport_pauses_and_seeks_the_recordings(self):
        folder = tempfile.mkdtemp(prefix="mixweb-tracks-")
        write_sines(folder, [440, 660], seconds=8)
        bridge = Bridge("--sim", "--inputs", "2", "--outputs", "2", "--files", folder)
        tap = Tap(bridge)
        try:
            d = browser.open(bridge)
            self.assertTrue(wait_for(lambda: d.find_element(By.ID, "transport").is_displayed()))
            self.assertIn("2 recordings", d.find_element(By.ID, "engine").text)
            t0 = time.monotonic()
            d.find_element(By.ID, "files-pause").click()
            self.assertTrue(wait_for(lambda: any(m.get("paused") for m in tap.since(t0, "files"))))
            self.assertTrue(wait_for(lambda: d.find_element(By.ID, "files-pause").text == "▶"))
            d.execute_script("const s = document.getElementById('files-seek'); s.value = 5;"
                             "s.dispatchEvent(new Event('change'));")
            self.assertTrue(wait_for(lambda: any(m.get("secs") == 5 for m in tap.since(t0, "files"))))
            self.assertEqual(d.find_element(By.ID, "files-pos").text, "0:05 / 0:08")
        finally:
            tap.close()
            bridge.stop()
            shutil.rmtree(folder, ignore_errors=True)

    def test_a_folder_without_recordings_is_named_in_the_page(self):
        bridge = Bridge("--sim", "--inputs", "2", "--files", "/nonexistent-recordings")
        try:
            d = browser.open(bridge)
            notice = wait_for(lambda: d.find_element(By.ID, "notice").is_displayed() and
                              d.find_element(By.ID, "notice").text)
            self.assertIn("No recording found to practise with", notice or "")
        finally:
            bridge.stop()


class Scenes(unittest.TestCase):
    def test_an_exercise_lands_and_a_saved_scene_gives_a_fresh_engine_the_same_meters(self):
        first = Bridge("--sim", "--inputs", "8", "--outputs", "2")
        tap = Tap(first)
        try:
            d = browser.open(first)
            before = meters_for(tap, 2.0)
            d.find_element(By.CSS_SELECTOR, '[data-tab="exercises"]').click()
            Select(d.find_element(By.ID, "exercise")).select_by_index(0)  # gain staging
            self.assertIn("Gain staging", d.find_element(By.ID, "exercise").text)
            d.find_element(By.ID, "exercise-apply").click()
            time.sleep(0.4)
            after = meters_for(tap, 2.0)
            # Its set-up changes the input gains: -12 dB on strip 1, +12 dB on strip 6.
            for i, change in ((0, -12), (5, 12)):
                peak_before = max(m["in"][i] for m in before)
                peak_after = max(m["in"][i] for m in after)
                self.assertAlmostEqual(db(peak_after) - db(peak_before), change, delta=2.0)
            self.assertEqual(d.find_element(By.CSS_SELECTOR, '.strip[data-ch="in.6"] .gain-db')
                             .text, "+12.0")
            # A person's own change on top, then the scene to a file.
            d.find_element(By.CSS_SELECTOR, '.strip[data-ch="in.4"] [data-tgl="MUTE"]').click()
            time.sleep(0.4)
            saved_meters = meters_for(tap, 2.0)
            d.find_element(By.ID, "scene-save").click()
            scene = wait_for(lambda: [f for f in os.listdir(browser.downloads)
                                      if f.endswith(".json")])
            self.assertTrue(scene, "no scene file was saved")
            path = os.path.join(browser.downloads, scene[0])
        finally:
            tap.close()
            first.stop()

        fresh = Bridge("--sim", "--inputs", "8", "--outputs", "2")
        tap = Tap(fresh)
        try:
            d = browser.open(fresh)
            untouched = meters_for(tap, 1.0)
            self.assertGreater(max(m["in"][3] for m in untouched), 0)
            d.find_element(By.ID, "scene-load").send_keys(path)
            self.assertTrue(wait_for(lambda: browser.js("return mixweb.state.strips[5].gain_db")
                                     == 12))
            time.sleep(0.4)
            loaded = meters_for(tap, 2.0)
            for key, i in [("in", k) for k in range(8)] + [("out", 0), ("out", 1)]:
                with self.subTest(meter=f"{key}[{i}]"):
                    a = max(m[key][i] for m in saved_meters)
                    b = max(m[key][i] for m in loaded)
                    if a == 0 or b == 0:
                        self.assertEqual(a, b)
                    else:
                        self.assertAlmostEqual(db(a), db(b), delta=2.0)
            # Strip 4 is muted: nothing of it reaches main (its meter is before the fader).
            self.assertIn("muted", d.find_element(By.CSS_SELECTOR, '.strip[data-ch="in.4"]')
                          .get_attribute("class").split())
        finally:
            tap.close()
            fresh.stop()
            os.remove(path)


class Ending(unittest.TestCase):
    def test_a_killed_engine_is_shown_in_the_page_and_the_bridge_exits_with_its_status(self):
        bridge = Bridge("--sim", "--inputs", "2", "--outputs", "2")
        d = browser.open(bridge)
        os.kill(bridge.engine_pid(), signal.SIGKILL)
        shown = wait_for(lambda: d.find_element(By.ID, "ended").is_displayed()
                         and d.find_element(By.ID, "ended").text)
        self.assertIn("SIGKILL", shown or "")
        self.assertEqual(bridge.proc.wait(10), 128 + signal.SIGKILL)
        out, err = bridge.proc.communicate()
        self.assertIn("SIGKILL", out)
        self.assertEqual(err, "")

    def test_ending_the_bridge_ends_the_engine_and_frees_its_port(self):
        for sig in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
            with self.subTest(signal=sig.name):
                bridge = Bridge("--sim", "--inputs", "2", "--outputs", "2")
                browser.open(bridge)
                engine = bridge.engine_pid()
                bridge.proc.send_signal(sig)
                self.assertEqual(bridge.proc.wait(10), 0)
                self.assertTrue(wait_for(lambda: not os.path.exists(f"/proc/{engine}")
                                         or open(f"/proc/{engine}/stat").read().split()[2] == "Z",
                                         seconds=5), "the engine outlived the bridge")
                with socket.socket() as s:
                    self.assertNotEqual(s.connect_ex(("127.0.0.1", bridge.port)), 0)
                self.assertEqual(bridge.proc.communicate()[1], "")

    def test_an_engine_that_cannot_start_gives_its_error_and_status(self):
        cases = [  # engine options, status, text the bridge prints
            (["--in", "No Such Stage Box", "--out", "Nothing"], 1, "not found"),
            (["--bogus"], 2, "Choose an audio input and output"),
        ]
        for options, status, text in cases:
            with self.subTest(options=options):
                bridge = Bridge(*options)
                self.assertEqual(bridge.proc.wait(20), status)
                out, err = bridge.proc.communicate()
                self.assertIn(text, bridge.first + out)
                self.assertEqual(err, "")
                self.assertIsNone(bridge.url)


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0]] + sys.argv[4:], verbosity=2)
