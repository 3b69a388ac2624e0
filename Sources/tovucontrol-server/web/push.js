// Notifications that reach the parent with the console closed: the service worker, and this
// browser's push subscription, which the server keeps for the parent logged in here.
import { S, api } from './session.js';

export function startWorker() {
  if ('serviceWorker' in navigator) navigator.serviceWorker.register('sw.js', { type: 'module' }).catch(() => {});
}

async function subscription(create) {
  if (!('serviceWorker' in navigator) || !('PushManager' in window)) return null;
  const registration = await navigator.serviceWorker.ready;
  const current = await registration.pushManager.getSubscription();
  if (current || !create) return current;
  const { publicKey } = await api('GET', 'push');
  return registration.pushManager.subscribe({ userVisibleOnly: true, applicationServerKey: publicKey });
}

// Gives the server this browser's subscription once notifications are allowed. False where the
// browser reaches no push service: then notifications come only while the console is open.
export async function syncPush() {
  S.pushOn = false;
  if (!('Notification' in window) || window.Notification.permission !== 'granted') return false;
  try {
    const sub = await subscription(true);
    if (!sub) return false;
    await api('POST', 'push/subscriptions', sub.toJSON());
    S.pushOn = true;
  } catch {
    // no push service reachable from this browser
  }
  return S.pushOn;
}

// Before logging out: a shared phone must not go on showing this family's requests.
export async function dropPush() {
  try {
    const sub = await subscription(false);
    if (sub) await api('POST', 'push/subscriptions/remove', { endpoint: sub.endpoint });
  } catch {
    // the server forgets subscriptions its push service no longer knows
  }
  S.pushOn = false;
}
