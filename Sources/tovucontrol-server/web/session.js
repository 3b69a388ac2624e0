// The parent's session and every call to /api/console/.
import { confirmBox } from './dom.js';

// The server asks first when an act does more than it says: a grant that lifts the parents'
// lock, a second child of the same name. Its flag, said yes to, goes with the same call again.
const CONFIRMS = {
  unlock: ['Mở khoá máy?', 'Mở khoá và cho thêm giờ'],
  sameName: ['Trùng tên', 'Vẫn dùng tên này'],
};

export const S = {
  session: null, // answer of GET session
  csrf: '',
  requests: [], // the inbox, waiting ones first
  events: null, // EventSource while logged in
  turn: 0, // bumped on every page change, so late answers of an old page are dropped
  refresh: null, // how the page on screen reloads its data after an event
  resume: () => {}, // draws a reload that waited for the parent to leave a field or a dialog
  render: () => {}, // draws the page of the address (set by app.js)
  ended: async () => {}, // goes back to the login page with a message (set by app.js)
  offline: false, // the server did not answer the last call
  pushOn: false, // the server has this browser's push subscription
};

export class ApiError extends Error {
  constructor(message, status, handled = false) {
    super(message);
    this.status = status;
    this.handled = handled; // already told to the parent
  }
}

export async function api(method, path, body) {
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
    setOffline(true);
    throw new ApiError('Chưa kết nối được máy chủ. Kiểm tra mạng rồi thử lại.', 0);
  }
  setOffline(false);
  let data = null;
  try {
    data = await res.json();
  } catch {
    data = null;
  }
  if (!res.ok) {
    const message = (data && data.message) || 'Có lỗi xảy ra, hãy thử lại.';
    const question = data && CONFIRMS[data.confirm];
    if (res.status === 409 && question && body && !body[data.confirm]) {
      if (await confirmBox(question[0], message, question[1])) return api(method, path, { ...body, [data.confirm]: true });
      throw new ApiError(message, res.status, true);
    }
    if (res.status === 401 && S.session && S.session.loggedIn && !['login', 'session'].includes(path)) {
      await S.ended('Phiên đăng nhập đã hết, hãy đăng nhập lại.');
      throw new ApiError(message, res.status, true);
    }
    throw new ApiError(message, res.status);
  }
  return data;
}

// The banner under the header says so while the server cannot be reached; when it answers again
// the page loads its data anew.
export function setOffline(offline) {
  if (S.offline === offline) return;
  S.offline = offline;
  document.getElementById('mat-ket-noi').hidden = !offline;
  if (S.refresh) S.refresh(offline ? 'mat-ket-noi' : 'lai');
}

export function takeSession(session) {
  S.session = session;
  if (session.csrf) S.csrf = session.csrf;
  const name = session.loggedIn && session.family ? session.family.name : 'TovuControl';
  document.getElementById('ten-gia-dinh').textContent = name;
  document.getElementById('menu').hidden = !session.loggedIn;
}
