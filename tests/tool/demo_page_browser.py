#!/usr/bin/env python3
"""The demo page in a real browser.

Runs `corvane-voicemod demo` into a fresh folder, opens its index.html from
the file system in headless Chromium, and checks that the page has a player
for the input and for every voice the tool lists, that each player's audio
decodes to its end at the input's duration, that every picture has
loaded at its stated size, and that nothing was logged as an error (console,
uncaught exception, or the browser's own log, where failed loads appear).

The browser is driven through the DevTools protocol over a pipe
(--remote-debugging-pipe: NUL-separated JSON on file descriptors 3 and 4),
so nothing but Python's standard library is needed and no port is opened.

Usage: demo_page_browser.py TOOL BROWSER WORK_DIR
Exit status: 0 passed, 1 failed, 77 no browser (ctest counts it skipped).
"""
import fcntl
import json
import os
import select
import shutil
import subprocess
import sys
import time
import wave
from pathlib import Path

SKIP = 77
DEADLINE_SECONDS = 180

# Every player is loaded in full and played to its end, muted and at 16x, so
# that the whole file is decoded, not just its header.
CHECK_PAGE = r"""
(async () => {
  const waitFor = (element, events, seconds) => new Promise(resolve => {
    const timer = setTimeout(() => resolve('timeout'), seconds * 1000);
    for (const name of events)
      element.addEventListener(name, () => { clearTimeout(timer); resolve(name); }, { once: true });
  });
  const audios = await Promise.all([...document.querySelectorAll('audio')].map(async a => {
    a.muted = true;
    a.preload = 'auto';
    if (a.readyState < 1) await waitFor(a, ['loadedmetadata', 'error'], 60);
    const duration = a.duration;
    let played = 'not started';
    if (!a.error) {
      a.playbackRate = 16;
      try {
        const ended = waitFor(a, ['ended', 'error'], 90);
        await a.play();
        played = await ended;
      } catch (e) { played = 'play() refused: ' + e; }
    }
    return { src: a.getAttribute('src'), duration, played, currentTime: a.currentTime,
             error: a.error ? a.error.code + ' ' + a.error.message : null };
  }));
  const images = [...document.images].map(i => ({
    src: i.getAttribute('src'), complete: i.complete, naturalWidth: i.naturalWidth,
    naturalHeight: i.naturalHeight, width: Number(i.getAttribute('width')),
    height: Number(i.getAttribute('height')) }));
  return JSON.stringify({ audios, images });
})()
"""


class Browser:
    """Chromium with the DevTools protocol on a pipe."""

    def __init__(self, executable, profile, log):
        to_browser_read, self.to_browser = os.pipe()
        self.from_browser, from_browser_write = os.pipe()

        # The child's descriptors 3 and 4 become the pipe's ends; pass_fds
        # keeps them open there (descriptors are closed after preexec_fn).
        def descriptors():
            ends = [fcntl.fcntl(fd, fcntl.F_DUPFD, 10) for fd in (to_browser_read, from_browser_write)]
            os.dup2(ends[0], 3)
            os.dup2(ends[1], 4)

        # Headless as root needs --no-sandbox; the rest keeps it off the network.
        flags = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 "--disable-default-apps", "--disable-dev-shm-usage", "--mute-audio",
                 "--autoplay-policy=no-user-gesture-required",
                 "--user-data-dir=" + str(profile), "--remote-debugging-pipe", "about:blank"]
        # Its messages go to a file: a pipe nobody reads could fill and stall it.
        self.log = log
        with open(log, "wb") as messages:
            self.process = subprocess.Popen([executable] + flags, stdin=subprocess.DEVNULL,
                                            stdout=messages, stderr=subprocess.STDOUT,
                                            preexec_fn=descriptors, pass_fds=(3, 4))
        os.close(to_browser_read)
        os.close(from_browser_write)
        self.buffer = b""
        self.next_id = 0
        self.events = []

    def send(self, method, params=None, session=None):
        self.next_id += 1
        message = {"id": self.next_id, "method": method, "params": params or {}}
        if session:
            message["sessionId"] = session
        os.write(self.to_browser, json.dumps(message).encode() + b"\0")
        return self.next_id

    def receive(self, deadline):
        while b"\0" not in self.buffer:
            left = deadline - time.monotonic()
            if left <= 0:
                raise TimeoutError("no answer from the browser in time")
            ready, _, _ = select.select([self.from_browser], [], [], left)
            if ready:
                chunk = os.read(self.from_browser, 1 << 16)
                if not chunk:
                    raise RuntimeError("the browser closed its pipe: " +
                                       Path(self.log).read_text(errors="replace")[-2000:])
                self.buffer += chunk
        message, self.buffer = self.buffer.split(b"\0", 1)
        return json.loads(message)

    def call(self, method, params=None, session=None, deadline=None):
        wanted = self.send(method, params, session)
        while True:
            message = self.receive(deadline)
            if message.get("id") == wanted:
                if "error" in message:
                    raise RuntimeError(f"{method}: {message['error']}")
                return message["result"]
            self.events.append(message)

    def wait_event(self, method, deadline):
        for i, event in enumerate(self.events):
            if event.get("method") == method:
                return self.events.pop(i)
        while True:
            message = self.receive(deadline)
            if message.get("method") == method:
                return message
            self.events.append(message)

    def close(self):
        try:
            self.send("Browser.close")
            self.process.wait(timeout=10)
        except Exception:
            self.process.kill()
            self.process.wait()
        os.close(self.to_browser)
        os.close(self.from_browser)


def wav_seconds(path):
    with wave.open(str(path), "rb") as w:
        return w.getnframes() / w.getframerate()


def errors_in(events):
    found = []
    for e in events:
        method, params = e.get("method"), e.get("params", {})
        if method == "Runtime.consoleAPICalled" and params.get("type") in ("error", "assert"):
            found.append("console." + params["type"] + ": " +
                         " ".join(str(a.get("value", a.get("description"))) for a in params.get("args", [])))
        elif method == "Runtime.exceptionThrown":
            found.append("exception: " + json.dumps(params.get("exceptionDetails", {}))[:500])
        elif method == "Log.entryAdded" and params.get("entry", {}).get("level") == "error":
            entry = params["entry"]
            found.append(f"log ({entry.get('source')}): {entry.get('text')} {entry.get('url', '')}")
    return found


def main():
    if len(sys.argv) != 4:
        print(__doc__, file=sys.stderr)
        return 2
    tool, browser, work = sys.argv[1], sys.argv[2], Path(sys.argv[3])
    executable = shutil.which(browser) if browser else None
    if not executable:
        print(f"no browser ({browser or 'none found'}): skipped")
        return SKIP
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir(parents=True)
    out = work / "demo-out"
    demo = subprocess.run([tool, "demo", str(out), "-q"],
                          capture_output=True, text=True)
    if demo.returncode != 0:
        print(f"demo failed ({demo.returncode}): {demo.stderr}")
        return 1
    voices = subprocess.run([tool, "voices"], capture_output=True, text=True, check=True).stdout.splitlines()

    deadline = time.monotonic() + DEADLINE_SECONDS
    page = (out / "index.html").resolve().as_uri()
    chromium = Browser(executable, work / "profile", work / "browser.log")
    try:
        target = chromium.call("Target.createTarget", {"url": "about:blank"}, deadline=deadline)["targetId"]
        session = chromium.call("Target.attachToTarget", {"targetId": target, "flatten": True},
                                deadline=deadline)["sessionId"]
        for domain in ("Runtime", "Log", "Page"):
            chromium.call(domain + ".enable", session=session, deadline=deadline)
        chromium.call("Page.navigate", {"url": page}, session=session, deadline=deadline)
        chromium.wait_event("Page.loadEventFired", deadline)
        result = chromium.call("Runtime.evaluate", {"expression": CHECK_PAGE, "awaitPromise": True,
                                                    "returnByValue": True}, session=session,
                               deadline=deadline)
        if "exceptionDetails" in result:
            print("the check itself failed:", json.dumps(result["exceptionDetails"])[:1000])
            return 1
        found = json.loads(result["result"]["value"])
        time.sleep(0.5)  # let late log entries arrive
        try:
            while True:
                chromium.events.append(chromium.receive(time.monotonic() + 0.2))
        except TimeoutError:
            pass
        logged = errors_in(chromium.events)
    finally:
        chromium.close()

    problems = []
    audios, images = found["audios"], found["images"]
    if len(audios) != len(voices) + 1:
        problems.append(f"{len(audios)} players for the input and {len(voices)} voices")
    for a in audios:
        src = a["src"]
        file = out / src
        if not file.is_file():
            problems.append(f"player {src}: no such file")
            continue
        # Every render is aligned with the input and as long as it.
        expected = wav_seconds(out / "input.wav")
        if a["error"] or a["played"] != "ended":
            problems.append(f"player {src}: {a['error'] or 'did not play to its end: ' + a['played']}")
        if not (abs(a["duration"] - expected) < 0.002 and abs(a["currentTime"] - expected) < 0.05):
            problems.append(f"player {src}: duration {a['duration']} s, ended at {a['currentTime']} s;"
                            f" the input lasts {expected:.3f} s")
    if len(images) != len(audios):
        problems.append(f"{len(images)} pictures for {len(audios)} players")
    for i in images:
        if not (i["complete"] and i["naturalWidth"] == i["width"] > 0 and i["naturalHeight"] == i["height"] > 0):
            problems.append(f"picture {i['src']} not loaded at its size: {i}")
    problems += logged
    seconds = sum(a["duration"] for a in audios if isinstance(a["duration"], (int, float)))
    print(f"{len(audios)} players ({seconds:.1f} s of audio played through), {len(images)} pictures,"
          f" {len(logged)} errors logged")
    for p in problems:
        print("FAILED:", p)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
