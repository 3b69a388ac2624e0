// The console's service worker: shows the server's push messages, answers a child's request from
// the notification's buttons, and keeps the console's files for when the server cannot be reached.
import { CONTRACT } from './contract.js';

const CACHE = 'tovu-console';
const { status: STATUS } = CONTRACT;
// Browsers show at most Notification.maxActions buttons (two in Chromium): then "Đồng ý 30"
// is one tap away in the console, which the notification itself opens.
const ACTIONS = Notification.maxActions >= 3
  ? [['dong-y-15', 'Đồng ý 15'], ['dong-y-30', 'Đồng ý 30'], ['tu-choi', 'Từ chối']]
  : [['dong-y-15', 'Đồng ý 15'], ['tu-choi', 'Từ chối']];
const ANSWERS = { 'dong-y-15': [STATUS.granted, 15], 'dong-y-30': [STATUS.granted, 30], 'tu-choi': [STATUS.refused] };

self.addEventListener('install', () => self.skipWaiting());
self.addEventListener('activate', (e) => e.waitUntil(self.clients.claim()));

// The network first; the last copy of a file when the server is away, so the console opens and
// says so itself. The API is never cached.
self.addEventListener('fetch', (e) => {
  const url = new URL(e.request.url);
  if (e.request.method !== 'GET' || url.origin !== self.location.origin || url.pathname.startsWith('/api/')) return;
  e.respondWith(fetch(e.request).then((res) => {
    if (res.ok) {
      const copy = res.clone();
      e.waitUntil(caches.open(CACHE).then((c) => c.put(e.request, copy)));
    }
    return res;
  }, async () => (await caches.match(e.request)) || Response.error()));
});

function show(m) {
  return self.registration.showNotification(m.title, {
    body: m.body || '', tag: m.tag, lang: 'vi', icon: 'icon-192.png', data: m,
    actions: m.request ? ACTIONS.map(([action, title]) => ({ action, title })) : [],
    requireInteraction: !!m.request,
  });
}

self.addEventListener('push', (e) => {
  if (e.data) e.waitUntil(show(e.data.json()));
});

async function openConsole(url) {
  const windows = await self.clients.matchAll({ type: 'window', includeUncontrolled: true });
  if (windows.length > 0) return windows[0].navigate(url).then((w) => (w || windows[0]).focus());
  return self.clients.openWindow(url);
}

// The notification carries the request's own answer token, so no session is needed here. What
// the server will not do from a notification (a grant that would lift the parents' lock, a
// request answered meanwhile) is left to the console, which opens at the request.
async function answer(m, [status, minutes]) {
  const res = await fetch('/api/push/answer', {
    method: 'POST', headers: { 'Content-Type': 'application/json' },
    body: JSON.stringify({ request: m.request.id, token: m.request.token, answer: status, minutes }),
  });
  const reply = await res.json().catch(() => ({}));
  if (res.ok) return show({ title: reply.message, tag: m.tag, url: m.url });
  if (reply.message) await show({ title: reply.message, tag: m.tag, url: m.url });
  return openConsole(m.url);
}

self.addEventListener('notificationclick', (e) => {
  const m = e.notification.data || {};
  e.notification.close();
  const choice = ANSWERS[e.action];
  e.waitUntil(choice && m.request ? answer(m, choice) : openConsole(m.url || '/'));
});
