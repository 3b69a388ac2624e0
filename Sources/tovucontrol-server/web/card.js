// A child's state and the parent's quick actions, on the family page and the child's page.
import { CONTRACT } from './contract.js';
import { act, confirmBox, field, form, h, noteSlot, say, svg } from './dom.js';
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

// The top of a child's card: the lock and why, today's time and limit (also while locked), and
// each computer, as they are now.
export function statusBlock(child, today, devices) {
  const lines = [];
  if (devices.length === 0) {
    lines.push(h('p', { class: 'trang-thai trong' }, icon('may'), 'Chưa có máy'));
  } else if (today.locked) {
    lines.push(h('p', { class: 'trang-thai khoa' }, icon('khoa'),
      'Đang khoá: ' + lockTitle(today) + (today.lockUntil ? ` đến ${today.lockUntil}` : '')));
  } else {
    lines.push(h('p', { class: 'trang-thai mo' }, icon('mo'), 'Đang mở'));
  }
  const used = `đã dùng ${duration(today.usedMinutes)}`;
  lines.push(today.limitMinutes == null
    ? h('p', { class: 'so-lieu' }, 'Hôm nay không giới hạn · ', used)
    : h('p', { class: 'so-lieu' }, h('strong', {}, `Còn ${duration(today.allowanceLeft)}`),
      ` trong giới hạn ${duration(today.limitMinutes)} hôm nay · `, used));
  if (today.grantEndsAt) lines.push(h('p', { class: 'phu' }, `Được thêm giờ đến ${clock(today.grantEndsAt)}`));
  if (today.bedtimeDelayedUntil) lines.push(h('p', { class: 'phu' }, `Được thức đến ${tonight(clock(today.bedtimeDelayedUntil))}`));
  if (devices.length > 0) {
    lines.push(h('ul', { class: 'tinh-trang-may', 'aria-label': `Máy của ${child.name}` },
      devices.map((d) => h('li', {}, h('strong', {}, d.name), h('span', { class: 'su-kien' }, deviceFacts(d))))));
  }
  return h('div', { class: 'hom-nay' }, lines);
}

// "22:30 tối nay", "00:30 đêm nay".
function tonight(hhmm) {
  return hhmm + (Number(hhmm.slice(0, 2)) >= 12 ? ' tối nay' : ' đêm nay');
}

// The next half hour at least half an hour away, within tonight's bedtime.
function lateUntil(rules) {
  const [hh, mm] = clock(new Date().toISOString()).split(':').map(Number);
  const [endH, endM] = rules.bedtime.to.split(':').map(Number);
  const now = hh * 60 + mm;
  const toEnd = (endH * 60 + endM - now + 1440) % 1440;
  const ahead = Math.min(toEnd, Math.ceil((now + 30) / 30) * 30 - now);
  const at = (now + ahead) % 1440;
  return `${String(Math.floor(at / 60)).padStart(2, '0')}:${String(at % 60).padStart(2, '0')}`;
}

// What still holds after the parents' own lock is lifted, in a few words.
function stillHolds(today) {
  if (!today.locked) return '';
  const until = today.lockUntil ? ` đến ${today.lockUntil}` : '';
  if (today.lockReason === CONTRACT.lockReason.bedtime) return `; giờ ngủ vẫn đang áp dụng${until}`;
  if (today.lockReason === CONTRACT.lockReason.outsideHours) return `; đang ngoài giờ dùng máy${until}`;
  if (today.lockReason === CONTRACT.lockReason.timeUp) return '; hôm nay đã hết giờ';
  return '';
}

// Lock, unlock, more time and a later bedtime tonight, each with its way back. A child without
// a computer gets the pairing code instead: there is nothing to lock yet.
export function controls(child, today, devices) {
  const place = 'con-' + child.id;
  if (devices.length === 0) {
    return h('div', { class: 'dieu-khien' },
      h('p', { class: 'phu' }, `Ghép máy của ${child.name} để khoá máy và cho thêm giờ từ đây.`),
      pairingButton(child, 'nut-dac'), noteSlot(place));
  }
  const path = `children/${encodeURIComponent(child.id)}/`;
  const send = async (method, what, body) => {
    await api(method, path + what, body);
    if (S.refresh) S.refresh('usage');
  };
  const lateBedtime = async (until) => {
    await send('POST', 'late-bedtime', { until });
    say(place, `${child.name} được thức đến ${tonight(until)}.`, [['Hoàn tác', async () => {
      await send('DELETE', 'late-bedtime');
      say(place, `${child.name} lại đi ngủ đúng giờ.`);
    }]]);
  };
  const lateOffer = (until) => [`Cho thức đến ${tonight(until)}`, () => lateBedtime(until)];
  const lock = async () => {
    await send('POST', 'lock');
    say(place, `Đã khoá máy của ${child.name}.`, [['Hoàn tác', unlock]]);
  };
  const unlock = async () => {
    await send('POST', 'unlock');
    const now = await api('GET', path + 'today');
    const actions = [['Hoàn tác', lock]];
    if (now.lockReason === CONTRACT.lockReason.bedtime) actions.push(lateOffer(lateUntil(child.rules)));
    const holds = stillHolds(now);
    say(place, holds ? `Đã mở khoá bố mẹ khoá${holds}.` : `Đã mở khoá cho ${child.name}.`, actions);
  };
  const buttons = [child.lockedByParent
    ? h('button', { type: 'button', class: 'nut-dac', onclick: (e) => act(e.currentTarget, null, unlock, place) }, 'Mở khoá')
    : h('button', { type: 'button', class: 'nut-nguy', onclick: (e) => act(e.currentTarget, null, lock, place) }, 'Khoá máy ngay')];
  if (today.lockReason === CONTRACT.lockReason.bedtime && !child.lockedByParent) {
    const [label, run] = lateOffer(lateUntil(child.rules));
    buttons.push(h('button', { type: 'button', class: 'nut-vien', onclick: (e) => act(e.currentTarget, null, run, place) }, label));
  }
  const grants = GRANTS.map((m) => h('button', {
    type: 'button', class: 'nut-vien', 'aria-label': `Cho thêm ${m} phút`,
    onclick: (e) => act(e.currentTarget, null, async () => {
      await send('POST', 'grant', { minutes: m });
      const now = await api('GET', path + 'today');
      say(place, `Đã cho ${child.name} thêm ${duration(m)}` + (now.grantEndsAt ? `, đến ${clock(now.grantEndsAt)}.` : '.'),
        [['Hoàn tác', async () => {
          await send('POST', 'grant/undo');
          say(place, `Đã lấy lại ${duration(m)} vừa cho ${child.name}.`);
        }]]);
    }, place),
  }, `+${m} phút`));
  return h('div', { class: 'dieu-khien' }, buttons,
    h('div', { class: 'them-gio', role: 'group', 'aria-label': 'Cho thêm giờ' }, grants), noteSlot(place));
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
    const name = h('input', { required: true, maxlength: CONTRACT.text.name.chars, value: d.name });
    const rename = form(place, 'Lưu tên', [field('Tên máy', name)], async () => {
      const saved = await api('PUT', `devices/${encodeURIComponent(d.id)}`, { name: name.value.trim() });
      say(place, `Đã đổi tên máy thành ${saved.name}.`);
      if (S.refresh) S.refresh('family');
    });
    return h('li', { class: 'mot-may' },
      h('div', { class: 'dau-the' }, h('strong', {}, d.name), remove),
      h('p', { class: 'phu nho' }, versions),
      h('details', {}, h('summary', { 'aria-label': `Đổi tên máy ${d.name}` }, 'Đổi tên'), rename));
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
      // The address the setup tool asks for is the one this console is open at.
      const command = `sudo tovucontrol-setup --server ${location.origin}`;
      document.getElementById('ma-ghep-dia-chi').textContent = location.origin;
      document.getElementById('ma-ghep-lenh').textContent = command;
      const qr = document.getElementById('ma-ghep-qr');
      qr.src = 'api/console/qr?text=' + encodeURIComponent(`${command} --code ${answer.code}`);
      qr.alt = `Mã QR của lệnh ghép máy, có địa chỉ máy chủ và mã ${answer.code}`;
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
    }, 'con-' + child.id),
  }, 'Mã ghép máy mới');
}
