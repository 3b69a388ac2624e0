// The inbox of the children's requests.
import { CONTRACT } from './contract.js';
import { act, field, h, noteSlot, say } from './dom.js';
import { heading, live, loadRequests, notificationOffer } from './live.js';
import { S, api } from './session.js';
import { STATUS_TEXT, clock, duration, requestText, when } from './texts.js';

const { number: NUMBER, status: STATUS } = CONTRACT;

export function requestsPage(root) {
  heading(root, 'Yêu cầu của con');
  const offer = notificationOffer();
  if (offer) root.append(offer);
  live(root, ['requests', 'family'], async () => {
    await loadRequests();
    return S.requests;
  }, (requests) => {
    const waiting = requests.filter((r) => r.status === STATUS.waiting);
    const answered = requests.filter((r) => r.status !== STATUS.waiting);
    return [
      h('section', { 'aria-labelledby': 'dang-cho' }, h('h2', { id: 'dang-cho' }, 'Đang chờ bạn trả lời'), noteSlot('yeu-cau'),
        waiting.length === 0 ? h('p', { class: 'the trong' }, 'Không có yêu cầu nào đang chờ.')
          : h('ul', { class: 'yeu-cau' }, waiting.map(waitingItem))),
      answered.length > 0 && h('section', { 'aria-labelledby': 'da-tra-loi' }, h('h2', { id: 'da-tra-loi' }, 'Đã trả lời'),
        h('ul', { class: 'yeu-cau' }, answered.map(answeredItem))),
    ];
  });
}

function waitingItem(r) {
  const minutes = h('input', { type: 'number', min: NUMBER.minutes.min, max: NUMBER.minutes.max, step: 1, value: r.minutes, inputmode: 'numeric', name: 'minutes' });
  const place = 'yeu-cau-' + r.id;
  const reload = async () => {
    await loadRequests();
    if (S.refresh) S.refresh('requests');
  };
  // A yes can be taken back: the time goes, and the request waits again.
  const undo = async () => {
    await api('POST', `children/${encodeURIComponent(r.childId)}/grant/undo`);
    say('yeu-cau', `Đã lấy lại phần thêm giờ; yêu cầu của ${r.childName} lại chờ bạn trả lời.`);
    await reload();
  };
  const answer = (button, body, done) => act(button, null, async () => {
    await api('POST', `requests/${encodeURIComponent(r.id)}/answer`, body);
    say('yeu-cau', done, body.answer === STATUS.granted ? [['Hoàn tác', undo]] : []);
    await reload();
  }, place);
  return h('li', { class: 'the cho', 'data-id': r.id },
    h('p', { class: 'tieu-de' }, requestText(r)),
    r.note && h('p', { class: 'loi-nhan' }, `“${r.note}”`),
    h('p', { class: 'phu nho' }, `Gửi lúc ${when(r.createdAt)}`),
    field('Số phút cho thêm', minutes),
    h('div', { class: 'hang-nut' },
      h('button', {
        type: 'button', class: 'nut-dac', onclick: (e) => {
          const n = Number(minutes.value);
          if (!Number.isInteger(n) || n < NUMBER.minutes.min || n > NUMBER.minutes.max) {
            return say(place, `Số phút cho thêm: hãy nhập số nguyên từ ${NUMBER.minutes.min} đến ${NUMBER.minutes.max}.`, [], true);
          }
          return answer(e.currentTarget, { answer: STATUS.granted, minutes: n }, `Đã cho ${r.childName} thêm ${duration(n)}.`);
        },
      }, 'Đồng ý'),
      h('button', { type: 'button', class: 'nut-vien', onclick: (e) => answer(e.currentTarget, { answer: STATUS.refused }, `Đã từ chối yêu cầu của ${r.childName}.`) }, 'Từ chối')),
    noteSlot(place));
}

function answeredItem(r) {
  const detail = [STATUS_TEXT[r.status] || r.status];
  if (r.answeredAt) detail.push(when(r.answeredAt));
  if (r.status === STATUS.granted && r.grantEndsAt) detail.push(`máy mở đến ${clock(r.grantEndsAt)}`);
  return h('li', { class: 'the xong ' + r.status },
    h('p', { class: 'tieu-de' }, requestText(r)),
    r.note && h('p', { class: 'loi-nhan' }, `“${r.note}”`),
    h('p', { class: 'phu nho' }, detail.join(' · ')));
}
