// The rules of one child: minutes and hours per weekday, bedtime, mode and apps, points.
import { CONTRACT } from './contract.js';
import { act, errorLine, field, h, noteSlot, say } from './dom.js';
import { heading, live } from './live.js';
import { ApiError, api } from './session.js';
import { WEEKDAYS } from './texts.js';

const { mode: MODE, number: NUMBER } = CONTRACT;

async function loadRules(id) {
  const [family, apps] = await Promise.all([api('GET', 'family'), api('GET', `children/${encodeURIComponent(id)}/apps`)]);
  const child = family.children.find((c) => c.id === id);
  if (!child) throw new ApiError('Không tìm thấy con này trong gia đình.', 404);
  return { child, apps: apps.apps };
}

export function rulesPage(root, id) {
  const title = heading(root, 'Luật dùng máy', '#/');
  // Drawn once: events must not wipe what the parent is typing.
  live(root, [], () => loadRules(id), ({ child, apps }) => {
    title.textContent = `Luật dùng máy của ${child.name}`;
    return rulesForm(child, apps);
  });
}

function timeInput(value, label) {
  return h('input', { type: 'time', value: value || '', 'aria-label': label });
}

function rulesForm(child, reported) {
  const rules = child.rules;
  const days = WEEKDAYS.map((name, i) => {
    const hours = rules.hours[i];
    return {
      minutes: h('input', { type: 'number', min: NUMBER.dailyMinutes.min, max: NUMBER.dailyMinutes.max, step: 1, inputmode: 'numeric', value: rules.dailyMinutes[i] ?? '', placeholder: 'Không giới hạn', id: `phut-${i}`, 'aria-label': `${name}: số phút` }),
      from: timeInput(hours && hours.from, `${name}: dùng từ`),
      to: timeInput(hours && hours.to, `${name}: dùng đến`),
    };
  });
  const dayRows = WEEKDAYS.map((name, i) => h('div', { class: 'ngay-tuan', role: 'group', 'aria-labelledby': `ten-ngay-${i}` },
    h('span', { class: 'ten-ngay', id: `ten-ngay-${i}` }, name),
    h('div', { class: 'phut-ngay' }, days[i].minutes, h('span', { 'aria-hidden': 'true' }, 'phút')),
    h('div', { class: 'tu-den' }, days[i].from, h('span', {}, 'đến'), days[i].to)));
  const copy = h('button', {
    type: 'button', class: 'nut-chu', onclick: () => {
      for (const d of days.slice(1)) {
        d.minutes.value = days[0].minutes.value;
        d.from.value = days[0].from.value;
        d.to.value = days[0].to.value;
      }
      say('chep', 'Đã chép Thứ Hai cho cả tuần. Nhớ bấm “Lưu luật”.');
    },
  }, 'Chép Thứ Hai cho cả tuần');

  const bedOn = h('input', { type: 'checkbox', id: 'co-gio-ngu', checked: !!rules.bedtime });
  const bedFrom = timeInput(rules.bedtime && rules.bedtime.from, 'Giờ đi ngủ');
  const bedTo = timeInput(rules.bedtime && rules.bedtime.to, 'Giờ thức dậy');
  const bedTimes = h('div', { class: 'tu-den' }, bedFrom, h('span', {}, 'đến'), bedTo);
  const syncBed = () => { bedFrom.disabled = bedTo.disabled = !bedOn.checked; };
  bedOn.addEventListener('change', syncBed);
  syncBed();

  const mode = [MODE.free, MODE.learning].map((value) => h('input', { type: 'radio', name: 'mode', value, id: 'che-do-' + value, checked: rules.mode === value }));

  // Apps the rules name but no device reported any more stay choosable, so saving keeps them.
  const names = new Map(reported.map((a) => [a.appId, a.appName]));
  for (const appId of [...rules.allowedApps, ...rules.learningApps]) if (!names.has(appId)) names.set(appId, appId);
  const apps = [...names].sort((a, b) => a[1].localeCompare(b[1], 'vi'));
  const appChoice = (list, prefix, legend, hint) => {
    const boxes = apps.map(([appId, appName]) => h('input', { type: 'checkbox', value: appId, id: `${prefix}-${appId}`, checked: list.includes(appId) }));
    const set = h('fieldset', { class: 'chon-app' }, h('legend', {}, legend), h('p', { class: 'phu nho' }, hint),
      apps.length === 0
        ? h('p', { class: 'phu' }, 'Máy của con chưa báo ứng dụng nào. Khi con dùng máy, danh sách sẽ hiện ở đây.')
        : h('div', { class: 'danh-sach' }, boxes.map((b, i) => h('label', { for: b.id, class: 'hop-chon' }, b,
          h('span', {}, apps[i][1], apps[i][1] !== apps[i][0] && h('small', {}, apps[i][0]))))));
    return { set, chosen: () => boxes.filter((b) => b.checked).map((b) => b.value) };
  };
  const allowed = appChoice(rules.allowedApps, 'cho-phep', 'Ứng dụng được dùng trong giờ học', 'Khi ở chế độ Chỉ app học, chỉ các ứng dụng này mở được.');
  const learning = appChoice(rules.learningApps, 'hoc-tap', 'Ứng dụng học tập', 'Vẫn dùng được khi đã hết giờ trong ngày.');

  const exchange = h('input', { type: 'checkbox', id: 'doi-diem', checked: rules.canExchangePoints });
  const perMinute = h('input', { type: 'number', min: NUMBER.pointsPerMinute.min, max: NUMBER.pointsPerMinute.max, step: 1, inputmode: 'numeric', value: rules.pointsPerMinute, id: 'diem-moi-phut' });
  const cap = h('input', { type: 'number', min: NUMBER.exchangeCapMinutes.min, max: NUMBER.exchangeCapMinutes.max, step: 1, inputmode: 'numeric', value: rules.exchangeCapMinutes, id: 'toi-da-doi' });

  const line = errorLine();
  const save = h('button', { type: 'submit', class: 'nut-dac' }, 'Lưu luật');
  const form = h('form', { class: 'luat', novalidate: true },
    h('section', { class: 'the' }, h('h2', {}, 'Giờ dùng máy mỗi ngày'),
      h('p', { class: 'phu' }, 'Mỗi ngày: số phút được dùng (để trống là không giới hạn) và khung giờ được dùng (để trống là cả ngày).'),
      h('div', { class: 'ngay-tuan dau-cot', 'aria-hidden': 'true' }, h('span', {}, 'Ngày'), h('span', {}, 'Số phút'), h('span', {}, 'Được dùng trong giờ')),
      dayRows, copy, noteSlot('chep')),
    h('section', { class: 'the' }, h('h2', {}, 'Giờ đi ngủ'),
      h('label', { for: bedOn.id, class: 'hop-chon' }, bedOn, h('span', {}, 'Khoá máy vào giờ ngủ')),
      h('div', { class: 'o' }, h('span', { class: 'nhan' }, 'Từ (có thể qua nửa đêm)'), bedTimes)),
    h('section', { class: 'the' }, h('h2', {}, 'Chế độ'),
      h('fieldset', { class: 'che-do' }, h('legend', { class: 'an' }, 'Chế độ'),
        h('label', { for: mode[0].id, class: 'hop-chon' }, mode[0], h('span', {}, h('strong', {}, 'Tự do'), h('small', {}, 'Dùng mọi ứng dụng trong giờ cho phép'))),
        h('label', { for: mode[1].id, class: 'hop-chon' }, mode[1], h('span', {}, h('strong', {}, 'Chỉ app học'), h('small', {}, 'Chỉ mở được các ứng dụng chọn bên dưới')))),
      allowed.set, learning.set),
    h('section', { class: 'the' }, h('h2', {}, 'Đổi điểm'),
      h('label', { for: exchange.id, class: 'hop-chon' }, exchange, h('span', {}, 'Cho con đổi điểm lấy thời gian')),
      field('Số điểm cho mỗi phút', perMinute),
      field('Đổi tối đa mỗi ngày (phút)', cap)),
    h('div', { class: 'luu' }, line, save, noteSlot('luu')));

  const whole = (input, min, max, label) => {
    const n = Number(input.value);
    if (input.value.trim() === '' || !Number.isInteger(n) || n < min || n > max) {
      input.focus();
      throw new ApiError(`${label}: hãy nhập số nguyên từ ${min} đến ${max}.`, 400);
    }
    return n;
  };
  const span = (from, to, label) => {
    if (!from.value && !to.value) return null;
    if (!from.value || !to.value) {
      (from.value ? to : from).focus();
      throw new ApiError(`${label}: hãy điền đủ giờ bắt đầu và giờ kết thúc.`, 400);
    }
    return { from: from.value.slice(0, 5), to: to.value.slice(0, 5) };
  };
  form.addEventListener('submit', (e) => {
    e.preventDefault();
    act(save, line, async () => {
      const next = {
        dailyMinutes: days.map((d, i) => (d.minutes.value.trim() === '' ? null : whole(d.minutes, NUMBER.dailyMinutes.min, NUMBER.dailyMinutes.max, WEEKDAYS[i]))),
        hours: days.map((d, i) => span(d.from, d.to, WEEKDAYS[i])),
        bedtime: bedOn.checked ? span(bedFrom, bedTo, 'Giờ đi ngủ') : null,
        mode: mode[1].checked ? MODE.learning : MODE.free,
        allowedApps: allowed.chosen(),
        learningApps: learning.chosen(),
        canExchangePoints: exchange.checked,
        pointsPerMinute: whole(perMinute, NUMBER.pointsPerMinute.min, NUMBER.pointsPerMinute.max, 'Số điểm cho mỗi phút'),
        exchangeCapMinutes: whole(cap, NUMBER.exchangeCapMinutes.min, NUMBER.exchangeCapMinutes.max, 'Đổi tối đa mỗi ngày'),
      };
      if (bedOn.checked && !next.bedtime) throw new ApiError('Giờ đi ngủ: hãy điền đủ giờ bắt đầu và giờ kết thúc.', 400);
      const saved = await api('PUT', `children/${encodeURIComponent(child.id)}/rules`, next);
      say('luu', `Đã lưu luật cho ${saved.name}.`);
    });
  });
  return form;
}
