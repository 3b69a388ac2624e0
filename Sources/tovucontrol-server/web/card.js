// A child's state and the parent's quick actions, on the family page and the child's page.
import { CONTRACT } from './contract.js';
import { act, confirmBox, errorLine, h, toast } from './dom.js';
import { S, api } from './session.js';
import { ago, clock, duration } from './texts.js';

const GRANTS = [15, 30, 60];

export function todayLine(today, child) {
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

export function controls(child) {
  const line = errorLine();
  const path = `children/${encodeURIComponent(child.id)}/`;
  const run = (button, what, body, done) => act(button, line, async () => {
    await api('POST', path + what, body);
    toast(done);
    if (S.refresh) S.refresh('usage');
  });
  const lock = child.lockedByParent
    ? h('button', { type: 'button', class: 'nut-dac', onclick: (e) => run(e.currentTarget, 'unlock', undefined, `Đã mở khoá cho ${child.name}.`) }, 'Mở khoá')
    : h('button', { type: 'button', class: 'nut-nguy', onclick: (e) => run(e.currentTarget, 'lock', undefined, `Đã khoá máy của ${child.name}.`) }, 'Khoá máy ngay');
  const grants = GRANTS.map((m) => h('button', {
    type: 'button', class: 'nut-vien', 'aria-label': `Cho thêm ${m} phút`,
    onclick: (e) => run(e.currentTarget, 'grant', { minutes: m }, `Đã cho ${child.name} thêm ${duration(m)}.`),
  }, `+${m} phút`));
  return h('div', { class: 'dieu-khien' }, lock, h('div', { class: 'them-gio', role: 'group', 'aria-label': 'Cho thêm giờ' }, grants), line);
}

export function deviceList(devices, child) {
  if (devices.length === 0) {
    return h('p', { class: 'phu' }, `Chưa có máy nào của ${child.name}. Tạo mã ghép rồi nhập mã trên máy của con.`);
  }
  return h('ul', { class: 'may', 'aria-label': `Máy của ${child.name}` }, devices.map((d) => {
    const facts = [];
    facts.push(h('span', { class: d.online ? 'cham xanh' : 'cham xam' },
      d.online ? 'Đang kết nối' : d.lastSeen ? `Ngoại tuyến, lần cuối ${ago(d.lastSeen)}` : 'Chưa kết nối lần nào'));
    if (d.rulesReceivedAt) facts.push(h('span', {}, `Máy đã nhận lúc ${clock(d.rulesReceivedAt)}`));
    else if (d.rulesWaiting) facts.push(h('span', {}, 'Máy chưa nhận thay đổi mới nhất'));
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
export function pairingButton(child) {
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
