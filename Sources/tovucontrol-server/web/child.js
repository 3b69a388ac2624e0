// A child's page: today, the last seven days, points and computers.
import { CONTRACT } from './contract.js';
import { act, confirmBox, field, form, h, noteSlot, say, svg } from './dom.js';
import { controls, deviceList, pairingButton, statusBlock } from './card.js';
import { heading, live } from './live.js';
import { ApiError, S, api } from './session.js';
import { dayName, duration, shortDate, shortDay } from './texts.js';

const { number: NUMBER, text: TEXT } = CONTRACT;

async function loadChild(id) {
  const path = `children/${encodeURIComponent(id)}/`;
  const [family, today, week] = await Promise.all([api('GET', 'family'), api('GET', path + 'today'), api('GET', path + 'week')]);
  const child = family.children.find((c) => c.id === id);
  if (!child) throw new ApiError('Không tìm thấy con này trong gia đình.', 404);
  return { child, today, week, devices: family.devices.filter((d) => d.childId === id) };
}

export function childPage(root, id) {
  const title = heading(root, 'Đang tải…', '#/');
  live(root, ['family', 'usage'], () => loadChild(id), ({ child, today, week, devices }) => {
    title.textContent = child.name;
    return [
      h('div', { class: 'luoi' },
        h('div', {},
          h('section', { class: 'the', 'aria-labelledby': 'hom-nay' }, h('h2', { id: 'hom-nay' }, 'Hôm nay'),
            statusBlock(child, today, devices), controls(child, today, devices), appBars(today.apps)),
          h('section', { class: 'the', 'aria-labelledby': 'tuan' }, h('h2', { id: 'tuan' }, '7 ngày qua'), weekSummary(week), weekChart(week.days))),
        h('div', {},
          pointsBox(child),
          h('section', { class: 'the', 'aria-labelledby': 'may-cua-con' }, h('h2', { id: 'may-cua-con' }, 'Máy của con'),
            deviceList(devices, child), devices.length > 0 && h('div', { class: 'hang-nut' }, pairingButton(child))),
          h('p', {}, h('a', { class: 'nut-dac', href: `#/con/${encodeURIComponent(id)}/luat` }, 'Sửa luật dùng máy')),
          manageBox(child))),
    ];
  });
}

// The child's name, and the child gone from the family.
function manageBox(child) {
  const place = 'ten-con';
  const path = `children/${encodeURIComponent(child.id)}`;
  const name = h('input', { name: 'childName', required: true, maxlength: TEXT.name.chars, value: child.name });
  const rename = form(place, 'Đổi tên', [field('Tên của con', name)], async () => {
    const saved = await api('PUT', path, { name: name.value.trim() });
    say(place, `Đã đổi tên thành ${saved.name}.`);
    if (S.refresh) S.refresh('family');
  });
  const remove = h('button', {
    type: 'button', class: 'nut-nguy', onclick: async (e) => {
      const button = e.currentTarget;
      if (!await confirmBox(`Xoá ${child.name}?`, `Máy của ${child.name} sẽ thôi nhận luật; giờ đã dùng, điểm và yêu cầu của ${child.name} sẽ mất. Không hoàn tác được.`, 'Xoá')) return;
      act(button, null, async () => {
        await api('DELETE', path);
        say('trang', `Đã xoá ${child.name} khỏi gia đình.`);
        location.hash = '#/';
      }, place);
    },
  }, `Xoá ${child.name}`);
  return h('section', { class: 'the', 'aria-labelledby': 'quan-ly' }, h('h2', { id: 'quan-ly' }, 'Tên và xoá'),
    rename, noteSlot(place), h('div', { class: 'hang-nut' }, remove));
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

// Minutes per day as bars, each day with its date and the limit that applied to it that day.
function weekChart(days) {
  const width = 350;
  const height = 214;
  const top = 26;
  const bottom = 164;
  const most = Math.max(60, ...days.map((d) => Math.max(d.minutes, d.limitMinutes ?? 0)));
  const scale = (m) => ((bottom - top) * m) / most;
  const step = width / days.length;
  const told = (d) => `${dayName(d.day)}: ${duration(d.minutes)}` + (d.limitMinutes == null ? '' : `, giới hạn ${duration(d.limitMinutes)}`);
  const label = 'Số phút dùng máy 7 ngày qua. ' + days.map(told).join('; ') + '.';
  const chart = svg('svg', { class: 'bieu-do', viewBox: `0 0 ${width} ${height}`, role: 'img', 'aria-label': label },
    svg('text', { class: 'don-vi', x: 0, y: 12 }, 'phút'),
    svg('line', { class: 'truc', x1: 0, x2: width, y1: bottom, y2: bottom }));
  days.forEach((d, i) => {
    const x = i * step + step * 0.2;
    const w = step * 0.6;
    const middle = x + w / 2;
    const barHeight = Math.max(d.minutes > 0 ? 2 : 0, scale(d.minutes));
    const today = i === days.length - 1;
    const over = d.limitMinutes != null && d.minutes > d.limitMinutes;
    chart.append(svg('rect', { class: 'cot' + (today ? ' hom-nay' : '') + (over ? ' vuot' : ''), x, y: bottom - barHeight, width: w, height: barHeight, rx: 3 }));
    if (d.limitMinutes != null) {
      const y = bottom - scale(d.limitMinutes);
      chart.append(svg('line', { class: 'gioi-han-nen', x1: x - 5, x2: x + w + 5, y1: y, y2: y }),
        svg('line', { class: 'gioi-han', x1: x - 5, x2: x + w + 5, y1: y, y2: y }));
    }
    chart.append(svg('text', { class: 'so', x: middle, y: bottom - barHeight - 6, 'text-anchor': 'middle' }, String(d.minutes)));
    chart.append(svg('text', { class: 'ngay', x: middle, y: bottom + 19, 'text-anchor': 'middle' }, today ? 'Hôm nay' : shortDay(d.day)));
    chart.append(svg('text', { class: 'ngay', x: middle, y: bottom + 36, 'text-anchor': 'middle' }, shortDate(d.day)));
  });
  const limited = days.some((d) => d.limitMinutes != null);
  return h('figure', { class: 'tuan' }, chart,
    h('figcaption', { class: 'phu nho' }, 'Cột: số phút dùng máy mỗi ngày.',
      limited && ' Vạch ngang: giới hạn của chính ngày đó.'));
}

// The week in a few words: how much, how often over the limit, and on what.
function weekSummary(week) {
  const total = week.days.reduce((sum, d) => sum + d.minutes, 0);
  const over = week.days.filter((d) => d.limitMinutes != null && d.minutes > d.limitMinutes).length;
  const facts = [`Tổng ${duration(total)}, trung bình ${duration(Math.round(total / week.days.length))} mỗi ngày.`];
  if (week.days.some((d) => d.limitMinutes != null)) facts.push(over === 0 ? 'Không ngày nào quá giới hạn.' : `Quá giới hạn ${over} ngày.`);
  if (week.apps && week.apps.length > 0) {
    facts.push('Dùng nhiều nhất: ' + week.apps.map((a) => `${a.appName} (${duration(a.minutes)})`).join(', ') + '.');
  }
  return h('p', { class: 'tom-tat' }, facts.join(' '));
}

function pointsBox(child) {
  const amount = h('input', { type: 'number', min: 1, max: NUMBER.pointsDelta.max, step: 1, value: 10, inputmode: 'numeric', name: 'points' });
  const change = (sign, button) => act(button, null, async () => {
    const n = Number(amount.value);
    if (!Number.isInteger(n) || n < 1 || n > NUMBER.pointsDelta.max) {
      throw new ApiError(`Số điểm: hãy nhập số nguyên từ 1 đến ${NUMBER.pointsDelta.max}.`, 400);
    }
    if (sign < 0 && n > child.pointsBalance) throw new ApiError(`${child.name} chỉ có ${child.pointsBalance} điểm.`, 400);
    const updated = await api('POST', `children/${encodeURIComponent(child.id)}/points`, { delta: sign * n });
    say('diem', `${updated.name} có ${updated.pointsBalance} điểm.`);
    if (S.refresh) S.refresh('family');
  }, 'diem');
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
    noteSlot('diem'));
}
