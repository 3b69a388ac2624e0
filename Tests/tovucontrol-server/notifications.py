"""What the console's notifications meet outside the browser, for the browser test: a desktop's
notification service on a private session bus (python-dbusmock), a push service on 127.0.0.1 that
decrypts what it gets with the subscription's own keys, and a push message handed to the
service worker through Chromium's DevTools.
"""
import base64
import http.server
import json
import os
import queue
import struct
import subprocess
import threading
import time
import urllib.request

import dbus
import trio
import trio_websocket
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec, utils
from cryptography.hazmat.primitives.ciphers.aead import AESGCM
from cryptography.hazmat.primitives.kdf.hkdf import HKDF


def b64(data):
    return base64.urlsafe_b64encode(data).rstrip(b'=').decode()


def unb64(text):
    return base64.urlsafe_b64decode(text + '=' * (-len(text) % 4))


class NotificationDaemon:
    """org.freedesktop.Notifications on a bus of its own; Chromium shows its notifications there
    and hears of the buttons pressed."""

    def __init__(self, timeout):
        self.bus_daemon = subprocess.Popen(['dbus-daemon', '--session', '--nofork', '--print-address=1'],
                                           stdout=subprocess.PIPE, text=True)
        self.address = self.bus_daemon.stdout.readline().strip()
        env = dict(os.environ, DBUS_SESSION_BUS_ADDRESS=self.address)
        # Chromium shows buttons only where the service says it has "actions".
        self.mock = subprocess.Popen(['/usr/bin/python3', '-m', 'dbusmock', '--session', '-t', 'notification_daemon',
                                      '-p', '{"capabilities": "body actions"}'],
                                     env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.bus = dbus.bus.BusConnection(self.address)
        deadline = time.monotonic() + timeout
        while not self.bus.name_has_owner('org.freedesktop.Notifications'):
            if time.monotonic() > deadline:
                raise AssertionError('the notification service did not start')
            time.sleep(0.05)
        self.mock_api = dbus.Interface(self.bus.get_object('org.freedesktop.Notifications', '/org/freedesktop/Notifications'),
                                       'org.freedesktop.DBus.Mock')

    def shown(self):
        """Each notification shown so far, in order: (id, title, body, {action key: label})."""
        out, next_id = [], 1
        for _, method, args in self.mock_api.GetCalls():
            if method != 'Notify':
                continue
            replaces = int(args[1])
            nid = replaces or next_id
            next_id += 0 if replaces else 1
            actions = [str(a) for a in args[5]]
            out.append((nid, str(args[3]), str(args[4]), dict(zip(actions[::2], actions[1::2]))))
        return out

    def press(self, nid, key):
        self.mock_api.EmitSignal('org.freedesktop.Notifications', 'ActionInvoked', 'us', [dbus.UInt32(nid), key])

    def stop(self):
        for p in (self.mock, self.bus_daemon):
            p.terminate()
            p.wait()
        self.bus_daemon.stdout.close()


class PushService:
    """A browser's push service on 127.0.0.1: it keeps a subscription's keys, takes the server's
    messages (answering 201) and gives them back decrypted, with their headers and the claims of
    their VAPID token once its signature holds."""

    def __init__(self):
        self.key = ec.generate_private_key(ec.SECP256R1())
        self.auth = os.urandom(16)
        self.received = queue.Queue()
        service = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_POST(self):
                body = self.rfile.read(int(self.headers['Content-Length']))
                service.received.put((self.path, dict(self.headers), body))
                self.send_response(201)
                self.send_header('Content-Length', '0')
                self.end_headers()

            def log_message(self, *args):
                pass

        self.http = http.server.ThreadingHTTPServer(('127.0.0.1', 0), Handler)
        threading.Thread(target=self.http.serve_forever, daemon=True).start()
        self.endpoint = f'http://127.0.0.1:{self.http.server_address[1]}/push/tovu'

    def subscription(self):
        point = self.key.public_key().public_bytes(serialization.Encoding.X962,
                                                   serialization.PublicFormat.UncompressedPoint)
        return {'endpoint': self.endpoint, 'keys': {'p256dh': b64(point), 'auth': b64(self.auth)}}

    def message(self, timeout, server_key, wanted):
        """The first message whose payload `wanted` takes, as (headers, claims of its token, the
        decrypted payload); every message on the way must decrypt too."""
        deadline = time.monotonic() + timeout
        while True:
            headers, claims, payload = self.next(max(0.0, deadline - time.monotonic()), server_key)
            if wanted(payload):
                return headers, claims, payload

    def next(self, timeout, server_key):
        path, headers, body = self.received.get(timeout=timeout)
        assert path == '/push/tovu', path
        token, key = headers['Authorization'].removeprefix('vapid t=').split(', k=')
        assert key == server_key, (key, server_key)
        signed, signature = token.rsplit('.', 1)
        raw = unb64(signature)
        ec.EllipticCurvePublicKey.from_encoded_point(ec.SECP256R1(), unb64(key)).verify(
            utils.encode_dss_signature(int.from_bytes(raw[:32], 'big'), int.from_bytes(raw[32:], 'big')),
            signed.encode(), ec.ECDSA(hashes.SHA256()))
        claims = json.loads(unb64(signed.split('.')[1]))
        # RFC 8291: the header names the salt, the record size and the server's key for this message.
        salt, size, id_length = body[:16], struct.unpack('>I', body[16:20])[0], body[20]
        sender = body[21:21 + id_length]
        assert size >= len(body) - 21 - id_length, size
        point = self.key.public_key().public_bytes(serialization.Encoding.X962,
                                                   serialization.PublicFormat.UncompressedPoint)
        shared = self.key.exchange(ec.ECDH(), ec.EllipticCurvePublicKey.from_encoded_point(ec.SECP256R1(), sender))
        ikm = HKDF(hashes.SHA256(), 32, self.auth, b'WebPush: info\0' + point + sender).derive(shared)
        key = HKDF(hashes.SHA256(), 16, salt, b'Content-Encoding: aes128gcm\0').derive(ikm)
        nonce = HKDF(hashes.SHA256(), 12, salt, b'Content-Encoding: nonce\0').derive(ikm)
        record = AESGCM(key).decrypt(nonce, body[21 + id_length:], None).rstrip(b'\0')
        assert record[-1:] == b'\x02', 'one record, the last'
        return headers, claims, json.loads(record[:-1])

    def stop(self):
        self.http.shutdown()
        self.http.server_close()


def deliver_push(debugger_address, origin, data, timeout):
    """Hands `data` to the service worker of `origin` as a push message, as its push service
    would, through the DevTools connection of the page (Selenium does not pass on the events that
    name the worker's registration)."""
    with urllib.request.urlopen(f'http://{debugger_address}/json/list') as answer:
        page = next(t for t in json.load(answer) if t['type'] == 'page' and t['url'].startswith(origin))

    async def run():
        async with trio_websocket.open_websocket_url(page['webSocketDebuggerUrl']) as ws:
            async def call(number, method, params=None):
                await ws.send_message(json.dumps({'id': number, 'method': method, 'params': params or {}}))

            await call(1, 'ServiceWorker.enable')
            registration = None
            with trio.fail_after(timeout):
                while True:
                    m = json.loads(await ws.get_message())
                    if m.get('method') == 'ServiceWorker.workerRegistrationUpdated':
                        for r in m['params']['registrations']:
                            if r['scopeURL'] == origin + '/' and not r['isDeleted']:
                                registration = r['registrationId']
                    if registration is not None:
                        break
                await call(2, 'ServiceWorker.deliverPushMessage',
                           {'origin': origin, 'registrationId': registration, 'data': json.dumps(data)})
                while True:
                    m = json.loads(await ws.get_message())
                    if m.get('id') == 2:
                        assert 'error' not in m, m
                        return

    trio.run(run)
