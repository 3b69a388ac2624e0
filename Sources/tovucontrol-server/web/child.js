// A child's page: today, the last seven days, points and computers.
import { CONTRACT } from './contract.js';
import { act, errorLine, field, h, svg, toast } from './dom.js';
import { controls, deviceList, pairingButton, todayLine } from './card.js';
import { heading, live } from './live.js';
import { ApiError, S, api } from './session.js';
import { duration, shortDay } from './texts.js';

const { number: NUMBER } = CONTRACT;

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
