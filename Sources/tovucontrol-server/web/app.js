// The parents' console: one page whose parts are drawn by the module of each page, talking to
// /api/console/ and listening to its event stream.
import { act, h, main, say } from './dom.js';
import { startEvents, stopEvents, loadRequests } from './live.js';
import { dropPush, startWorker, syncPush } from './push.js';
import { S, api, takeSession } from './session.js';
import { loginPage, setupPage } from './setup.js';
import { familyPage } from './family.js';
import { childPage } from './child.js';
import { rulesPage } from './rules.js';
import { requestsPage } from './requests.js';

async function sessionEnded(message) {
  stopEvents();
  takeSession(await api('GET', 'session'));
  render(true);
  say('trang', message);
}

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

async function start() {
  S.render = render;
  S.ended = sessionEnded;
  document.getElementById('dang-xuat').addEventListener('click', (e) => act(e.currentTarget, null, async () => {
    await dropPush();
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
  startWorker();
  if (S.session.loggedIn) {
    await loadRequests();
    syncPush();
  }
  render(false);
}

start();
