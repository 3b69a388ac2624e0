#!/usr/bin/python3
"""The parents' console in headless Chromium, against the real server.

Usage: console_browser_test.py SERVER_EXECUTABLE SCREENSHOT_DIR
The steps run in order and share one family, as a parent would go through them.
"""
import base64
import json
import os
import re
import select
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.error
import urllib.request
from datetime import datetime, timedelta, timezone

from selenium import webdriver
from selenium.common.exceptions import ElementNotInteractableException, StaleElementReferenceException
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support import expected_conditions as EC
from selenium.webdriver.support.ui import Select, WebDriverWait

from notifications import NotificationDaemon, PushService, deliver_push

SERVER = None
SHOTS = None
TOKEN = 'khoa-thu-nghiem-7f3a'
FAMILY, PARENT, PASSWORD = 'Nhà Minh', 'Mẹ Lan', 'mat-khau-rat-dai'
CHILD = 'Minh'
MARKUP = 'Bé <b>Na</b> "&\' <img src=x onerror=alert(1)>'
WAIT = 60  # generous: the sanitized server is slow
SIZES = {'dien-thoai': (390, 844), 'may-tinh': (1280, 800)}
SCHEMES = {'sang': 'light', 'toi': 'dark'}
AXE = os.path.join(os.path.dirname(os.path.abspath(__file__)), 'vendor', 'axe.min.js')
# Controls smaller than a finger, and controls that a message keeps from being pressed: ones
# that are on top at their centre while the messages are hidden, but not when they show (inert
# controls behind a dialog do not count).
LAYOUT_PROBLEMS = '''
const scope = document.querySelector('dialog[open]') || document;
const shown = (e) => e.getClientRects().length > 0 && getComputedStyle(e).visibility !== 'hidden';
const controls = [...scope.querySelectorAll('a[href], button, summary, select, label.hop-chon,' +
  'input:not([type=checkbox]):not([type=radio]):not([type=hidden])')].filter(shown);
const small = controls.filter((e) => { const r = e.getBoundingClientRect(); return r.width < 43.5 || r.height < 43.5; });
const onTop = (c) => {
  const r = c.getBoundingClientRect();
  const x = r.left + r.width / 2, y = r.top + r.height / 2;
  const e = x >= 0 && y >= 0 && x < innerWidth && y < innerHeight && document.elementFromPoint(x, y);
  return !!e && (c === e || c.contains(e) || (c.labels && [...c.labels].some((l) => l.contains(e))));
};
const covered = [];
for (const note of [...document.querySelectorAll('.tin')].filter(shown)) {
  note.scrollIntoView({ block: 'center' });
  note.style.visibility = 'hidden';
  const free = controls.filter((c) => !note.contains(c) && onTop(c));
  note.style.visibility = '';
  covered.push(...free.filter((c) => !onTop(c)));
}
const name = (e) => e.outerHTML.slice(0, 120);
return { small: small.map(name), covered: covered.map(name) };
'''


def free_port():
    with socket.socket() as s:
        s.bind(('127.0.0.1', 0))
        return s.getsockname()[1]


def until(what, check, timeout=WAIT):
    """Polls check() until it returns something true; fails with `what` at the deadline."""
    deadline = time.monotonic() + timeout
    while True:
        try:
            value = check()
            if value:
                return value
        except (OSError, StaleElementReferenceException):
            pass
        if time.monotonic() > deadline:
            raise AssertionError('timed out waiting for ' + what)
        time.sleep(0.1)


class Console(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.data = tempfile.mkdtemp(prefix='tovu-console-')
        cls.port = free_port()
        cls.base = f'http://127.0.0.1:{cls.port}'
        cls.log = open(os.path.join(cls.data, 'server.log'), 'w+')
        cls.start_server()
        cls.addClassCleanup(cls.stop_server)
        ready, _, _ = select.select([cls.server.stdout], [], [], WAIT)
        first = cls.server.stdout.readline() if ready else ''
        expected = f'Mã thiết lập: {TOKEN} — mở {cls.base}/ để tạo tài khoản bố mẹ.\n'
        if first != expected:
            raise AssertionError(f'expected the setup-token line {expected!r}, got {first!r}')
        until('the server to answer', lambda: cls.http('GET', '/api/console/session')[0] == 200)

        options = webdriver.ChromeOptions()
        options.binary_location = '/usr/bin/chromium'
        for flag in ('--headless', '--no-sandbox', '--disable-gpu', '--disable-dev-shm-usage', '--disable-quic',
                     '--no-first-run', '--disable-background-networking', '--disable-component-update',
                     '--disable-sync', '--user-data-dir=' + os.path.join(cls.data, 'chromium')):
            options.add_argument(flag)
        options.set_capability('goog:loggingPrefs', {'browser': 'ALL'})
        # The browser shows its notifications on a desktop's notification service of the test's own.
        cls.notices = NotificationDaemon(WAIT)
        cls.addClassCleanup(cls.notices.stop)
        cls.push = PushService()
        cls.addClassCleanup(cls.push.stop)
        cls.driver = webdriver.Chrome(options=options, service=Service(
            '/usr/bin/chromedriver', env=dict(os.environ, DBUS_SESSION_BUS_ADDRESS=cls.notices.address)))
        cls.addClassCleanup(cls.driver.quit)
        cls.driver.set_window_size(1280, 800)
        cls.driver.set_script_timeout(WAIT)
        cls.device = {}

    @classmethod
    def start_server(cls):
        cls.server = subprocess.Popen(
            [SERVER, '--listen', f'127.0.0.1:{cls.port}', '--data', os.path.join(cls.data, 'data'),
             '--setup-token', TOKEN, '--allow-http-push'],
            stdout=subprocess.PIPE, stderr=cls.log, text=True)

    @classmethod
    def end_server(cls):
        """SIGTERM must end the server cleanly (under the sanitizers too, whose reports end it otherwise)."""
        cls.server.terminate()
        try:
            status = cls.server.wait(timeout=WAIT)
        finally:
            cls.server.kill()
            cls.server.stdout.close()
        if status != 0:
            cls.log.seek(0)
            raise AssertionError(f'the server ended with status {status}; its log ends with:\n{cls.log.read()[-4000:]}')

    @classmethod
    def stop_server(cls):
        try:
            cls.end_server()
        finally:
            cls.log.close()
            shutil.rmtree(cls.data, ignore_errors=True)

    # ---- helpers ----

    @classmethod
    def http(cls, method, path, body=None, token=None):
        request = urllib.request.Request(cls.base + path, method=method,
                                         data=None if body is None else json.dumps(body).encode())
        request.add_header('Content-Type', 'application/json')
        if token:
            request.add_header('Authorization', 'Bearer ' + token)
        try:
            with urllib.request.urlopen(request, timeout=WAIT) as answer:
                return answer.status, json.loads(answer.read() or b'null')
        except urllib.error.HTTPError as e:
            return e.code, json.loads(e.read() or b'null')

    def console(self, method, path, body=None):
        """A call of the console's API from the page, with its session: (status, answer)."""
        return self.driver.execute_async_script("""
            const [method, path, body, done] = arguments;
            fetch('/api/console/session').then((r) => r.json()).then((s) => fetch('/api/console/' + path, {
              method, headers: {'Content-Type': 'application/json', 'X-CSRF-Token': s.csrf},
              body: body === null ? undefined : JSON.stringify(body)}))
              .then(async (r) => done([r.status, await r.json().catch(() => null)]), (e) => done([0, String(e)]));""",
            method, path, body)

    def wait(self, what, condition):
        # A redraw replaces elements, and shows new ones a moment before they take input: try again.
        patient = (StaleElementReferenceException, ElementNotInteractableException)
        return WebDriverWait(self.driver, WAIT, poll_frequency=0.1,
                             ignored_exceptions=patient).until(condition, 'waiting for ' + what)

    def visible(self, css):
        return self.wait(css, EC.visibility_of_element_located((By.CSS_SELECTOR, css)))

    def button(self, text, within=None, press=False):
        """The enabled button or link labelled `text`, inside what `within()` finds again on each try;
        pressed when `press`. Live events redraw the page at any time, so a press that meets a
        replaced element is tried again on the new one."""
        xpath = f'.//button[normalize-space()="{text}"] | .//a[normalize-space()="{text}"]'

        def attempt(d):
            found = next((b for b in (within() if within else d).find_elements(By.XPATH, xpath)
                          if b.is_displayed() and b.is_enabled()), None)
            if found and press:
                found.click()
            return found
        return self.wait('button ' + text, attempt)

    def click(self, text, within=None):
        self.button(text, within, press=True)

    def heading(self, text):
        self.wait('heading ' + text, EC.text_to_be_present_in_element((By.CSS_SELECTOR, 'main h1'), text))

    def text_shown(self, text, css='body'):
        self.wait(text, EC.text_to_be_present_in_element((By.CSS_SELECTOR, css), text))

    def type_into(self, label, text):
        """Types into the field labelled `label`; the console does not redraw a field that has the focus."""
        def attempt(d):
            box = d.find_element(By.XPATH, f'//label[normalize-space()="{label}"]/following-sibling::*[1]')
            box.click()
            box.clear()
            box.send_keys(text)
            return True
        self.wait('the field ' + label, attempt)

    def set_time(self, field, hhmm):
        """Types a time as a parent would, in the 12- or 24-hour form the browser's language shows."""
        hour, minute = map(int, hhmm.split(':'))
        if self.driver.execute_script(
                "return new Intl.DateTimeFormat(navigator.language, {hour: 'numeric'}).resolvedOptions().hourCycle") in ('h11', 'h12'):
            field.send_keys(f'{(hour + 11) % 12 + 1:02}{minute:02}' + ('PM' if hour >= 12 else 'AM'))
        else:
            field.send_keys(f'{hour:02}{minute:02}')

    def press(self, css):
        """Clicks what `css` finds after bringing it to the middle of the screen, clear of the sticky save bar."""
        def attempt(d):
            element = d.find_element(By.CSS_SELECTOR, css)
            d.execute_script("arguments[0].scrollIntoView({block: 'center'})", element)
            element.click()
            return True
        self.wait(css, attempt)

    @staticmethod
    def find_child_card(d):
        return next((c for c in d.find_elements(By.CSS_SELECTOR, 'section.con')
                     if c.find_element(By.TAG_NAME, 'h2').text == CHILD), None)

    def child_card(self):
        return self.wait('the card of ' + CHILD, self.find_child_card)

    def shown_for_child(self, text):
        """Waits for text in the card of CHILD: children added in the same second come by name."""
        self.wait(text, lambda d: text in getattr(self.find_child_card(d), 'text', ''))

    def look(self, name, whole=True):
        """Checks the page at phone and desktop width, light and dark: no raw values, no serious or
        critical finding of axe, every control at least 44 px, no message over a control; saves a
        picture of each (only the screen for dialogs), then comes back to desktop width, light."""
        d = self.driver
        leaks = {'undefined', 'null', 'NaN', 'false', 'true', '[object'} & set(d.find_element(By.TAG_NAME, 'main').text.split())
        self.assertFalse(leaks, 'raw values on the page ' + name)
        if not d.execute_script('return typeof axe === "object"'):
            with open(AXE) as f:
                d.execute_script(f.read())
        for scheme, media in SCHEMES.items():
            d.execute_cdp_cmd('Emulation.setEmulatedMedia', {'features': [{'name': 'prefers-color-scheme', 'value': media}]})
            for size, (width, height) in SIZES.items():
                d.execute_cdp_cmd('Emulation.setDeviceMetricsOverride', {
                    'width': width, 'height': height, 'deviceScaleFactor': 1, 'mobile': size == 'dien-thoai'})
                where = f'{name}, {size}, {scheme}'
                problems = d.execute_script(LAYOUT_PROBLEMS)
                self.assertEqual(problems, {'small': [], 'covered': []}, where)
                findings = d.execute_async_script("""
                    axe.run(document, {resultTypes: ['violations']}).then((r) => arguments[0](r.violations
                      .filter((v) => ['serious', 'critical'].includes(v.impact))
                      .map((v) => v.id + ': ' + v.nodes.map((n) => n.target.join(' ')).join(', '))));""")
                self.assertEqual(findings, [], where)
                full = d.execute_script('return Math.max(document.documentElement.scrollHeight, innerHeight)') \
                    if whole else height
                top = 0 if whole else d.execute_script('return scrollY')
                shot = d.execute_cdp_cmd('Page.captureScreenshot', {
                    'format': 'png', 'captureBeyondViewport': whole,
                    'clip': {'x': 0, 'y': top, 'width': width, 'height': full, 'scale': 1}})
                with open(os.path.join(SHOTS, f'{name}-{size}-{scheme}.png'), 'wb') as f:
                    f.write(base64.b64decode(shot['data']))
        d.execute_cdp_cmd('Emulation.clearDeviceMetricsOverride', {})
        d.execute_cdp_cmd('Emulation.setEmulatedMedia', {'features': []})

    def policy(self, status=None):
        status, answer = self.http('POST', '/api/device/sync', {
            'status': status or {'protected': False, 'helperAlive': True, 'childIsAdmin': True, 'childUser': 'minh',
                                 'reason': 'Tài khoản minh đang là quản trị — con tắt được TovuControl. Đổi sang tài khoản thường.'},
            'usage': [{'day': self.today, 'appId': 'org.gnome.Chess', 'appName': 'Cờ vua', 'minutes': 25},
                      {'day': self.today, 'appId': 'org.mozilla.firefox', 'appName': 'Firefox', 'minutes': 40}],
            'apps': [], 'agentVersion': 'linux-0.1.0', 'osVersion': 'Debian GNU/Linux 12'}, self.device['token'])
        self.assertEqual(status, 200, answer)
        return answer

    # ---- the steps, in order ----

    def test_01_first_run_setup(self):
        d = self.driver
        d.get(self.base + '/')
        self.heading('Chào mừng')
        self.type_into('Mã thiết lập', 'khong-phai-ma-nay')
        self.type_into('Tên gia đình', FAMILY)
        self.type_into('Tên của bạn', PARENT)
        self.type_into('Mật khẩu', PASSWORD)
        self.type_into('Nhập lại mật khẩu', PASSWORD)
        # Vietnam first, the rest by region as "city (offset)"; the headless browser runs in UTC.
        zone = Select(d.find_element(By.CSS_SELECTOR, 'select[name="timeZone"]'))
        self.assertEqual((zone.options[0].get_attribute('value'), zone.options[0].text), ('Asia/Ho_Chi_Minh', 'Việt Nam (GMT+7)'))
        self.assertEqual(zone.first_selected_option.text, 'Việt Nam (GMT+7)')
        self.assertIn('Tokyo (GMT+9)', [o.text for o in zone.options])
        self.assertEqual(d.find_element(By.CSS_SELECTOR, 'select[name="timeZone"] optgroup').get_attribute('label'), 'Châu Á')
        self.click('Tạo tài khoản')
        self.text_shown('Mã thiết lập không đúng', 'form .loi')
        self.look('thiet-lap')
        self.type_into('Mã thiết lập', TOKEN)
        self.click('Tạo tài khoản')
        self.heading(FAMILY)
        self.assertEqual(d.find_element(By.ID, 'ten-gia-dinh').text, FAMILY)

    def test_02_login_logout_wrong_password(self):
        self.click('Đăng xuất')
        self.heading('Đăng nhập')
        self.type_into('Tên', PARENT)
        self.type_into('Mật khẩu', 'sai-mat-khau')
        self.click('Đăng nhập')
        self.text_shown('Sai tên hoặc mật khẩu.', 'form .loi')
        self.look('dang-nhap')
        self.type_into('Mật khẩu', PASSWORD)
        self.click('Đăng nhập')
        self.heading(FAMILY)
        # The session survives a reload.
        self.driver.refresh()
        self.heading(FAMILY)

    def test_03_child_and_pairing_code(self):
        # Names are shown as typed, never read as markup.
        for name in (CHILD, MARKUP):
            self.type_into('Tên', name)
            self.click('Thêm con')
            self.wait('the card of ' + name, lambda d: name in [h.text for h in d.find_elements(By.CSS_SELECTOR, 'section.con h2')])
        self.assertFalse(self.driver.find_elements(By.CSS_SELECTOR, 'main img[src="x"], main b'))
        # Nothing to lock yet: the card says so and offers the pairing code instead.
        self.shown_for_child('Chưa có máy')
        self.assertNotIn('Khoá máy ngay', self.child_card().text)
        self.look('gia-dinh-chua-co-may')
        self.click('Mã ghép máy mới', self.child_card)
        code = self.visible('#ma-ghep').text.replace(' ', '')
        self.assertRegex(code, r'^\d{6}$')
        self.assertIn('Hết hạn lúc', self.driver.find_element(By.ID, 'ma-ghep-han').text)
        # The address the setup tool asks for, and both in a QR code drawn by the server.
        self.assertEqual(self.driver.find_element(By.ID, 'ma-ghep-dia-chi').text, self.base)
        qr = self.driver.find_element(By.ID, 'ma-ghep-qr')
        self.wait('the QR code', lambda d: d.execute_script('return arguments[0].complete && arguments[0].naturalWidth', qr))
        self.assertIn(f'--server%20{self.base.replace(":", "%3A").replace("/", "%2F")}%20--code%20{code}',
                      qr.get_attribute('src'))
        self.look('ma-ghep', whole=False)
        self.click('Xong')

        status, paired = self.http('POST', '/api/pair', {
            'code': code, 'platform': 'linux', 'deviceName': 'may-hoc-cua-minh',
            'osVersion': 'Debian GNU/Linux 12', 'agentVersion': 'linux-0.1.0'})
        self.assertEqual(status, 200, paired)
        self.assertEqual(paired['childName'], CHILD)
        self.device.update(paired)
        self.assertEqual(self.http('POST', '/api/pair', {
            'code': code, 'platform': 'linux', 'deviceName': 'lan-hai', 'osVersion': '12',
            'agentVersion': 'linux-0.1.0'})[0], 404, 'a code is used once')
        Console.today = self.driver.execute_script(
            "return new Intl.DateTimeFormat('en-CA', {timeZone: 'Asia/Ho_Chi_Minh'}).format(new Date())")
        self.policy()

        self.driver.refresh()
        for text in ('may-hoc-cua-minh', 'Đang kết nối', 'Chưa được bảo vệ: Tài khoản minh đang là quản trị',
                     'Hôm nay không giới hạn · đã dùng 1 giờ 5 phút'):
            self.shown_for_child(text)
        self.look('gia-dinh')
        # Protected without the countdown on the child's screen is amber, never "not protected".
        self.policy({'protected': True, 'helperAlive': False, 'childIsAdmin': False, 'childUser': 'minh'})
        self.driver.refresh()
        self.shown_for_child('Đang được bảo vệ')
        self.assertEqual(self.child_card().find_element(By.CSS_SELECTOR, '.canh-bao').text,
                         'Màn hình của con không hiện giờ đếm ngược')
        self.assertNotIn('Chưa được bảo vệ', self.child_card().text)
        self.policy()

    def test_04_lock_unlock_grant_points(self):
        before = self.policy()['locked']
        self.click('Khoá máy ngay', self.child_card)
        self.button('Mở khoá', self.child_card)
        self.shown_for_child('Đang khoá: Bố mẹ đang khoá máy')
        self.shown_for_child('Đã khoá máy của ' + CHILD)
        self.look('da-khoa')
        policy = self.policy()
        self.assertTrue(policy['locked'])
        self.assertNotIn('lockReason', policy)

        # The way back is beside the message, and has its own.
        self.click('Hoàn tác', self.child_card)
        self.button('Khoá máy ngay', self.child_card)
        self.shown_for_child('Đã mở khoá cho ' + CHILD)
        self.assertEqual(self.policy()['locked'], before)
        self.click('Hoàn tác', self.child_card)
        self.button('Mở khoá', self.child_card)
        self.assertTrue(self.policy()['locked'])
        self.click('Mở khoá', self.child_card)
        self.button('Khoá máy ngay', self.child_card)
        self.assertEqual(self.policy()['locked'], before)

        # More time under the parents' lock lifts the lock: the console asks first.
        self.click('Khoá máy ngay', self.child_card)
        self.click('Chi tiết', self.child_card)
        self.heading(CHILD)
        dialog = lambda: self.visible('#hop-xac-nhan')
        self.click('+30 phút')
        self.assertIn('Cho thêm giờ sẽ mở khoá máy', dialog().text)
        self.click('Thôi', dialog)
        self.assertTrue(self.policy()['locked'])
        self.click('+30 phút')
        self.click('Mở khoá và cho thêm giờ', dialog)
        self.text_shown('Được thêm giờ đến')
        self.text_shown(f'Đã cho {CHILD} thêm 30 phút, đến', '.tin:not([hidden])')
        policy = self.policy()
        self.assertFalse(policy['locked'])
        self.assertIn('grantEndsAt', policy)
        # Taken back, the grant leaves the lock it lifted.
        self.click('Hoàn tác')
        self.text_shown(f'Đã lấy lại 30 phút vừa cho {CHILD}.', '.tin:not([hidden])')
        self.assertTrue(self.policy()['locked'])
        self.click('Mở khoá')
        self.button('Khoá máy ngay')
        self.text_shown('Cờ vua', '.ung-dung')
        # An event may draw the page again meanwhile.
        until('the apps, most used first', lambda: [
            b.find_element(By.CSS_SELECTOR, '.ten-app').text
            for b in self.driver.find_elements(By.CSS_SELECTOR, '.ung-dung li')] == ['Firefox', 'Cờ vua'])
        self.assertEqual(len(self.driver.find_elements(By.CSS_SELECTOR, 'svg.bieu-do rect.cot')), 7)
        labels = self.driver.execute_script("return [...document.querySelectorAll('svg.bieu-do text')].map((e) => e.textContent)")
        self.assertEqual(labels[0], 'phút')
        self.assertEqual(len([x for x in labels if re.fullmatch(r'\d\d/\d\d', x)]), 7)
        self.text_shown('Tổng 1 giờ 5 phút', '.tom-tat')

        self.type_into('Số điểm', '12')
        self.click('Cộng điểm')
        self.wait('the balance', EC.text_to_be_present_in_element((By.ID, 'so-diem'), '12'))
        self.type_into('Số điểm', '5')
        self.click('Trừ điểm')
        self.wait('the balance', EC.text_to_be_present_in_element((By.ID, 'so-diem'), '7'))
        self.type_into('Số điểm', '500')
        self.click('Trừ điểm')
        self.text_shown(f'{CHILD} chỉ có 7 điểm.', '[data-noi="diem"]')
        self.look('con')

    def test_05_rules_are_kept(self):
        self.click('Sửa luật dùng máy')
        self.heading('Luật dùng máy của ' + CHILD)
        d = self.driver
        self.text_shown('Cờ vua', '.chon-app')
        minutes = d.find_element(By.ID, 'phut-0')
        minutes.clear()
        minutes.send_keys('95')
        sunday = d.find_element(By.ID, 'phut-6')
        sunday.clear()
        hours = d.find_elements(By.CSS_SELECTOR, '[role="group"].ngay-tuan')[1].find_elements(By.CSS_SELECTOR, 'input[type="time"]')
        self.set_time(hours[0], '08:00')
        self.set_time(hours[1], '20:15')
        bed = d.find_element(By.ID, 'co-gio-ngu')
        if not bed.is_selected():
            self.press('label[for="co-gio-ngu"]')
        bed_times = d.find_elements(By.CSS_SELECTOR, '.tu-den')[-1].find_elements(By.TAG_NAME, 'input')
        self.set_time(bed_times[0], '21:45')
        self.set_time(bed_times[1], '06:30')
        self.press('label[for="che-do-hoc"]')
        self.press('label[for="cho-phep-org.gnome.Chess"]')
        self.press('label[for="hoc-tap-org.gnome.Chess"]')
        if not d.find_element(By.ID, 'doi-diem').is_selected():
            self.press('label[for="doi-diem"]')
        for box, value in (('diem-moi-phut', '4'), ('toi-da-doi', '25')):
            field = d.find_element(By.ID, box)
            field.clear()
            field.send_keys(value)
        self.click('Lưu luật')
        self.text_shown('Đã lưu luật cho ' + CHILD, '.luu .tin')
        self.look('luat')

        d.refresh()
        self.heading('Luật dùng máy của ' + CHILD)
        self.text_shown('Cờ vua', '.chon-app')
        value = lambda css: d.find_element(By.CSS_SELECTOR, css).get_attribute('value')
        checked = lambda css: d.find_element(By.CSS_SELECTOR, css).is_selected()
        self.assertEqual(value('#phut-0'), '95')
        self.assertEqual(value('#phut-6'), '')
        tuesday = d.find_elements(By.CSS_SELECTOR, '[role="group"].ngay-tuan')[1].find_elements(By.CSS_SELECTOR, 'input[type="time"]')
        self.assertEqual([t.get_attribute('value') for t in tuesday], ['08:00', '20:15'])
        self.assertEqual([t.get_attribute('value') for t in d.find_elements(By.CSS_SELECTOR, '.tu-den')[-1].find_elements(By.TAG_NAME, 'input')],
                         ['21:45', '06:30'])
        self.assertTrue(checked('#che-do-hoc'))
        self.assertTrue(checked('[id="cho-phep-org.gnome.Chess"]'))
        self.assertFalse(checked('[id="cho-phep-org.mozilla.firefox"]'))
        self.assertTrue(checked('[id="hoc-tap-org.gnome.Chess"]'))
        self.assertTrue(checked('#doi-diem'))
        self.assertEqual((value('#diem-moi-phut'), value('#toi-da-doi')), ('4', '25'))
        policy = self.policy()
        self.assertEqual((policy['mode'], policy['allowedApps'], policy['learningApps'], policy['canExchangePoints']),
                         ('hoc', ['org.gnome.Chess'], ['org.gnome.Chess'], True))

    def test_06_bedtime_holds_and_a_later_one_tonight(self):
        # Bedtime from an hour ago to seven hours on, on the family's clock, and two hours a day.
        vn = datetime.now(timezone.utc) + timedelta(hours=7)
        at = lambda m: '%02d:%02d' % divmod((vn.hour * 60 + vn.minute + m) % 1440, 60)
        _, family = self.console('GET', 'family')
        child = next(c for c in family['children'] if c['name'] == CHILD)
        rules = dict(child['rules'], dailyMinutes=[120] * 7, hours=[None] * 7, bedtime={'from': at(-60), 'to': at(420)})
        self.assertEqual(self.console('PUT', f'children/{child["id"]}/rules', rules)[0], 200)
        self.click('Gia đình')
        self.shown_for_child(f'Đang khoá: Đến giờ ngủ rồi đến {at(420)}')
        self.shown_for_child('Còn 55 phút trong giới hạn 2 giờ hôm nay · đã dùng 1 giờ 5 phút')
        offer = lambda: self.wait('the later bedtime', lambda d: next(
            (b for b in self.child_card().find_elements(By.TAG_NAME, 'button') if b.text.startswith('Cho thức đến ')), None))
        later = re.fullmatch(r'Cho thức đến (\d\d:\d\d (tối|đêm) nay)', offer().text).group(1)
        offer().click()
        self.shown_for_child(f'{CHILD} được thức đến {later}.')
        self.shown_for_child('Đang mở')
        self.assertFalse(self.policy()['locked'])
        self.look('thuc-khuya')
        self.click('Hoàn tác', self.child_card)
        self.shown_for_child(f'{CHILD} lại đi ngủ đúng giờ.')
        self.assertEqual(self.policy()['lockReason'], 'ngu')
        # The parents' lock on top of bedtime: lifting it says what still holds, and offers the night.
        self.click('Khoá máy ngay', self.child_card)
        self.click('Mở khoá', self.child_card)
        self.shown_for_child(f'Đã mở khoá bố mẹ khoá; giờ ngủ vẫn đang áp dụng đến {at(420)}.')
        self.button(f'Cho thức đến {later}', lambda: self.child_card().find_element(By.CSS_SELECTOR, '.tin:not([hidden])'))
        self.look('van-gio-ngu')
        # The week draws today's limit only: the days before the child came had none.
        self.click('Chi tiết', self.child_card)
        self.heading(CHILD)
        until('one limit', lambda: len(self.driver.find_elements(By.CSS_SELECTOR, 'svg.bieu-do line.gioi-han')) == 1)
        self.text_shown('Vạch ngang: giới hạn của chính ngày đó.', 'figcaption')

    def test_07_request_answered_while_the_page_is_open(self):
        d = self.driver
        # A stand-in for the browser's notifications, which headless Chromium cannot show.
        d.execute_script("""
            window.shown = [];
            window.Notification = class {
              constructor(title, options) { window.shown.push([title, options.body]); }
              addEventListener() {}
            };
            window.Notification.permission = 'default';
            window.Notification.requestPermission = async () => (window.Notification.permission = 'granted');""")
        self.click('Yêu cầu')
        self.heading('Yêu cầu của con')
        self.click('Bật thông báo')
        self.wait('the offer to go', lambda d: not d.find_elements(By.CSS_SELECTOR, '.moi'))
        self.text_shown('Không có yêu cầu nào đang chờ.')

        status, made = self.http('POST', '/api/device/requests', {
            'kind': 'them_gio', 'minutes': 45, 'note': 'Con làm bài xong rồi ạ'}, self.device['token'])
        self.assertEqual(status, 200, made)
        item = self.visible(f'li.cho[data-id="{made["id"]}"]')
        self.assertIn(f'{CHILD} xin thêm 45 phút', item.text)
        self.assertIn('Con làm bài xong rồi ạ', item.text)
        self.assertEqual(d.find_element(By.ID, 'so-cho').text, '1')
        self.assertEqual(d.execute_script('return window.shown'), [[f'{CHILD} xin thêm 45 phút', '“Con làm bài xong rồi ạ”']])
        self.look('yeu-cau')
        # The family page opens with what waits for an answer.
        self.click('Gia đình')
        self.text_shown(f'{CHILD} xin thêm 45 phút', '.dang-cho')
        self.click('Trả lời')
        self.heading('Yêu cầu của con')
        item = self.visible(f'li.cho[data-id="{made["id"]}"]')

        minutes = item.find_element(By.CSS_SELECTOR, 'input[name="minutes"]')
        minutes.clear()
        minutes.send_keys('20')
        self.click('Đồng ý', lambda: item)
        self.text_shown('Đã đồng ý', '#da-tra-loi + ul')
        # Taken back, the request waits again; then the parent says yes once more.
        self.click('Hoàn tác', lambda: d.find_element(By.CSS_SELECTOR, '[data-noi="yeu-cau"]'))
        item = self.visible(f'li.cho[data-id="{made["id"]}"]')
        self.assertEqual(self.http('GET', '/api/device/requests/' + made['id'], token=self.device['token'])[1]['status'], 'cho')
        minutes = item.find_element(By.CSS_SELECTOR, 'input[name="minutes"]')
        minutes.clear()
        minutes.send_keys('20')
        self.click('Đồng ý', lambda: item)
        self.text_shown('Đã đồng ý', '#da-tra-loi + ul')
        self.assertFalse(d.find_element(By.ID, 'so-cho').is_displayed())
        status, state = self.http('GET', '/api/device/requests/' + made['id'], token=self.device['token'])
        self.assertEqual((status, state['status'], state.get('grantedMinutes')), (200, 'duoc', 20))

    def test_08_a_request_reaches_the_closed_console_and_is_answered_from_its_notification(self):
        status, key = self.console('GET', 'push')
        self.assertEqual(status, 200)
        self.assertEqual(self.console('POST', 'push/subscriptions', self.push.subscription())[0], 200)
        # What the push service gets is for the subscription's keys alone, signed by the server.
        status, made = self.http('POST', '/api/device/requests', {
            'kind': 'them_gio', 'minutes': 40, 'note': 'Cho con xem hết phim'}, self.device['token'])
        self.assertEqual(status, 200, made)
        title = f'{CHILD} xin thêm 40 phút'
        headers, claims, message = self.push.message(WAIT, key['publicKey'], lambda m: m['title'] == title)
        self.assertEqual((headers['Content-Encoding'], headers['TTL'], headers['Urgency'], headers['Topic']),
                         ('aes128gcm', '3600', 'high', made['id']))
        self.assertEqual(claims['aud'], self.push.endpoint.split('/push/')[0])
        self.assertGreater(claims['exp'], time.time())
        self.assertEqual((message['body'], message['request']['id']), ('“Cho con xem hết phim”', made['id']))
        # A computer that loses its protection is told at once.
        self.policy({'protected': True, 'helperAlive': True, 'childIsAdmin': False, 'childUser': 'minh'})
        self.policy()
        self.push.message(WAIT, key['publicKey'], lambda m: m['title'] == f'Máy may-hoc-cua-minh của {CHILD} chưa được bảo vệ'
                          and m['body'].startswith('Tài khoản minh đang là quản trị'))

        # The service worker shows the message with its buttons; "Đồng ý 15" answers the request.
        self.driver.execute_cdp_cmd('Browser.grantPermissions', {'origin': self.base, 'permissions': ['notifications']})
        deliver_push(self.driver.capabilities['goog:chromeOptions']['debuggerAddress'], self.base, message, WAIT)
        shown = until('the notification', lambda: next((n for n in self.notices.shown() if n[1] == title), None))
        self.assertEqual((shown[3]['0'], shown[3]['1']), ('Đồng ý 15', 'Từ chối'))
        self.notices.press(shown[0], '0')
        until('the notification\'s answer', lambda: self.http(
            'GET', '/api/device/requests/' + made['id'], token=self.device['token'])[1].get('grantedMinutes') == 15)
        until('the word that it is done', lambda: any(n[1] == f'Đã cho {CHILD} thêm 15 phút.' for n in self.notices.shown()))
        # A notification answers once.
        self.assertEqual(self.http('POST', '/api/push/answer', {
            'request': made['id'], 'token': message['request']['token'], 'answer': 'tu_choi'})[0], 409)
        # And the console installs as an app: Chromium finds its manifest, icons and worker whole.
        self.assertEqual(self.driver.execute_cdp_cmd('Page.getInstallabilityErrors', {})['installabilityErrors'], [])

    def test_09_the_family_changes(self):
        d = self.driver
        dialog = lambda: self.visible('#hop-xac-nhan')
        self.click('Gia đình')
        # A second child called like the first is asked about first.
        self.type_into('Tên', CHILD)
        self.click('Thêm con')
        self.assertIn(f'Gia đình đã có một con tên {CHILD}.', dialog().text)
        self.click('Thôi', dialog)
        # The other child: renamed, then gone with the usual question.
        other = lambda: next(c for c in d.find_elements(By.CSS_SELECTOR, 'section.con')
                             if c.find_element(By.TAG_NAME, 'h2').text == MARKUP)
        self.click('Chi tiết', other)
        self.heading(MARKUP)
        self.type_into('Tên của con', 'Na')
        self.click('Đổi tên')
        self.heading('Na')
        self.look('quan-ly-con')
        self.click('Xoá Na')
        self.assertIn('Không hoàn tác được.', dialog().text)
        self.click('Xoá', dialog)
        self.heading(FAMILY)
        self.text_shown('Đã xoá Na khỏi gia đình.', '.tin:not([hidden])')
        self.assertEqual([h.text for h in d.find_elements(By.CSS_SELECTOR, 'section.con h2')], [CHILD])
        # A computer's name.
        self.click('Chi tiết', self.child_card)
        self.heading(CHILD)
        self.press('summary[aria-label="Đổi tên máy may-hoc-cua-minh"]')
        self.type_into('Tên máy', 'Máy học')
        self.click('Lưu tên')
        self.text_shown('Đã đổi tên máy thành Máy học.', '.tin:not([hidden])')
        # Parents: one more, removed again; and one's own password.
        self.click('Gia đình')
        self.press('[aria-labelledby="bo-me"] details:first-of-type summary')
        box = lambda: d.find_element(By.CSS_SELECTOR, '[aria-labelledby="bo-me"]')
        fields = box().find_elements(By.CSS_SELECTOR, 'details input')
        fields[0].send_keys('Bố Tư')
        fields[1].send_keys('mat-khau-cua-bo')
        self.click('Thêm người', box)
        self.text_shown('Bố Tư đã có thể đăng nhập.', '[data-noi="bo-me"]')
        self.click('Xoá', lambda: next(li for li in box().find_elements(By.TAG_NAME, 'li') if 'Bố Tư' in li.text))
        self.click('Xoá', dialog)
        self.text_shown('Đã xoá Bố Tư.', '[data-noi="bo-me"]')
        self.assertEqual([p['name'] for p in self.console('GET', 'family')[1]['parents']], [PARENT])
        self.assertNotIn('Xoá', [b.text for b in box().find_elements(By.CSS_SELECTOR, 'li button')])
        self.press('[aria-labelledby="bo-me"] details:last-of-type summary')
        for label, text in (('Mật khẩu hiện tại', PASSWORD), ('Mật khẩu mới', PASSWORD + '-moi'),
                            ('Nhập lại mật khẩu mới', PASSWORD + '-moi')):
            self.type_into(label, text)
        self.click('Đổi mật khẩu')
        self.text_shown('Đã đổi mật khẩu.', '[data-noi="bo-me"]')
        self.look('bo-me')

    def test_10_offline_banner(self):
        self.click('Gia đình')
        self.shown_for_child('Đang kết nối')
        banner = self.driver.find_element(By.ID, 'mat-ket-noi')
        self.assertFalse(banner.is_displayed())
        self.end_server()
        self.wait('the banner', lambda d: banner.is_displayed())
        self.shown_for_child('Chưa rõ: mất kết nối với máy chủ')
        self.assertNotIn('Đang được bảo vệ', self.child_card().text)
        self.look('mat-ket-noi')
        self.start_server()
        self.wait('the banner to go', lambda d: not banner.is_displayed())
        self.shown_for_child('Đang kết nối')

    def test_11_remove_device(self):
        self.click('Chi tiết', self.child_card)
        self.heading(CHILD)
        self.text_shown('Linux · Debian GNU/Linux 12 · TovuControl linux-0.1.0 · tài khoản minh', '.may')
        self.click('Gỡ máy')
        dialog = lambda: self.visible('#hop-xac-nhan')
        self.assertIn('Máy học', dialog().text)
        self.look('go-may', whole=False)
        self.click('Thôi', dialog)
        self.assertEqual(self.http('POST', '/api/device/sync', {'status': {}, 'usage': [], 'apps': [],
                                                                'agentVersion': 'x', 'osVersion': 'y'},
                                   self.device['token'])[0], 200, 'cancelling keeps the device')
        self.click('Gỡ máy')
        self.click('Gỡ máy', dialog)
        self.text_shown('Chưa có máy nào của ' + CHILD)
        self.text_shown('Đã gỡ máy Máy học.', '.tin:not([hidden])')
        status, _ = self.http('POST', '/api/device/sync', {'status': {}, 'usage': [], 'apps': [],
                                                           'agentVersion': 'x', 'osVersion': 'y'}, self.device['token'])
        self.assertEqual(status, 401)

    def test_12_another_family_with_the_providers_code(self):
        made = subprocess.run([SERVER, '--new-family', '--data', os.path.join(self.data, 'data')],
                              capture_output=True, text=True, check=True).stdout
        code = re.search(r'gia đình mới: ([0-9a-f]{32}) ', made).group(1)
        self.click('Đăng xuất')
        self.click('Có mã thiết lập? Tạo gia đình mới')
        self.heading('Tạo gia đình mới')
        self.look('gia-dinh-moi')
        for label, text in (('Mã thiết lập', code), ('Tên gia đình', 'Nhà Hoa'), ('Tên của bạn', 'Bố Hải'),
                            ('Mật khẩu', PASSWORD), ('Nhập lại mật khẩu', PASSWORD)):
            self.type_into(label, text)
        self.click('Tạo tài khoản')
        self.heading('Nhà Hoa')
        self.text_shown('Bố Hải')
        self.assertNotIn(CHILD, self.driver.find_element(By.TAG_NAME, 'main').text)

    def test_13_no_script_or_policy_errors(self):
        problems = [e['message'] for e in self.driver.get_log('browser')
                    if 'Content Security Policy' in e['message'] or 'Uncaught' in e['message']]
        self.assertEqual(problems, [])


if __name__ == '__main__':
    SERVER, SHOTS = sys.argv[1], sys.argv[2]
    os.makedirs(SHOTS, exist_ok=True)
    unittest.main(argv=sys.argv[:1], verbosity=2, failfast=True)
