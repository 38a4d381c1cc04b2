#!/usr/bin/env python3
"""A hostile or broken receiver against the real Pikora, on loopback.

The receiver is played here, speaking docs/beamline-protocol.md itself (discovery and the
control link), so that it can misbehave in ways the receiver emulator never would. Pikora runs
as a process with the accessory emulator (paired with this receiver) on a simulated USB bus,
the desktop-services emulator on a private D-Bus and a private Xvfb for the pointer.

Usage: hostile_receiver.py BUILD_DIR SCENARIO
  messages   wrong-typed members in every receiver message Pikora handles: never a crash, an
             error answer for a malformed host-control question, the link stays up
  hello      a hello answer with out-of-range (or 32-bit-wrapping) parameters is not taken
  sizes      tiny maximum resolutions (1x1 first, then 2x2, 4x4, 64x2, 16x16): 1x1 cannot be
             encoded and is a failed start (no "notify-projection-started", no power
             assertions, the user is told); the others encode at even sizes, never a crash
  pointer    the receiver's pointer acts only between a granted start and its stop; a flood
             of pointer events is rate-limited and logged as counts
  start      a receiver that never answers the stream request does not leave Pikora deaf
Run under dbus-run-session (the ctest entry does that).
"""
import json
import os
import queue
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

RECEIVER_IP = "127.0.0.6"
ACCESSORY_IP = "127.0.0.7"
NAME = "Hostile-Receiver"


class Failure(Exception):
    pass


def wait_until(predicate, seconds, what):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if predicate():
            return
        time.sleep(0.05)
    raise Failure(f"timed out after {seconds} s waiting for {what}")


class Link:
    """One sender connected to the receiver: frames in and out, JSON-RPC on top."""

    def __init__(self, receiver, sock):
        self.receiver = receiver
        self.sock = sock
        self.lock = threading.Lock()
        self.closed = False
        self.media = []  # (type, width, height)
        self.responses = queue.Queue()
        self.next_id = 1000
        threading.Thread(target=self.read_loop, daemon=True).start()

    def send(self, message):
        body = b"\x01" + json.dumps(message).encode()
        with self.lock:
            try:
                self.sock.sendall(struct.pack("<I", len(body)) + body)
            except OSError:
                self.closed = True

    def notify(self, method, params):
        self.send({"jsonrpc": "2.0", "method": method, "params": params})

    def request(self, method, params):
        self.next_id += 1
        self.send({"jsonrpc": "2.0", "method": method, "params": params, "id": self.next_id})
        return self.next_id

    def respond(self, id, result=None, error=None):
        message = {"jsonrpc": "2.0", "id": id}
        if error is not None:
            message["error"] = {"code": error[0], "message": error[1]}
        else:
            message["result"] = result if result is not None else {}
        self.send(message)

    def close(self):
        self.closed = True
        try:
            self.sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self.sock.close()

    def read_exact(self, n):
        data = b""
        while len(data) < n:
            chunk = self.sock.recv(n - len(data))
            if not chunk:
                raise EOFError
            data += chunk
        return data

    def read_loop(self):
        try:
            while True:
                (length,) = struct.unpack("<I", self.read_exact(4))
                body = self.read_exact(length)
                kind = body[0]
                if kind == 1:
                    self.receiver.on_message(self, json.loads(body[1:]))
                elif kind == 2:
                    w, h = struct.unpack("<II", body[1:9])
                    self.media.append((2, w, h))
                elif kind == 3:
                    self.media.append((3, 0, 0))
        except (EOFError, OSError, ValueError):
            pass
        self.closed = True


class Receiver:
    """Discovery and control link; the scenario decides how it answers."""

    def __init__(self):
        self.udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.udp.bind((RECEIVER_IP, 0))
        self.tcp = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.tcp.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.tcp.bind((RECEIVER_IP, 0))
        self.tcp.listen(8)
        self.links = []
        self.requests = []  # (method, params, id, link)
        self.size = (1280, 720)
        self.hello_override = None  # a whole hello result, or None
        self.start_policy = "grant"  # grant | refuse | ignore | hold
        self.held_starts = []
        self.answer_pings = True
        self.fullscreen_answer = {"granted": True}
        threading.Thread(target=self.discovery_loop, daemon=True).start()
        threading.Thread(target=self.accept_loop, daemon=True).start()

    @property
    def discovery_port(self):
        return self.udp.getsockname()[1]

    @property
    def control_port(self):
        return self.tcp.getsockname()[1]

    def parameters(self):
        return {"controlPort": self.control_port, "h264": True, "maxWidth": self.size[0],
                "maxHeight": self.size[1], "conferenceVersion": 2}

    def describe(self):
        return {"hostName": NAME, "displayName": NAME, "deviceModel": "VistrelPro", "vendor": "vistrel",
                "srcvers": "9.9", "protocolVersion": 1, "parameters": self.parameters()}

    def discovery_loop(self):
        while True:
            data, peer = self.udp.recvfrom(2048)
            try:
                query = json.loads(data)
                if not isinstance(query, dict) or query.get("cmd") != "getEcho":
                    continue
            except ValueError:
                continue
            reply = dict(self.describe(), cmd="echo")
            # A reply counts only when it carries the token of the query it answers.
            if isinstance(query.get("token"), str):
                reply["token"] = query["token"]
            self.udp.sendto(json.dumps(reply).encode(), peer)

    def accept_loop(self):
        while True:
            sock, _ = self.tcp.accept()
            self.links.append(Link(self, sock))

    def link(self):
        live = [l for l in self.links if not l.closed]
        return live[-1] if live else None

    def count(self, method):
        return sum(1 for r in self.requests if r[0] == method)

    def on_message(self, link, message):
        if "method" not in message:
            link.responses.put(message)
            return
        method, params, id = message["method"], message.get("params"), message.get("id")
        self.requests.append((method, params, id, link))
        if id is None:
            return
        if method == "hello":
            if self.hello_override is not None:
                link.respond(id, self.hello_override)
            else:
                link.respond(id, dict(self.describe(), role=0, screenNumber=1, screenPosition=0))
        elif method == "startDisplay":
            if self.start_policy == "grant":
                link.respond(id, {"screenNumber": 1, "screenPosition": 1})
            elif self.start_policy == "refuse":
                link.respond(id, error=(1001, "Refused"))
            elif self.start_policy == "hold":
                self.held_starts.append((link, id))
            # "ignore": never answered
        elif method == "stopDisplay":
            link.respond(id, {})
        elif method == "ping":
            if self.answer_pings:
                link.respond(id, {})
        elif method == "requestFullscreen":
            link.respond(id, self.fullscreen_answer)
        else:
            link.respond(id, error=(-32601, "Method not found"))


class Road:
    """The real processes: desktop services, accessory emulator, Xvfb, Pikora."""

    def __init__(self, build, receiver):
        self.build = build
        self.work = tempfile.mkdtemp(prefix="pikora-hostile-")
        self.procs = []
        os.makedirs(f"{self.work}/usb")
        env = dict(os.environ)
        # One private bus stands in for both (the ctest entry runs us under dbus-run-session).
        env["DBUS_SYSTEM_BUS_ADDRESS"] = env.get("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent")
        self.env = env
        self.services = self.spawn("services", [f"{build}/tools/desktop-services-emulator/pikora-desktop-services-emulator"])
        wait_until(lambda: "serving" in self.log("services"), 10, "the desktop services")
        self.start_xvfb()
        port = free_port(ACCESSORY_IP)
        pairing = json.dumps({"ip_addr": RECEIVER_IP, "hostname": NAME, "ssid_5G": "HostileNet"})
        self.accessory = self.spawn("accessory", [
            f"{build}/tools/accessory-emulator/pikora-accessory-emulator", "--listen", ACCESSORY_IP, "--port",
            str(port), "--usb-sim", f"{self.work}/usb", "--pairing", pairing])
        pikora_env = dict(env, QT_QPA_PLATFORM="xcb", DISPLAY=self.display)
        self.pikora = self.spawn("pikora", [
            f"{build}/Pikora/Pikora", "--usb-sim", f"{self.work}/usb", "--accessory-address",
            f"{ACCESSORY_IP}:{port}", "--scan-target", RECEIVER_IP, "--discovery-port",
            str(receiver.discovery_port), "--capture", "test-pattern", "--settings", f"{self.work}/settings.ini"],
            env=pikora_env)

    def spawn(self, name, argv, env=None):
        out = open(f"{self.work}/{name}.log", "w")
        p = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=out, stderr=subprocess.STDOUT,
                             env=env or self.env, text=True)
        self.procs.append(p)
        return p

    def start_xvfb(self):
        read_fd, write_fd = os.pipe()
        xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write_fd), "-screen", "0", "1280x800x24",
                                 "-nolisten", "tcp"], pass_fds=(write_fd,), stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)
        self.procs.append(xvfb)
        os.close(write_fd)
        with os.fdopen(read_fd) as f:
            self.display = ":" + f.readline().strip()

    def log(self, name):
        try:
            with open(f"{self.work}/{name}.log", errors="replace") as f:
                return f.read()
        except OSError:
            return ""

    def count(self, name, text):
        return self.log(name).count(text)

    def command(self, proc, line):
        proc.stdin.write(line + "\n")
        proc.stdin.flush()

    def power(self):
        before = self.log("services").count("{")
        self.command(self.services, "status")
        wait_until(lambda: self.log("services").count("{") > before, 5, "the services' status")
        line = [l for l in self.log("services").splitlines() if l.startswith("{")][-1]
        status = json.loads(line)
        return status["screenSaverHeld"], status["login1Held"]

    def pointer(self):
        out = subprocess.run([f"{self.build}/tests/integration/pikora-x-pointer-probe"], capture_output=True,
                             text=True, env=dict(self.env, DISPLAY=self.display), check=True).stdout
        x, y = map(int, out.split())
        return x, y

    def alive(self):
        return self.pikora.poll() is None

    def stop(self):
        for p in reversed(self.procs):
            if p.poll() is None:
                p.terminate()
        for p in self.procs:
            try:
                p.wait(5)
            except subprocess.TimeoutExpired:
                p.kill()

    def dump(self):
        for name in ("pikora", "accessory", "services"):
            print(f"---- {name}.log")
            for line in self.log(name).splitlines()[-30:]:
                print(line[:400])


def free_port(address):
    s = socket.socket()
    s.bind((address, 0))
    port = s.getsockname()[1]
    s.close()
    return port


def expect(condition, what):
    if not condition:
        raise Failure(what)


def wait_projecting(road, rx, starts_before=0):
    wait_until(lambda: road.count("pikora", "capture: started") > starts_before or not road.alive(), 30,
               "the projection to start")
    expect(road.alive(), "Pikora died")


# --- scenarios -------------------------------------------------------------------------------

def scenario_messages(road, rx):
    wait_projecting(road, rx)
    link = rx.link()
    expect(link is not None, "no link")
    # A host-control question whose "fullscreen" is not a boolean gets an error answer.
    bad = ["yes", 1, [], {}, "true", 0.5]
    ids = [link.request("hostControl.ask", {"guestIP": "10.9.9.9", "guestName": "g", "fullscreen": v}) for v in bad]
    answers = {}

    def answered(*wanted):
        while not link.responses.empty():
            m = link.responses.get()
            answers[m.get("id")] = m
        return all(i in answers for i in wanted)

    wait_until(lambda: answered(*ids) or not road.alive(), 10, "answers to the malformed questions")
    expect(road.alive(), "Pikora died on a host-control question with a non-boolean fullscreen")
    for i, v in zip(ids, bad):
        m = answers[i]
        expect("error" in m and m["error"].get("code") == -32602,
               f"fullscreen={json.dumps(v)} was answered {json.dumps(m)}, not an invalid-params error")
    # Wrong types and ranges in every other message: each is dropped, none costs the link.
    junk = [
        ("hostControl.ask", {"guestIP": 7, "fullscreen": False}),
        ("hostControl.ask", {"guestIP": "1.2.3.4", "guestName": ["x"]}),
        ("hostControl.ask", {"guestIP": "x" * 1000}),
    ]
    junk_ids = [link.request(m, p) for m, p in junk]
    for method, params in [
        ("splitScreen", {"screenNumber": "2", "screenPosition": 1}),
        ("splitScreen", {"screenNumber": 2 ** 63, "screenPosition": 0}),
        ("splitScreen", {"screenNumber": 18446744073709551615, "screenPosition": -1}),
        ("splitScreen", {"screenNumber": 2.5, "screenPosition": None}),
        ("hostControl.role", {"role": "1"}),
        ("hostControl.role", {"role": 4294967297}),
        ("hostControl.cancel", {"guestIP": 5}),
        ("hostControl.cancel", {"guestIP": {"a": 1}}),
        ("pointer", {"event": 5}),
        ("pointer", {"event": "move", "dx": "x", "dy": []}),
        ("pointer", {"event": "touchDown", "x": {}, "y": 1, "baseWidth": True, "baseHeight": 1}),
        ("display.pause", ["odd", "params"]),
        ("display.resume", {}),
        ("bye", {"x": 1}),
    ]:
        link.notify(method, params)
    # Responses with ids Pikora never used, of every type.
    for id in [2 ** 64 - 1, -1, "1", 0, 2 ** 63]:
        link.send({"jsonrpc": "2.0", "id": id, "result": {"granted": "yes"}})
    # On a shared screen a long press asks for the whole screen; the answer's "granted" is not
    # a boolean.
    link.notify("splitScreen", {"screenNumber": 2, "screenPosition": 1})
    rx.fullscreen_answer = {"granted": "yes"}
    road.command(road.accessory, "long-press")
    wait_until(lambda: rx.count("requestFullscreen") >= 1 or not road.alive(), 10, "a full-screen request")
    wait_until(lambda: answered(*junk_ids), 5, "answers to the other malformed questions")
    for i in junk_ids:
        expect("error" in answers[i], f"the malformed question {i} was answered {json.dumps(answers[i])}")
    time.sleep(1)
    expect(road.alive(), "Pikora died on a malformed receiver message")
    # The link is still up and served: the receiver can still ask and get an answer.
    probe = link.request("hostControl.autoDisplay", {})
    wait_until(lambda: answered(probe), 10, "an answer after the junk")
    expect(not link.closed, "the link was dropped for a malformed message")
    expect("result" in answers[probe], f"autoDisplay answered {answers[probe]}")
    expect(road.count("pikora", "capture: started") >= 1, "capture never ran")


def scenario_hello(road, rx):
    # A width that wraps to 16 in 32 bits and a negative height: neither may be taken.
    rx.hello_override = dict(rx.describe(), role=0)
    rx.hello_override["parameters"] = dict(rx.parameters(), maxWidth=2 ** 32 + 16, maxHeight=-5)
    wait_until(lambda: "malformed hello answer" in road.log("pikora") or not road.alive(), 20,
               "Pikora to reject the hello answer")
    expect(road.alive(), "Pikora died on a malformed hello answer")
    time.sleep(2)
    expect(road.count("pikora", "capture: started") == 0, "Pikora projected to a receiver whose hello was malformed")
    expect(rx.count("startDisplay") == 0, "a stream was requested over a rejected link")


def scenario_sizes(road, rx):
    notified = lambda: road.count("accessory", '"notify-projection-started"')
    # 1x1 first, while no assertion is held yet.
    rx.size = (1, 1)
    wait_until(lambda: "Cannot start projecting to this receiver" in road.log("pikora") or not road.alive(), 30,
               "the failed start to be reported")
    expect(road.alive(), "Pikora died on a 1x1 receiver")
    time.sleep(1)
    expect(notified() == 0, "the accessory was told that projection started although nothing can be encoded")
    expect(road.power() == (0, 0), f"power assertions taken for a failed start: {road.power()}")
    expect(road.count("pikora", "capture: started") == 0, "capture runs with a broken compressor")
    wait_until(lambda: rx.count("stopDisplay") >= 1, 5, "the granted stream to be given back")
    for size in [(2, 2), (4, 4), (64, 2), (16, 16), (8, 8)]:
        for link in list(rx.links):
            link.close()
        rx.size = size
        starts = road.count("pikora", "capture: started")
        before = notified()
        time.sleep(0.5)
        road.command(road.accessory, "press")
        wait_until(lambda: road.count("pikora", "capture: started") > starts or not road.alive(), 30,
                   f"projection at {size}")
        link = rx.link()
        wait_until(lambda: (link and len(link.media) >= 3) or not road.alive(), 15, f"pictures at {size}")
        expect(road.alive(), f"Pikora died on a receiver of {size[0]}x{size[1]}")
        sizes = {(w, h) for _, w, h in link.media}
        for w, h in sizes:
            expect(w >= 2 and h >= 2 and w % 2 == 0 and h % 2 == 0,
                   f"a receiver of {size} was announced {w}x{h}")
        expect(notified() > before, f"no notify-projection-started at {size}")
        print(f"receiver {size[0]}x{size[1]}: pictures announced as {sorted(sizes)}")


def scenario_pointer(road, rx):
    rx.start_policy = "hold"
    wait_until(lambda: rx.held_starts or not road.alive(), 30, "the stream request")
    link, start_id = rx.held_starts.pop()
    home = road.pointer()
    # While the start request is unanswered, the receiver's pointer does nothing.
    link.notify("pointer", {"event": "move", "dx": 100, "dy": 50})
    time.sleep(1)
    expect(road.pointer() == home, f"the pointer moved before the stream was granted ({home} -> {road.pointer()})")
    # A refused start: still nothing.
    link.respond(start_id, error=(1001, "Refused"))
    time.sleep(0.3)
    link.notify("pointer", {"event": "move", "dx": 100, "dy": 50})
    link.notify("pointer", {"event": "touchDown", "x": 10, "y": 10, "baseWidth": 100, "baseHeight": 100})
    time.sleep(1)
    expect(road.pointer() == home, f"the pointer moved after a refused start ({home} -> {road.pointer()})")
    # Granted: the pointer follows.
    rx.start_policy = "grant"
    road.command(road.accessory, "press")
    wait_projecting(road, rx)
    link = rx.link()

    def touch():  # idempotent: lands at (320, 200) on the 1280x800 screen
        link.notify("pointer", {"event": "touchDown", "x": 320, "y": 180, "baseWidth": 1280, "baseHeight": 720})
        link.notify("pointer", {"event": "touchUp", "x": 320, "y": 180, "baseWidth": 1280, "baseHeight": 720})
        time.sleep(0.1)
        return road.pointer() == (320, 200)

    wait_until(touch, 10, "the pointer to follow a granted stream")
    # A flood is rate-limited, and what is dropped is logged as counts, not line by line.
    at = road.pointer()
    lines_before = road.count("pikora", "pointer event(s) not delivered")
    started = time.monotonic()
    for _ in range(3000):
        link.notify("pointer", {"event": "move", "dx": 0, "dy": 1})
    elapsed = time.monotonic() - started
    time.sleep(2)
    moved = road.pointer()[1] - at[1]
    lines = road.count("pikora", "pointer event(s) not delivered") - lines_before
    print(f"flood of 3000 moves in {elapsed:.2f} s: pointer moved {moved}, {lines} report line(s)")
    expect(moved <= 100 + 250 * (elapsed + 0.5), f"3000 moves moved the pointer by {moved}: no rate limit")
    expect(1 <= lines <= 2 + int(elapsed + 2), f"{lines} log lines for the dropped pointer events")
    # The receiver stops the display: the pointer is left alone again.
    link.notify("display.stop", {})
    wait_until(lambda: road.count("accessory", '"notify-projection-stopped"') >= 1, 10, "the stop")
    at = road.pointer()
    link.notify("pointer", {"event": "move", "dx": -100, "dy": -50})
    time.sleep(1)
    expect(road.pointer() == at, f"the pointer moved after the receiver stopped the display ({at} -> {road.pointer()})")


def scenario_start(road, rx):
    rx.start_policy = "ignore"
    wait_until(lambda: rx.count("startDisplay") >= 1 or not road.alive(), 30, "the stream request")
    first = time.monotonic()
    # A press while the request is pending changes nothing; once it has timed out, a press asks again.
    time.sleep(11)
    expect(rx.link() is not None, "the link was dropped although the receiver answers pings")
    rx.start_policy = "grant"
    road.command(road.accessory, "press")
    wait_until(lambda: rx.count("startDisplay") >= 2, 10, "a press to ask for the stream again")
    wait_projecting(road, rx)
    expect("did not answer the stream request in time" in road.log("pikora"), "the time-out was not logged")
    print(f"second request {time.monotonic() - first:.1f} s after the first")


SCENARIOS = {"messages": scenario_messages, "hello": scenario_hello, "sizes": scenario_sizes,
             "pointer": scenario_pointer, "start": scenario_start}


def main():
    build, name = sys.argv[1], sys.argv[2]
    rx = Receiver()
    road = Road(build, rx)
    try:
        SCENARIOS[name](road, rx)
        expect(road.alive(), "Pikora died")
    except Failure as e:
        print(f"FAIL: {name}: {e}")
        road.dump()
        road.stop()
        print("0 passed, 1 failed")
        return 1
    road.stop()
    print("1 passed, 0 failed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
