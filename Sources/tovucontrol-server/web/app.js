// The parents' console: one page, drawn with DOM calls (the server's CSP forbids inline code and
// inline styles), talking to /api/console/ and listening to its event stream.
import { CONTRACT } from './contract.js';

const S = {
  session: null, // answer of GET session
  csrf: '',
  requests: [], // the inbox, waiting ones first
  events: null, // EventSource while logged in
  turn: 0, // bumped on every page change, so late answers of an old page are dropped
  refresh: null, // how the page on screen reloads its data after an event
  resume: () => {}, // draws a reload that waited for the parent to leave a field or a dialog
};

const WEEKDAYS = ['Thứ Hai', 'Thứ Ba', 'Thứ Tư', 'Thứ Năm', 'Thứ Sáu', 'Thứ Bảy', 'Chủ nhật'];
const SHORT_DAYS = ['CN', 'T2', 'T3', 'T4', 'T5', 'T6', 'T7']; // indexed by getUTCDay()
const { mode: MODE, kind: KIND, status: STATUS, text: TEXT, number: NUMBER } = CONTRACT;
const STATUS_TEXT = {
  [STATUS.waiting]: 'Đang chờ', [STATUS.granted]: 'Đã đồng ý', [STATUS.refused]: 'Đã từ chối', [STATUS.replaced]: 'Đã có yêu cầu mới hơn',
};
const GRANTS = [15, 30, 60];

// ---- DOM helpers ----

function put(el, kids) {
  for (const kid of kids.flat()) {
    if (kid == null || kid === false) continue;
    el.append(kid instanceof Node ? kid : String(kid));
  }
  return el;
}

function h(tag, props, ...kids) {
  const el = document.createElement(tag);
  for (const [key, value] of Object.entries(props || {})) {
    if (value == null || value === false) continue;
    if (key === 'class') el.className = value;
    else if (key.startsWith('on')) el.addEventListener(key.slice(2), value);
    else el.setAttribute(key, value === true ? '' : value);
  }
  return put(el, kids);
}

function svg(tag, attrs, ...kids) {
  const el = document.createElementNS('http://www.w3.org/2000/svg', tag);
  for (const [key, value] of Object.entries(attrs || {})) el.setAttribute(key, value);
  return put(el, kids);
}

const main = () => document.getElementById('noi-dung');

function field(label, input, hint) {
  input.id = input.id || 'o-' + Math.random().toString(36).slice(2, 9);
  return h('div', { class: 'o' }, h('label', { for: input.id }, label), input,
    hint && h('p', { class: 'phu nho' }, hint));
}

function errorLine() {
  return h('p', { class: 'loi', role: 'alert', hidden: true });
}

function showError(line, text) {
  line.textContent = text;
  line.hidden = !text;
}

let toastTimer = 0;
function toast(text) {
  const box = document.getElementById('thong-bao');
  box.textContent = text;
  box.classList.add('hien');
  clearTimeout(toastTimer);
  toastTimer = setTimeout(() => box.classList.remove('hien'), 6000);
}

// Runs an action from a button: the button is busy meanwhile, and a failure shows its message.
async function act(button, line, work) {
  if (button) button.disabled = true;
  if (line) showError(line, '');
  try {
    await work();
  } catch (e) {
    if (!e.handled) {
      if (line) showError(line, e.message);
      else toast(e.message);
    }
  } finally {
    if (button) button.disabled = false;
  }
}

function confirmBox(title, text, okLabel) {
  const dlg = document.getElementById('hop-xac-nhan');
  document.getElementById('xac-nhan-tieu-de').textContent = title;
  document.getElementById('xac-nhan-noi-dung').textContent = text;
  dlg.querySelector('button[value="co"]').textContent = okLabel;
  dlg.returnValue = '';
  dlg.showModal();
  dlg.querySelector('button[value="khong"]').focus();
  return new Promise((resolve) => {
    dlg.addEventListener('close', () => resolve(dlg.returnValue === 'co'), { once: true });
  });
}

// ---- texts ----

function duration(m) {
  if (m == null) return 'Không giới hạn';
  if (m < 60) return `${m} phút`;
  return m % 60 === 0 ? `${m / 60} giờ` : `${Math.trunc(m / 60)} giờ ${m % 60} phút`;
}

function timeZone() {
  return (S.session && S.session.family && S.session.family.timeZone) || undefined;
}

function clock(iso) {
  return new Intl.DateTimeFormat('vi-VN', { hour: '2-digit', minute: '2-digit', hourCycle: 'h23', timeZone: timeZone() })
    .format(new Date(iso));
}

function dayOf(date) {
  return new Intl.DateTimeFormat('en-CA', { timeZone: timeZone() }).format(date);
}

function when(iso) {
  const d = new Date(iso);
  if (dayOf(d) === dayOf(new Date())) return `${clock(iso)} hôm nay`;
  const date = new Intl.DateTimeFormat('vi-VN', { day: '2-digit', month: '2-digit', timeZone: timeZone() }).format(d);
  return `${clock(iso)} ngày ${date}`;
}

function ago(iso) {
  const minutes = Math.floor((Date.now() - new Date(iso).getTime()) / 60000);
  if (minutes < 1) return 'vừa xong';
  if (minutes < 60) return `${minutes} phút trước`;
  return `lúc ${when(iso)}`;
}

function shortDay(day) {
  const [y, m, d] = day.split('-').map(Number);
  return SHORT_DAYS[new Date(Date.UTC(y, m - 1, d)).getUTCDay()];
}

function requestText(r) {
  if (r.kind === KIND.exchange) return `${r.childName} đổi điểm lấy ${duration(r.minutes)}`;
  return `${r.childName} xin thêm ${duration(r.minutes)}` + (r.appName ? ` cho ${r.appName}` : '');
}

// ---- talking to the server ----

class ApiError extends Error {
  constructor(message, status, handled = false) {
    super(message);
    this.status = status;
    this.handled = handled; // already told to the parent
  }
}

async function api(method, path, body) {
  const options = { method, headers: {}, credentials: 'same-origin', cache: 'no-store' };
  if (method !== 'GET') options.headers['X-CSRF-Token'] = S.csrf;
  if (body !== undefined) {
    options.headers['Content-Type'] = 'application/json';
    options.body = JSON.stringify(body);
  }
  let res;
  try {
    res = await fetch('/api/console/' + path, options);
  } catch {
    throw new ApiError('Chưa kết nối được máy chủ. Kiểm tra mạng rồi thử lại.', 0);
  }
  let data = null;
  try {
    data = await res.json();
  } catch {
    data = null;
  }
  if (!res.ok) {
    const message = (data && data.message) || 'Có lỗi xảy ra, hãy thử lại.';
    if (res.status === 401 && S.session && S.session.loggedIn && !['login', 'session'].includes(path)) {
      await sessionEnded('Phiên đăng nhập đã hết, hãy đăng nhập lại.');
      throw new ApiError(message, res.status, true);
    }
    throw new ApiError(message, res.status);
  }
  return data;
}

function takeSession(session) {
  S.session = session;
  if (session.csrf) S.csrf = session.csrf;
  const name = session.loggedIn && session.family ? session.family.name : 'TovuControl';
  document.getElementById('ten-gia-dinh').textContent = name;
  document.getElementById('menu').hidden = !session.loggedIn;
}

async function sessionEnded(message) {
  stopEvents();
  takeSession(await api('GET', 'session'));
  render(true);
  toast(message);
}

// ---- live events ----

function startEvents() {
  if (S.events) return;
  const es = new EventSource('/api/console/events');
  es.addEventListener('request', (e) => requestArrived(JSON.parse(e.data)));
  es.addEventListener('changed', (e) => changed(JSON.parse(e.data).what));
  es.addEventListener('error', () => {
    // The browser retries by itself unless the server refused the stream (for instance after
    // the session ended); then look at the session again a little later.
    if (es.readyState !== EventSource.CLOSED || S.events !== es) return;
    S.events = null;
    setTimeout(async () => {
      try {
        const session = await api('GET', 'session');
        if (!session.loggedIn && S.session.loggedIn) {
          takeSession(session);
          render(true);
        } else if (session.loggedIn) {
          startEvents();
        }
      } catch {
        setTimeout(startEvents, 5000);
      }
    }, 3000);
  });
  S.events = es;
}

function stopEvents() {
  if (S.events) S.events.close();
  S.events = null;
}

function requestArrived(r) {
  S.requests = [r, ...S.requests.filter((x) => x.id !== r.id)];
  showWaitingCount();
  if (r.status === STATUS.waiting) {
    toast(requestText(r));
    notify(r);
  }
  if (S.refresh) S.refresh('requests');
}

function notify(r) {
  if (!('Notification' in window) || window.Notification.permission !== 'granted') return;
  const note = new window.Notification(requestText(r), {
    body: r.note ? `“${r.note}”` : 'Mở TovuControl để trả lời.',
    tag: 'yeu-cau-' + r.id,
    icon: 'icon.svg',
  });
  note.addEventListener('click', () => {
    window.focus();
    location.hash = '#/yeu-cau';
  });
}

async function changed(what) {
  if (what === 'requests') await loadRequests();
  if (S.refresh) S.refresh(what);
}

async function loadRequests() {
  try {
    S.requests = (await api('GET', 'requests')).requests;
    showWaitingCount();
  } catch {
    // the inbox page shows its own error; the count waits for the next event
  }
}

function showWaitingCount() {
  const n = S.requests.filter((r) => r.status === STATUS.waiting).length;
  const badge = document.getElementById('so-cho');
  badge.textContent = n > 0 ? String(n) : '';
  badge.hidden = n === 0;
  badge.setAttribute('aria-label', `${n} đang chờ`);
}

function notificationOffer() {
  if (!('Notification' in window) || window.Notification.permission !== 'default') return null;
  const box = h('div', { class: 'moi' },
    h('p', {}, 'Bật thông báo để biết ngay khi con xin thêm giờ (khi trang này đang mở).'));
  box.append(h('button', {
    type: 'button', class: 'nut-vien', onclick: async () => {
      await window.Notification.requestPermission();
      box.remove();
    },
  }, 'Bật thông báo'));
  return box;
}

// ---- pages ----

function route() {
  const parts = location.hash.replace(/^#\/?/, '').split('/').filter(Boolean);
  if (parts[0] === 'yeu-cau') return { page: 'yeu-cau' };
  if (parts[0] === 'gia-dinh-moi') return { page: 'gia-dinh-moi' };
  if (parts[0] === 'con' && parts[1]) return { page: parts[2] === 'luat' ? 'luat' : 'con', id: decodeURIComponent(parts[1]) };
  return { page: 'gia-dinh' };
}

function render(moveFocus) {
  S.turn += 1;
  S.refresh = null;
  const root = main();
  root.replaceChildren();
  if (S.session.setupNeeded) return setupPage(root);
  if (!S.session.loggedIn) return route().page === 'gia-dinh-moi' ? setupPage(root) : loginPage(root);
  startEvents();
  const r = route();
  for (const link of document.querySelectorAll('#menu a')) {
    if (link.dataset.trang === (r.page === 'yeu-cau' ? 'yeu-cau' : 'gia-dinh')) link.setAttribute('aria-current', 'page');
    else link.removeAttribute('aria-current');
  }
  const pages = { 'gia-dinh': familyPage, con: childPage, luat: rulesPage, 'yeu-cau': requestsPage };
  (pages[r.page] || familyPage)(root, r.id);
  if (moveFocus) root.focus();
}

function heading(root, text, back) {
  if (back) root.append(h('a', { class: 'lui', href: back }, '← Gia đình'));
  const h1 = h('h1', {}, text);
  root.append(h1);
  return h1;
}

// Loads a page's data and draws it again on each event the page cares about, but never under
// the parent's fingers: while a field has the focus the redraw waits until it loses it.
function live(root, what, load, draw) {
  const turn = S.turn;
  const box = h('div', { class: 'khoi-tai', 'aria-busy': 'true' }, h('p', { class: 'dang-tai' }, 'Đang tải…'));
  root.append(box);
  let waiting = false;
  const typing = () => box.contains(document.activeElement) && document.activeElement.matches('input, select, textarea');
  S.resume = () => setTimeout(() => {
    if (waiting && !typing() && turn === S.turn) reload();
  }, 0);
  box.addEventListener('focusout', S.resume);
  const reload = async () => {
    try {
      const data = await load();
      if (turn !== S.turn) return;
      waiting = typing() || document.querySelector('dialog[open]') !== null;
      if (waiting) return;
      box.replaceChildren();
      put(box, [draw(data)]);
    } catch (e) {
      if (turn !== S.turn || e.handled) return;
      box.replaceChildren(h('p', { class: 'loi', role: 'alert' }, e.message));
    } finally {
      box.removeAttribute('aria-busy');
    }
  };
  S.refresh = (kind) => {
    if (what.includes(kind)) reload();
  };
  reload();
  return reload;
}

// The first family of a fresh server, or one more family with a code from whoever runs it.
function setupPage(root) {
  const first = S.session.setupNeeded;
  if (!first) root.append(h('a', { class: 'lui', href: '#/' }, '← Đăng nhập'));
  heading(root, first ? 'Chào mừng đến TovuControl' : 'Tạo gia đình mới');
  root.append(h('p', { class: 'gioi-thieu' }, first
    ? 'Tạo tài khoản bố mẹ cho gia đình. Mã thiết lập được in ra trên màn hình nơi máy chủ đang chạy.'
    : 'Nhập mã thiết lập mà người quản lý máy chủ gửi cho bạn. Mỗi mã chỉ tạo được một gia đình.'));
  const token = h('input', { name: 'setupToken', required: true, autocomplete: 'off', spellcheck: 'false', autocapitalize: 'off' });
  const family = h('input', { name: 'familyName', required: true, maxlength: TEXT.name.chars, placeholder: 'Ví dụ: Nhà Minh' });
  const parent = h('input', { name: 'parentName', required: true, maxlength: TEXT.name.chars, autocomplete: 'username', placeholder: 'Ví dụ: Mẹ Lan' });
  const password = h('input', { name: 'password', type: 'password', required: true, minlength: CONTRACT.minPasswordChars, autocomplete: 'new-password' });
  const again = h('input', { name: 'password2', type: 'password', required: true, minlength: CONTRACT.minPasswordChars, autocomplete: 'new-password' });
  const zone = h('select', { name: 'timeZone' });
  const here = Intl.DateTimeFormat().resolvedOptions().timeZone || 'Asia/Ho_Chi_Minh';
  const zones = new Set(Intl.supportedValuesOf ? Intl.supportedValuesOf('timeZone') : []);
  zones.add(here).add('Asia/Ho_Chi_Minh');
  for (const z of [...zones].sort()) zone.append(h('option', { value: z, selected: z === here }, z.replaceAll('_', ' ')));
  const line = errorLine();
  const button = h('button', { type: 'submit', class: 'nut-dac' }, 'Tạo tài khoản');
  const form = h('form', { class: 'the', novalidate: false },
    field('Mã thiết lập', token),
    field('Tên gia đình', family),
    field('Tên của bạn', parent, 'Bạn dùng tên này để đăng nhập.'),
    field('Mật khẩu', password, `Ít nhất ${CONTRACT.minPasswordChars} ký tự.`),
    field('Nhập lại mật khẩu', again),
    field('Múi giờ của gia đình', zone),
    line, button);
  form.addEventListener('submit', (e) => {
    e.preventDefault();
    if (password.value !== again.value) return showError(line, 'Hai mật khẩu chưa giống nhau.');
    act(button, line, async () => {
      takeSession(await api('POST', 'setup', {
        setupToken: token.value.trim(), familyName: family.value.trim(), parentName: parent.value.trim(),
        password: password.value, timeZone: zone.value,
      }));
      await loadRequests();
      if (first) render(true);
      else location.hash = '#/';
      toast('Xong rồi! Giờ thêm con và ghép máy của con nhé.');
    });
  });
  root.append(form);
  token.focus();
}

function loginPage(root) {
  heading(root, 'Đăng nhập');
  root.append(h('p', { class: 'gioi-thieu' }, 'Xem và đặt giờ dùng máy của con.'));
  const name = h('input', { name: 'name', required: true, autocomplete: 'username' });
  const password = h('input', { name: 'password', type: 'password', required: true, autocomplete: 'current-password' });
  const line = errorLine();
  const button = h('button', { type: 'submit', class: 'nut-dac' }, 'Đăng nhập');
  const form = h('form', { class: 'the' }, field('Tên', name), field('Mật khẩu', password), line, button);
  form.addEventListener('submit', (e) => {
    e.preventDefault();
    act(button, line, async () => {
      takeSession(await api('POST', 'login', { name: name.value.trim(), password: password.value }));
      await loadRequests();
      render(true);
    }).then(() => {
      if (!line.hidden) {
        password.value = '';
        password.focus();
      }
    });
  });
  root.append(form, h('p', { class: 'phu' }, h('a', { href: '#/gia-dinh-moi' }, 'Có mã thiết lập? Tạo gia đình mới')));
  name.focus();
}

async function loadChildren() {
  const family = await api('GET', 'family');
  const todays = await Promise.all(family.children.map((c) => api('GET', `children/${encodeURIComponent(c.id)}/today`)));
  family.children.forEach((c, i) => { c.today = todays[i]; });
  return family;
}

function familyPage(root) {
  const title = heading(root, S.session.family ? S.session.family.name : 'Gia đình');
  const offer = notificationOffer();
  if (offer) root.append(offer);
  live(root, ['family', 'usage'], loadChildren, (family) => {
    title.textContent = family.family.name;
    const out = [];
    if (family.children.length === 0) {
      out.push(h('p', { class: 'the trong' }, 'Chưa có con nào. Thêm con đầu tiên để bắt đầu.'));
    }
    const list = h('div', { class: 'luoi' });
    for (const child of family.children) {
      const devices = family.devices.filter((d) => d.childId === child.id);
      list.append(h('section', { class: 'the con', 'aria-labelledby': 'con-' + child.id },
        h('div', { class: 'dau-the' },
          h('h2', { id: 'con-' + child.id }, child.name),
          h('a', { href: `#/con/${encodeURIComponent(child.id)}`, class: 'nut-nho' }, 'Chi tiết')),
        todayLine(child.today, child),
        controls(child),
        deviceList(devices, child),
        h('div', { class: 'hang-nut' }, pairingButton(child),
          h('a', { href: `#/con/${encodeURIComponent(child.id)}/luat`, class: 'nut-vien' }, 'Luật dùng máy'))));
    }
    out.push(list, h('div', { class: 'luoi' }, addChildForm(), parentsBox(family.parents)));
    return out;
  });
}

function todayLine(today, child) {
  const lines = [];
  const used = `Hôm nay đã dùng ${duration(today.usedMinutes)}`;
  lines.push(h('p', { class: 'so-lieu' }, used, ' · ',
    today.minutesLeft == null ? 'không giới hạn' : h('strong', {}, `còn ${duration(today.minutesLeft)}`)));
  if (today.locked) {
    lines.push(h('p', { class: 'trang-thai khoa' }, h('img', { src: 'lock.svg', alt: '', width: 18, height: 18 }),
      'Đang khoá: ' + (CONTRACT.lockTitles[today.lockReason] || CONTRACT.parentsLockTitle)));
  } else {
    lines.push(h('p', { class: 'trang-thai mo' }, h('img', { src: 'open.svg', alt: '', width: 18, height: 18 }),
      'Đang mở'));
  }
  const grant = today.grantEndsAt || child.grantEndsAt;
  if (grant && new Date(grant) > new Date()) lines.push(h('p', { class: 'phu' }, `Được thêm giờ đến ${clock(grant)}`));
  return h('div', { class: 'hom-nay' }, lines);
}

function controls(child) {
  const line = errorLine();
  const path = `children/${encodeURIComponent(child.id)}/`;
  const run = (button, what, body, done) => act(button, line, async () => {
    await api('POST', path + what, body);
    toast(done);
    if (S.refresh) S.refresh('usage');
  });
  const lock = child.lockedByParent
    ? h('button', { type: 'button', class: 'nut-dac', onclick: (e) => run(e.currentTarget, 'unlock', undefined, `Đã mở khoá cho ${child.name}.`) }, 'Mở khoá')
    : h('button', { type: 'button', class: 'nut-nguy', onclick: (e) => run(e.currentTarget, 'lock', undefined, `Đã khoá. Máy của ${child.name} sẽ khoá trong khoảng một phút.`) }, 'Khoá máy ngay');
  const grants = GRANTS.map((m) => h('button', {
    type: 'button', class: 'nut-vien', 'aria-label': `Cho thêm ${m} phút`,
    onclick: (e) => run(e.currentTarget, 'grant', { minutes: m }, `Đã cho ${child.name} thêm ${duration(m)}.`),
  }, `+${m} phút`));
  return h('div', { class: 'dieu-khien' }, lock, h('div', { class: 'them-gio', role: 'group', 'aria-label': 'Cho thêm giờ' }, grants), line);
}

function deviceList(devices, child) {
  if (devices.length === 0) {
    return h('p', { class: 'phu' }, `Chưa có máy nào của ${child.name}. Tạo mã ghép rồi nhập mã trên máy của con.`);
  }
  return h('ul', { class: 'may', 'aria-label': `Máy của ${child.name}` }, devices.map((d) => {
    const facts = [];
    facts.push(h('span', { class: d.online ? 'cham xanh' : 'cham xam' },
      d.online ? 'Đang kết nối' : d.lastSeen ? `Ngoại tuyến, lần cuối ${ago(d.lastSeen)}` : 'Chưa kết nối lần nào'));
    if (d.protected === true) facts.push(h('span', { class: 'bao-ve' }, 'Đang được bảo vệ'));
    else if (d.protected === false) facts.push(h('span', { class: 'canh-bao' }, 'Chưa được bảo vệ' + (d.reason ? `: ${d.reason}` : '')));
    if (!d.reason && d.helperAlive === false) facts.push(h('span', { class: 'canh-bao' }, 'Ứng dụng trên máy của con không chạy'));
    if (!d.reason && d.childIsAdmin === true) facts.push(h('span', { class: 'canh-bao' }, 'Tài khoản của con có quyền quản trị'));
    const versions = [d.platform === 'mac' ? 'Mac' : 'Linux', d.osVersion, d.agentVersion && `TovuControl ${d.agentVersion}`, d.childUser && `tài khoản ${d.childUser}`]
      .filter(Boolean).join(' · ');
    const remove = h('button', {
      type: 'button', class: 'nut-chu nguy', 'aria-label': `Gỡ máy ${d.name}`,
      onclick: async (e) => {
        const button = e.currentTarget;
        const yes = await confirmBox(`Gỡ máy “${d.name}”?`,
          'Máy sẽ thôi nhận luật của gia đình. Muốn dùng lại, bạn cần ghép máy bằng mã mới.', 'Gỡ máy');
        if (!yes) return;
        act(button, null, async () => {
          await api('DELETE', `devices/${encodeURIComponent(d.id)}`);
          toast(`Đã gỡ máy ${d.name}.`);
          if (S.refresh) S.refresh('family');
        });
      },
    }, 'Gỡ máy');
    return h('li', { class: 'mot-may' },
      h('div', { class: 'dau-the' }, h('strong', {}, d.name), remove),
      h('p', { class: 'su-kien' }, facts),
      h('p', { class: 'phu nho' }, versions));
  }));
}

let pairingTimer = 0;
function pairingButton(child) {
  return h('button', {
    type: 'button', class: 'nut-vien', onclick: (e) => act(e.currentTarget, null, async () => {
      const answer = await api('POST', `children/${encodeURIComponent(child.id)}/pairing-code`, undefined);
      const dlg = document.getElementById('hop-ma-ghep');
      document.getElementById('ma-ghep-cho').textContent = `Để ghép một máy của ${child.name}:`;
      const code = document.getElementById('ma-ghep');
      code.textContent = answer.code.slice(0, 3) + ' ' + answer.code.slice(3);
      code.setAttribute('aria-label', answer.code.split('').join(' '));
      const expiry = document.getElementById('ma-ghep-han');
      const tick = () => {
        const left = Math.ceil((new Date(answer.expiresAt) - Date.now()) / 1000);
        if (left <= 0) {
          code.classList.add('het-han');
          expiry.textContent = 'Mã đã hết hạn. Hãy tạo mã mới.';
          clearInterval(pairingTimer);
          return;
        }
        const mm = Math.floor(left / 60);
        const ss = String(left % 60).padStart(2, '0');
        expiry.textContent = `Hết hạn lúc ${clock(answer.expiresAt)} (còn ${mm}:${ss})`;
      };
      code.classList.remove('het-han');
      clearInterval(pairingTimer);
      tick();
      pairingTimer = setInterval(tick, 1000);
      dlg.addEventListener('close', () => clearInterval(pairingTimer), { once: true });
      dlg.showModal();
    }),
  }, 'Mã ghép máy mới');
}

function addChildForm() {
  const name = h('input', { name: 'childName', required: true, maxlength: TEXT.name.chars, placeholder: 'Tên của con' });
  const line = errorLine();
  const button = h('button', { type: 'submit', class: 'nut-dac' }, 'Thêm con');
  const form = h('form', { class: 'the them' }, h('h2', {}, 'Thêm con'), field('Tên', name), line, button);
  form.addEventListener('submit', (e) => {
    e.preventDefault();
    act(button, line, async () => {
      const child = await api('POST', 'children', { name: name.value.trim() });
      toast(`Đã thêm ${child.name}. Bấm “Mã ghép máy mới” để ghép máy của con.`);
      if (S.refresh) S.refresh('family');
    });
  });
  return form;
}

function parentsBox(parents) {
  const name = h('input', { name: 'parentName', required: true, maxlength: TEXT.name.chars, autocomplete: 'off' });
  const password = h('input', { name: 'password', type: 'password', required: true, minlength: CONTRACT.minPasswordChars, autocomplete: 'new-password' });
  const line = errorLine();
  const button = h('button', { type: 'submit', class: 'nut-vien' }, 'Thêm người');
  const form = h('form', {}, field('Tên', name), field('Mật khẩu', password, `Ít nhất ${CONTRACT.minPasswordChars} ký tự.`), line, button);
  form.addEventListener('submit', (e) => {
    e.preventDefault();
    act(button, line, async () => {
      const added = await api('POST', 'parents', { name: name.value.trim(), password: password.value });
      toast(`${added.name} đã có thể đăng nhập.`);
      if (S.refresh) S.refresh('family');
    });
  });
  return h('section', { class: 'the', 'aria-labelledby': 'bo-me' },
    h('h2', { id: 'bo-me' }, 'Bố mẹ'),
    h('p', {}, parents.map((p) => p.name).join(', ')),
    h('details', {}, h('summary', {}, 'Thêm bố hoặc mẹ'), form));
}

async function loadChild(id) {
  const path = `children/${encodeURIComponent(id)}/`;
  const [family, today, week] = await Promise.all([api('GET', 'family'), api('GET', path + 'today'), api('GET', path + 'week')]);
  const child = family.children.find((c) => c.id === id);
  if (!child) throw new ApiError('Không tìm thấy con này trong gia đình.', 404);
  return { child, today, week, devices: family.devices.filter((d) => d.childId === id) };
}

function childPage(root, id) {
  const title = heading(root, 'Đang tải…', '#/');
  live(root, ['family', 'usage'], () => loadChild(id), ({ child, today, week, devices }) => {
    title.textContent = child.name;
    return [
      h('div', { class: 'luoi' },
        h('div', {},
          h('section', { class: 'the', 'aria-labelledby': 'hom-nay' }, h('h2', { id: 'hom-nay' }, 'Hôm nay'),
            todayLine(today, child), controls(child), appBars(today.apps)),
          h('section', { class: 'the', 'aria-labelledby': 'tuan' }, h('h2', { id: 'tuan' }, '7 ngày qua'), weekChart(week.days, child.rules))),
        h('div', {},
          pointsBox(child),
          h('section', { class: 'the', 'aria-labelledby': 'may-cua-con' }, h('h2', { id: 'may-cua-con' }, 'Máy của con'),
            deviceList(devices, child), h('div', { class: 'hang-nut' }, pairingButton(child))),
          h('p', {}, h('a', { class: 'nut-dac', href: `#/con/${encodeURIComponent(id)}/luat` }, 'Sửa luật dùng máy')))),
    ];
  });
}

function appBars(apps) {
  if (!apps.length) return h('p', { class: 'phu' }, 'Hôm nay con chưa dùng ứng dụng nào.');
  const sorted = [...apps].sort((a, b) => b.minutes - a.minutes);
  const most = Math.max(1, sorted[0].minutes);
  return h('ul', { class: 'ung-dung', 'aria-label': 'Thời gian theo ứng dụng' }, sorted.map((a) => h('li', {},
    h('span', { class: 'ten-app' }, a.appName), h('span', { class: 'phut' }, duration(a.minutes)),
    svg('svg', { class: 'thanh', viewBox: '0 0 100 8', preserveAspectRatio: 'none', 'aria-hidden': 'true' },
      svg('rect', { class: 'nen', x: 0, y: 0, width: 100, height: 8, rx: 2 }),
      svg('rect', { class: 'gia-tri', x: 0, y: 0, width: Math.max(1, (100 * a.minutes) / most), height: 8, rx: 2 })))));
}

function weekChart(days, rules) {
  const width = 350;
  const height = 190;
  const top = 24;
  const bottom = 160;
  const limits = days.map((d) => {
    const [y, m, dd] = d.day.split('-').map(Number);
    const weekday = (new Date(Date.UTC(y, m - 1, dd)).getUTCDay() + 6) % 7; // Monday = 0
    return rules.dailyMinutes[weekday];
  });
  const most = Math.max(60, ...days.map((d) => d.minutes), ...limits.filter((l) => l != null));
  const scale = (m) => ((bottom - top) * m) / most;
  const step = width / days.length;
  const label = '7 ngày qua: ' + days.map((d) => `${shortDay(d.day)} ${duration(d.minutes)}`).join(', ');
  const chart = svg('svg', { class: 'bieu-do', viewBox: `0 0 ${width} ${height}`, role: 'img', 'aria-label': label },
    svg('title', {}, label),
    svg('line', { class: 'truc', x1: 0, x2: width, y1: bottom, y2: bottom }));
  days.forEach((d, i) => {
    const x = i * step + step * 0.2;
    const w = step * 0.6;
    const barHeight = Math.max(d.minutes > 0 ? 2 : 0, scale(d.minutes));
    const today = i === days.length - 1;
    chart.append(svg('rect', { class: today ? 'cot hom-nay' : 'cot', x, y: bottom - barHeight, width: w, height: barHeight, rx: 3 }));
    chart.append(svg('text', { class: 'so', x: x + w / 2, y: bottom - barHeight - 6, 'text-anchor': 'middle' }, String(d.minutes)));
    chart.append(svg('text', { class: 'ngay', x: x + w / 2, y: bottom + 20, 'text-anchor': 'middle' }, today ? 'Hôm nay' : shortDay(d.day)));
    if (limits[i] != null) {
      const y = bottom - scale(limits[i]);
      chart.append(svg('line', { class: 'gioi-han', x1: x - 4, x2: x + w + 4, y1: y, y2: y }));
    }
  });
  return h('figure', { class: 'tuan' }, chart,
    h('figcaption', { class: 'phu nho' }, 'Số phút dùng máy mỗi ngày' +
      (limits.some((l) => l != null) ? '; vạch đỏ là giới hạn của ngày đó.' : '.')));
}

function pointsBox(child) {
  const amount = h('input', { type: 'number', min: 1, max: NUMBER.pointsDelta.max, step: 1, value: 10, inputmode: 'numeric', name: 'points' });
  const line = errorLine();
  const change = (sign, button) => act(button, line, async () => {
    const n = Number.parseInt(amount.value, 10);
    if (!(n > 0)) throw new ApiError('Hãy nhập số điểm lớn hơn 0.', 400);
    const updated = await api('POST', `children/${encodeURIComponent(child.id)}/points`, { delta: sign * n });
    toast(`${updated.name} có ${updated.pointsBalance} điểm.`);
    if (S.refresh) S.refresh('family');
  });
  const rate = child.rules.canExchangePoints
    ? `Con đổi được ${child.rules.pointsPerMinute} điểm lấy 1 phút, tối đa ${duration(child.rules.exchangeCapMinutes)} mỗi ngày.`
    : 'Con chưa được đổi điểm lấy thời gian.';
  return h('section', { class: 'the', 'aria-labelledby': 'diem' }, h('h2', { id: 'diem' }, 'Điểm'),
    h('p', { class: 'so-lon' }, h('span', { id: 'so-diem' }, String(child.pointsBalance)), ' điểm'),
    h('p', { class: 'phu' }, rate),
    field('Số điểm', amount),
    h('div', { class: 'hang-nut' },
      h('button', { type: 'button', class: 'nut-dac', onclick: (e) => change(1, e.currentTarget) }, 'Cộng điểm'),
      h('button', { type: 'button', class: 'nut-vien', onclick: (e) => change(-1, e.currentTarget) }, 'Trừ điểm')),
    line);
}

async function loadRules(id) {
  const [family, apps] = await Promise.all([api('GET', 'family'), api('GET', `children/${encodeURIComponent(id)}/apps`)]);
  const child = family.children.find((c) => c.id === id);
  if (!child) throw new ApiError('Không tìm thấy con này trong gia đình.', 404);
  return { child, apps: apps.apps };
}

function rulesPage(root, id) {
  const title = heading(root, 'Luật dùng máy', '#/');
  // Drawn once: events must not wipe what the parent is typing.
  live(root, [], () => loadRules(id), ({ child, apps }) => {
    title.textContent = `Luật dùng máy của ${child.name}`;
    return rulesForm(child, apps);
  });
}

function timeInput(value, label) {
  return h('input', { type: 'time', value: value || '', 'aria-label': label });
}

function rulesForm(child, reported) {
  const rules = child.rules;
  const days = WEEKDAYS.map((name, i) => {
    const hours = rules.hours[i];
    return {
      minutes: h('input', { type: 'number', min: NUMBER.dailyMinutes.min, max: NUMBER.dailyMinutes.max, step: 1, inputmode: 'numeric', value: rules.dailyMinutes[i] ?? '', placeholder: 'Không giới hạn', id: `phut-${i}`, 'aria-label': `${name}: số phút` }),
      from: timeInput(hours && hours.from, `${name}: dùng từ`),
      to: timeInput(hours && hours.to, `${name}: dùng đến`),
    };
  });
  const dayRows = WEEKDAYS.map((name, i) => h('div', { class: 'ngay-tuan', role: 'group', 'aria-labelledby': `ten-ngay-${i}` },
    h('span', { class: 'ten-ngay', id: `ten-ngay-${i}` }, name),
    h('div', { class: 'phut-ngay' }, days[i].minutes, h('span', { 'aria-hidden': 'true' }, 'phút')),
    h('div', { class: 'tu-den' }, days[i].from, h('span', {}, 'đến'), days[i].to)));
  const copy = h('button', {
    type: 'button', class: 'nut-chu', onclick: () => {
      for (const d of days.slice(1)) {
        d.minutes.value = days[0].minutes.value;
        d.from.value = days[0].from.value;
        d.to.value = days[0].to.value;
      }
      toast('Đã chép Thứ Hai cho cả tuần. Nhớ bấm Lưu.');
    },
  }, 'Chép Thứ Hai cho cả tuần');

  const bedOn = h('input', { type: 'checkbox', id: 'co-gio-ngu', checked: !!rules.bedtime });
  const bedFrom = timeInput(rules.bedtime && rules.bedtime.from, 'Giờ đi ngủ');
  const bedTo = timeInput(rules.bedtime && rules.bedtime.to, 'Giờ thức dậy');
  const bedTimes = h('div', { class: 'tu-den' }, bedFrom, h('span', {}, 'đến'), bedTo);
  const syncBed = () => { bedFrom.disabled = bedTo.disabled = !bedOn.checked; };
  bedOn.addEventListener('change', syncBed);
  syncBed();

  const mode = [MODE.free, MODE.learning].map((value) => h('input', { type: 'radio', name: 'mode', value, id: 'che-do-' + value, checked: rules.mode === value }));

  // Apps the rules name but no device reported any more stay choosable, so saving keeps them.
  const names = new Map(reported.map((a) => [a.appId, a.appName]));
  for (const appId of [...rules.allowedApps, ...rules.learningApps]) if (!names.has(appId)) names.set(appId, appId);
  const apps = [...names].sort((a, b) => a[1].localeCompare(b[1], 'vi'));
  const appChoice = (list, prefix, legend, hint) => {
    const boxes = apps.map(([appId, appName]) => h('input', { type: 'checkbox', value: appId, id: `${prefix}-${appId}`, checked: list.includes(appId) }));
    const set = h('fieldset', { class: 'chon-app' }, h('legend', {}, legend), h('p', { class: 'phu nho' }, hint),
      apps.length === 0
        ? h('p', { class: 'phu' }, 'Máy của con chưa báo ứng dụng nào. Khi con dùng máy, danh sách sẽ hiện ở đây.')
        : h('div', { class: 'danh-sach' }, boxes.map((b, i) => h('label', { for: b.id, class: 'hop-chon' }, b,
          h('span', {}, apps[i][1], apps[i][1] !== apps[i][0] && h('small', {}, apps[i][0]))))));
    return { set, chosen: () => boxes.filter((b) => b.checked).map((b) => b.value) };
  };
  const allowed = appChoice(rules.allowedApps, 'cho-phep', 'Ứng dụng được dùng trong giờ học', 'Khi ở chế độ Chỉ app học, chỉ các ứng dụng này mở được.');
  const learning = appChoice(rules.learningApps, 'hoc-tap', 'Ứng dụng học tập', 'Vẫn dùng được khi đã hết giờ trong ngày.');

  const exchange = h('input', { type: 'checkbox', id: 'doi-diem', checked: rules.canExchangePoints });
  const perMinute = h('input', { type: 'number', min: NUMBER.pointsPerMinute.min, max: NUMBER.pointsPerMinute.max, step: 1, inputmode: 'numeric', value: rules.pointsPerMinute, id: 'diem-moi-phut' });
  const cap = h('input', { type: 'number', min: NUMBER.exchangeCapMinutes.min, max: NUMBER.exchangeCapMinutes.max, step: 1, inputmode: 'numeric', value: rules.exchangeCapMinutes, id: 'toi-da-doi' });

  const line = errorLine();
  const save = h('button', { type: 'submit', class: 'nut-dac' }, 'Lưu luật');
  const form = h('form', { class: 'luat', novalidate: true },
    h('section', { class: 'the' }, h('h2', {}, 'Giờ dùng máy mỗi ngày'),
      h('p', { class: 'phu' }, 'Mỗi ngày: số phút được dùng (để trống là không giới hạn) và khung giờ được dùng (để trống là cả ngày).'),
      h('div', { class: 'ngay-tuan dau-cot', 'aria-hidden': 'true' }, h('span', {}, 'Ngày'), h('span', {}, 'Số phút'), h('span', {}, 'Được dùng trong giờ')),
      dayRows, copy),
    h('section', { class: 'the' }, h('h2', {}, 'Giờ đi ngủ'),
      h('label', { for: bedOn.id, class: 'hop-chon' }, bedOn, h('span', {}, 'Khoá máy vào giờ ngủ')),
      h('div', { class: 'o' }, h('span', { class: 'nhan' }, 'Từ (có thể qua nửa đêm)'), bedTimes)),
    h('section', { class: 'the' }, h('h2', {}, 'Chế độ'),
      h('fieldset', { class: 'che-do' }, h('legend', { class: 'an' }, 'Chế độ'),
        h('label', { for: mode[0].id, class: 'hop-chon' }, mode[0], h('span', {}, h('strong', {}, 'Tự do'), h('small', {}, 'Dùng mọi ứng dụng trong giờ cho phép'))),
        h('label', { for: mode[1].id, class: 'hop-chon' }, mode[1], h('span', {}, h('strong', {}, 'Chỉ app học'), h('small', {}, 'Chỉ mở được các ứng dụng chọn bên dưới')))),
      allowed.set, learning.set),
    h('section', { class: 'the' }, h('h2', {}, 'Đổi điểm'),
      h('label', { for: exchange.id, class: 'hop-chon' }, exchange, h('span', {}, 'Cho con đổi điểm lấy thời gian')),
      field('Số điểm cho mỗi phút', perMinute),
      field('Đổi tối đa mỗi ngày (phút)', cap)),
    h('div', { class: 'luu' }, line, save));

  const whole = (input, min, max, label) => {
    const n = Number(input.value);
    if (input.value.trim() === '' || !Number.isInteger(n) || n < min || n > max) {
      input.focus();
      throw new ApiError(`${label}: hãy nhập số nguyên từ ${min} đến ${max}.`, 400);
    }
    return n;
  };
  const span = (from, to, label) => {
    if (!from.value && !to.value) return null;
    if (!from.value || !to.value) {
      (from.value ? to : from).focus();
      throw new ApiError(`${label}: hãy điền đủ giờ bắt đầu và giờ kết thúc.`, 400);
    }
    return { from: from.value.slice(0, 5), to: to.value.slice(0, 5) };
  };
  form.addEventListener('submit', (e) => {
    e.preventDefault();
    act(save, line, async () => {
      const next = {
        dailyMinutes: days.map((d, i) => (d.minutes.value.trim() === '' ? null : whole(d.minutes, NUMBER.dailyMinutes.min, NUMBER.dailyMinutes.max, WEEKDAYS[i]))),
        hours: days.map((d, i) => span(d.from, d.to, WEEKDAYS[i])),
        bedtime: bedOn.checked ? span(bedFrom, bedTo, 'Giờ đi ngủ') : null,
        mode: mode[1].checked ? MODE.learning : MODE.free,
        allowedApps: allowed.chosen(),
        learningApps: learning.chosen(),
        canExchangePoints: exchange.checked,
        pointsPerMinute: whole(perMinute, NUMBER.pointsPerMinute.min, NUMBER.pointsPerMinute.max, 'Số điểm cho mỗi phút'),
        exchangeCapMinutes: whole(cap, NUMBER.exchangeCapMinutes.min, NUMBER.exchangeCapMinutes.max, 'Đổi tối đa mỗi ngày'),
      };
      if (bedOn.checked && !next.bedtime) throw new ApiError('Giờ đi ngủ: hãy điền đủ giờ bắt đầu và giờ kết thúc.', 400);
      const saved = await api('PUT', `children/${encodeURIComponent(child.id)}/rules`, next);
      toast(`Đã lưu luật cho ${saved.name}. Máy của con nhận luật mới trong khoảng một phút.`);
    });
  });
  return form;
}

function requestsPage(root) {
  heading(root, 'Yêu cầu của con');
  const offer = notificationOffer();
  if (offer) root.append(offer);
  live(root, ['requests', 'family'], async () => {
    await loadRequests();
    return S.requests;
  }, (requests) => {
    const waiting = requests.filter((r) => r.status === STATUS.waiting);
    const answered = requests.filter((r) => r.status !== STATUS.waiting);
    return [
      h('section', { 'aria-labelledby': 'dang-cho' }, h('h2', { id: 'dang-cho' }, 'Đang chờ bạn trả lời'),
        waiting.length === 0 ? h('p', { class: 'the trong' }, 'Không có yêu cầu nào đang chờ.')
          : h('ul', { class: 'yeu-cau' }, waiting.map(waitingItem))),
      answered.length > 0 && h('section', { 'aria-labelledby': 'da-tra-loi' }, h('h2', { id: 'da-tra-loi' }, 'Đã trả lời'),
        h('ul', { class: 'yeu-cau' }, answered.map(answeredItem))),
    ];
  });
}

function waitingItem(r) {
  const minutes = h('input', { type: 'number', min: NUMBER.minutes.min, max: NUMBER.minutes.max, step: 1, value: r.minutes, inputmode: 'numeric', name: 'minutes' });
  const line = errorLine();
  const answer = (button, body, done) => act(button, line, async () => {
    await api('POST', `requests/${encodeURIComponent(r.id)}/answer`, body);
    toast(done);
    await loadRequests();
    if (S.refresh) S.refresh('requests');
  });
  return h('li', { class: 'the cho', 'data-id': r.id },
    h('p', { class: 'tieu-de' }, requestText(r)),
    r.note && h('p', { class: 'loi-nhan' }, `“${r.note}”`),
    h('p', { class: 'phu nho' }, `Gửi lúc ${when(r.createdAt)}`),
    field('Số phút cho thêm', minutes),
    h('div', { class: 'hang-nut' },
      h('button', {
        type: 'button', class: 'nut-dac', onclick: (e) => {
          const n = Number(minutes.value);
          if (!Number.isInteger(n) || n < NUMBER.minutes.min || n > NUMBER.minutes.max) return showError(line, `Hãy nhập từ ${NUMBER.minutes.min} đến ${NUMBER.minutes.max} phút.`);
          return answer(e.currentTarget, { answer: STATUS.granted, minutes: n }, `Đã cho ${r.childName} thêm ${duration(n)}.`);
        },
      }, 'Đồng ý'),
      h('button', { type: 'button', class: 'nut-vien', onclick: (e) => answer(e.currentTarget, { answer: STATUS.refused }, `Đã từ chối yêu cầu của ${r.childName}.`) }, 'Từ chối')),
    line);
}

function answeredItem(r) {
  const detail = [STATUS_TEXT[r.status] || r.status];
  if (r.answeredAt) detail.push(when(r.answeredAt));
  if (r.status === STATUS.granted && r.grantEndsAt) detail.push(`máy mở đến ${clock(r.grantEndsAt)}`);
  return h('li', { class: 'the xong ' + r.status },
    h('p', { class: 'tieu-de' }, requestText(r)),
    r.note && h('p', { class: 'loi-nhan' }, `“${r.note}”`),
    h('p', { class: 'phu nho' }, detail.join(' · ')));
}

// ---- start ----

async function start() {
  document.getElementById('dang-xuat').addEventListener('click', (e) => act(e.currentTarget, null, async () => {
    await api('POST', 'logout', {});
    await sessionEnded('Đã đăng xuất. Hẹn gặp lại!');
  }));
  window.addEventListener('hashchange', () => render(true));
  for (const dialog of document.querySelectorAll('dialog')) dialog.addEventListener('close', () => S.resume());
  try {
    takeSession(await api('GET', 'session'));
  } catch (e) {
    main().replaceChildren(h('p', { class: 'loi', role: 'alert' }, e.message));
    return;
  }
  if (S.session.loggedIn) await loadRequests();
  render(false);
}

start();
