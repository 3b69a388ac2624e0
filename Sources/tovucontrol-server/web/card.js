// A child's state and the parent's quick actions, on the family page and the child's page.
import { CONTRACT } from './contract.js';
import { act, confirmBox, errorLine, h, noteSlot, say, svg } from './dom.js';
import { S, api } from './session.js';
import { ago, clock, duration } from './texts.js';

const GRANTS = [15, 30, 60];

const icons = {
  khoa: ['M5 10.5h14v10H5z', 'M8 10.5V7.5a4 4 0 0 1 8 0v3'],
  mo: ['M5 10.5h14v10H5z', 'M8 10.5V7.5a4 4 0 0 1 7.7-1.5'],
  may: ['M3.5 5h17v11h-17z', 'M8 20h8', 'M12 16v4'],
};

function icon(name) {
  return svg('svg', { viewBox: '0 0 24 24', width: 18, height: 18, class: 'bieu-tuong', 'aria-hidden': 'true' },
    icons[name].map((d) => svg('path', { d })));
}

function lockTitle(today) {
  return CONTRACT.lockTitles[today.lockReason] || CONTRACT.parentsLockTitle;
}

// What a computer tells about itself, as the parent should read it: not protected is red, a
// computer that only lacks the countdown on the child's screen is amber, at most.
function deviceFacts(d) {
  if (S.offline) return [h('span', { class: 'cham xam' }, 'Chưa rõ: mất kết nối với máy chủ')];
  const facts = [h('span', { class: d.online ? 'cham xanh' : 'cham xam' },
    d.online ? 'Đang kết nối' : d.lastSeen ? `Ngoại tuyến, lần cuối ${ago(d.lastSeen)}` : 'Chưa kết nối lần nào')];
  if (d.rulesReceivedAt) facts.push(h('span', {}, `Máy đã nhận lúc ${clock(d.rulesReceivedAt)}`));
  else if (d.rulesWaiting) facts.push(h('span', {}, 'Máy chưa nhận thay đổi mới nhất'));
  if (d.protected === false) facts.push(h('span', { class: 'nguy-hiem' }, 'Chưa được bảo vệ' + (d.reason ? `: ${d.reason}` : '')));
  else if (d.protected === true) {
    facts.push(h('span', { class: 'bao-ve' }, 'Đang được bảo vệ'));
    if (d.helperAlive === false) facts.push(h('span', { class: 'canh-bao' }, 'Màn hình của con không hiện giờ đếm ngược'));
  }
  if (d.lastRefusal) facts.push(h('span', { class: 'canh-bao' }, d.lastRefusal));
  if (!d.reason && d.childIsAdmin === true) facts.push(h('span', { class: 'canh-bao' }, 'Tài khoản của con có quyền quản trị'));
  return facts;
}

// The top of a child's card: the lock and why, the time, and each computer, as they are now.
export function statusBlock(child, today, devices) {
  const lines = [];
  if (devices.length === 0) {
    lines.push(h('p', { class: 'trang-thai trong' }, icon('may'), 'Chưa có máy'));
  } else if (today.locked) {
    lines.push(h('p', { class: 'trang-thai khoa' }, icon('khoa'), 'Đang khoá: ' + lockTitle(today)));
  } else {
    lines.push(h('p', { class: 'trang-thai mo' }, icon('mo'), 'Đang mở'));
  }
  lines.push(h('p', { class: 'so-lieu' }, `Hôm nay đã dùng ${duration(today.usedMinutes)}`, ' · ',
    today.minutesLeft == null ? 'không giới hạn' : h('strong', {}, `còn ${duration(today.minutesLeft)}`)));
  const grant = today.grantEndsAt || child.grantEndsAt;
  if (grant && new Date(grant) > new Date()) lines.push(h('p', { class: 'phu' }, `Được thêm giờ đến ${clock(grant)}`));
  if (devices.length > 0) {
    lines.push(h('ul', { class: 'tinh-trang-may', 'aria-label': `Máy của ${child.name}` },
      devices.map((d) => h('li', {}, h('strong', {}, d.name), h('span', { class: 'su-kien' }, deviceFacts(d))))));
  }
  return h('div', { class: 'hom-nay' }, lines);
}

// Lock, unlock and more time, each with its way back. A child without a computer gets the
// pairing code instead: there is nothing to lock yet.
export function controls(child, devices) {
  const place = 'con-' + child.id;
  if (devices.length === 0) {
    return h('div', { class: 'dieu-khien' },
      h('p', { class: 'phu' }, `Ghép máy của ${child.name} để khoá máy và cho thêm giờ từ đây.`),
      pairingButton(child, 'nut-dac'), noteSlot(place));
  }
  const line = errorLine();
  const path = `children/${encodeURIComponent(child.id)}/`;
  const send = async (what, body) => {
    await api('POST', path + what, body);
    if (S.refresh) S.refresh('usage');
  };
  const lock = async () => {
    await send('lock');
    say(place, `Đã khoá máy của ${child.name}.`, [['Hoàn tác', unlock]]);
  };
  const unlock = async () => {
    await send('unlock');
    say(place, `Đã mở khoá cho ${child.name}.`, [['Hoàn tác', lock]]);
  };
  const toggle = child.lockedByParent
    ? h('button', { type: 'button', class: 'nut-dac', onclick: (e) => act(e.currentTarget, line, unlock) }, 'Mở khoá')
    : h('button', { type: 'button', class: 'nut-nguy', onclick: (e) => act(e.currentTarget, line, lock) }, 'Khoá máy ngay');
  const grants = GRANTS.map((m) => h('button', {
    type: 'button', class: 'nut-vien', 'aria-label': `Cho thêm ${m} phút`,
    onclick: (e) => act(e.currentTarget, line, async () => {
      await send('grant', { minutes: m });
      say(place, `Đã cho ${child.name} thêm ${duration(m)}.`);
    }),
  }, `+${m} phút`));
  return h('div', { class: 'dieu-khien' }, toggle,
    h('div', { class: 'them-gio', role: 'group', 'aria-label': 'Cho thêm giờ' }, grants), line, noteSlot(place));
}

// The child's computers with what a parent manages on them.
export function deviceList(devices, child) {
  const place = 'may-' + child.id;
  if (devices.length === 0) {
    return [h('p', { class: 'phu' }, `Chưa có máy nào của ${child.name}. Tạo mã ghép rồi nhập mã trên máy của con.`), noteSlot(place)];
  }
  return h('ul', { class: 'may', 'aria-label': `Máy của ${child.name}` }, devices.map((d) => {
    const versions = ['Linux', d.osVersion, d.agentVersion && `TovuControl ${d.agentVersion}`, d.childUser && `tài khoản ${d.childUser}`]
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
          say(place, `Đã gỡ máy ${d.name}.`);
          if (S.refresh) S.refresh('family');
        }, place);
      },
    }, 'Gỡ máy');
    return h('li', { class: 'mot-may' },
      h('div', { class: 'dau-the' }, h('strong', {}, d.name), remove),
      h('p', { class: 'phu nho' }, versions));
  }), noteSlot(place));
}

let pairingTimer = 0;
export function pairingButton(child, look = 'nut-vien') {
  return h('button', {
    type: 'button', class: look, onclick: (e) => act(e.currentTarget, null, async () => {
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
