// What keeps the page current: the event stream, the inbox's count, browser notifications, and
// pages that load their data and draw it again when something changes.
import { CONTRACT } from './contract.js';
import { h, noteSlot, put, say } from './dom.js';
import { syncPush } from './push.js';
import { S, api, setOffline, takeSession } from './session.js';
import { requestText } from './texts.js';

const { status: STATUS } = CONTRACT;

export function startEvents() {
  if (S.events) return;
  const es = new EventSource('/api/console/events');
  es.addEventListener('request', (e) => requestArrived(JSON.parse(e.data)));
  es.addEventListener('changed', (e) => changed(JSON.parse(e.data).what));
  es.addEventListener('open', () => setOffline(false));
  es.addEventListener('error', () => {
    // A stream that breaks while the browser retries it may mean the server is gone: ask.
    if (es.readyState === EventSource.CONNECTING) api('GET', 'session').catch(() => {});
    // The browser retries by itself unless the server refused the stream (for instance after
    // the session ended); then look at the session again a little later.
    if (es.readyState !== EventSource.CLOSED || S.events !== es) return;
    S.events = null;
    setTimeout(async () => {
      try {
        const session = await api('GET', 'session');
        if (!session.loggedIn && S.session.loggedIn) {
          takeSession(session);
          S.render(true);
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

export function stopEvents() {
  if (S.events) S.events.close();
  S.events = null;
}

function requestArrived(r) {
  S.requests = [r, ...S.requests.filter((x) => x.id !== r.id)];
  showWaitingCount();
  if (r.status === STATUS.waiting) {
    notify(r);
  }
  if (S.refresh) S.refresh('requests');
}

// While the page is open, for browsers that reach no push service; push shows the rest.
function notify(r) {
  if (S.pushOn || !('Notification' in window) || window.Notification.permission !== 'granted') return;
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

export async function loadRequests() {
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

export function notificationOffer() {
  if (!('Notification' in window) || window.Notification.permission !== 'default') return null;
  const box = h('div', { class: 'moi' },
    h('p', {}, 'Bật thông báo để biết ngay khi con xin thêm giờ, cả khi đã đóng trang này.'));
  box.append(h('button', {
    type: 'button', class: 'nut-vien', onclick: async () => {
      await window.Notification.requestPermission();
      box.remove();
      if (window.Notification.permission !== 'granted') return;
      say('trang', await syncPush() ? 'Đã bật thông báo.'
        : 'Đã bật thông báo. Trình duyệt này chỉ báo khi trang TovuControl đang mở.');
    },
  }, 'Bật thông báo'));
  return box;
}

export function heading(root, text, back) {
  if (back) root.append(h('a', { class: 'lui', href: back }, '← Gia đình'));
  const h1 = h('h1', {}, text);
  root.append(h1, noteSlot('trang'));
  return h1;
}

// Loads a page's data and draws it again on each event the page cares about, but never under
// the parent's fingers: while a field has the focus the redraw waits until it loses it.
export function live(root, what, load, draw) {
  const turn = S.turn;
  const box = h('div', { class: 'khoi-tai', 'aria-busy': 'true' }, h('p', { class: 'dang-tai' }, 'Đang tải…'));
  root.append(box);
  let waiting = false;
  const typing = () => box.contains(document.activeElement) && document.activeElement.matches('input, select, textarea');
  S.resume = () => setTimeout(() => {
    if (waiting && !typing() && turn === S.turn) reload();
  }, 0);
  box.addEventListener('focusout', S.resume);
  let last = null; // the data on screen, drawn again as "unknown" while the server is away
  const show = (data) => {
    waiting = typing() || document.querySelector('dialog[open]') !== null;
    if (waiting) return;
    box.replaceChildren();
    put(box, [draw(data)]);
  };
  const reload = async () => {
    try {
      const data = await load();
      if (turn !== S.turn) return;
      last = data;
      show(data);
    } catch (e) {
      if (turn !== S.turn || e.handled) return;
      if (S.offline && last) show(last);
      else box.replaceChildren(h('p', { class: 'loi', role: 'alert' }, e.message));
    } finally {
      box.removeAttribute('aria-busy');
    }
  };
  S.refresh = (kind) => {
    if (kind === 'mat-ket-noi') {
      if (last) show(last);
    } else if (kind === 'lai' || what.includes(kind)) {
      reload();
    }
  };
  reload();
  return reload;
}

