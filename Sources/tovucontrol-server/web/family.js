// The family page: a card per child, adding a child, the parents.
import { CONTRACT } from './contract.js';
import { act, errorLine, field, h, noteSlot, say } from './dom.js';
import { controls, pairingButton, statusBlock } from './card.js';
import { heading, live, notificationOffer } from './live.js';
import { S, api } from './session.js';
import { requestText } from './texts.js';

const { status: STATUS, text: TEXT } = CONTRACT;

async function loadChildren() {
  const family = await api('GET', 'family');
  const todays = await Promise.all(family.children.map((c) => api('GET', `children/${encodeURIComponent(c.id)}/today`)));
  family.children.forEach((c, i) => { c.today = todays[i]; });
  return family;
}

// The children's requests that wait for an answer, as the first thing on the family page.
function waitingStrip() {
  const waiting = S.requests.filter((r) => r.status === STATUS.waiting);
  if (waiting.length === 0) return null;
  return h('section', { class: 'the dang-cho', 'aria-labelledby': 'cho-tra-loi' },
    h('h2', { id: 'cho-tra-loi' }, 'Đang chờ bạn trả lời'),
    h('ul', {}, waiting.map((r) => h('li', {}, requestText(r)))),
    h('a', { href: '#/yeu-cau', class: 'nut-dac' }, 'Trả lời'));
}

export function familyPage(root) {
  const title = heading(root, S.session.family ? S.session.family.name : 'Gia đình');
  const offer = notificationOffer();
  if (offer) root.append(offer);
  live(root, ['family', 'usage', 'requests'], loadChildren, (family) => {
    title.textContent = family.family.name;
    const out = [waitingStrip()];
    if (family.children.length === 0) {
      out.push(h('p', { class: 'the trong' }, 'Chưa có con nào. Thêm con đầu tiên để bắt đầu.'));
    }
    const list = h('div', { class: 'luoi' });
    for (const child of family.children) {
      const devices = family.devices.filter((d) => d.childId === child.id);
      const path = `#/con/${encodeURIComponent(child.id)}`;
      list.append(h('section', { class: 'the con', 'aria-labelledby': 'con-' + child.id },
        h('div', { class: 'dau-the' },
          h('h2', { id: 'con-' + child.id }, child.name),
          h('a', { href: path, class: 'nut-nho' }, 'Chi tiết')),
        statusBlock(child, child.today, devices),
        controls(child, devices),
        h('div', { class: 'hang-nut' }, devices.length > 0 && pairingButton(child),
          h('a', { href: path + '/luat', class: 'nut-vien' }, 'Luật dùng máy'))));
    }
    out.push(list, h('div', { class: 'luoi' }, addChildForm(), parentsBox(family.parents)));
    return out;
  });
}

function addChildForm() {
  const name = h('input', { name: 'childName', required: true, maxlength: TEXT.name.chars, placeholder: 'Tên của con' });
  const line = errorLine();
  const button = h('button', { type: 'submit', class: 'nut-dac' }, 'Thêm con');
  const form = h('form', { class: 'the them' }, h('h2', {}, 'Thêm con'), field('Tên', name), line, button, noteSlot('them-con'));
  form.addEventListener('submit', (e) => {
    e.preventDefault();
    act(button, line, async () => {
      const child = await api('POST', 'children', { name: name.value.trim() });
      say('them-con', `Đã thêm ${child.name}. Bấm “Mã ghép máy mới” trong thẻ của con để ghép máy.`);
      if (S.refresh) S.refresh('family');
    });
  });
  return form;
}

function parentsBox(parents) {
  const name = h('input', { name: 'parentName', required: true, maxlength: TEXT.name.chars, autocomplete: 'off' });
  const password = h('input', { name: 'password', type: 'password', required: true, minlength: CONTRACT.minPasswordChars, autocomplete: 'new-password' });
  const line = errorLine();
  const button = h('button', { type: 'submit', class: 'nut-vien' }, 'Thêm người');
  const form = h('form', {}, field('Tên', name), field('Mật khẩu', password, `Ít nhất ${CONTRACT.minPasswordChars} ký tự.`), line, button);
  form.addEventListener('submit', (e) => {
    e.preventDefault();
    act(button, line, async () => {
      const added = await api('POST', 'parents', { name: name.value.trim(), password: password.value });
      say('bo-me', `${added.name} đã có thể đăng nhập.`);
      if (S.refresh) S.refresh('family');
    });
  });
  return h('section', { class: 'the', 'aria-labelledby': 'bo-me' },
    h('h2', { id: 'bo-me' }, 'Bố mẹ'),
    h('p', {}, parents.map((p) => p.name).join(', ')),
    noteSlot('bo-me'),
    h('details', {}, h('summary', {}, 'Thêm bố hoặc mẹ'), form));
}
