// The family page: a card per child, adding a child, the parents.
import { CONTRACT } from './contract.js';
import { act, errorLine, field, h, toast } from './dom.js';
import { controls, deviceList, pairingButton, todayLine } from './card.js';
import { heading, live, notificationOffer } from './live.js';
import { S, api } from './session.js';

const { text: TEXT } = CONTRACT;

async function loadChildren() {
  const family = await api('GET', 'family');
  const todays = await Promise.all(family.children.map((c) => api('GET', `children/${encodeURIComponent(c.id)}/today`)));
  family.children.forEach((c, i) => { c.today = todays[i]; });
  return family;
}

export function familyPage(root) {
  const title = heading(root, S.session.family ? S.session.family.name : 'Gia đình');
  const offer = notificationOffer();
  if (offer) root.append(offer);
  live(root, ['family', 'usage'], loadChildren, (family) => {
    title.textContent = family.family.name;
    const out = [];
    if (family.children.length === 0) {
      out.push(h('p', { class: 'the trong' }, 'Chưa có con nào. Thêm con đầu tiên để bắt đầu.'));
    }
    const list = h('div', { class: 'luoi' });
    for (const child of family.children) {
      const devices = family.devices.filter((d) => d.childId === child.id);
      list.append(h('section', { class: 'the con', 'aria-labelledby': 'con-' + child.id },
        h('div', { class: 'dau-the' },
          h('h2', { id: 'con-' + child.id }, child.name),
          h('a', { href: `#/con/${encodeURIComponent(child.id)}`, class: 'nut-nho' }, 'Chi tiết')),
        todayLine(child.today, child),
        controls(child),
        deviceList(devices, child),
        h('div', { class: 'hang-nut' }, pairingButton(child),
          h('a', { href: `#/con/${encodeURIComponent(child.id)}/luat`, class: 'nut-vien' }, 'Luật dùng máy'))));
    }
    out.push(list, h('div', { class: 'luoi' }, addChildForm(), parentsBox(family.parents)));
    return out;
  });
}

function addChildForm() {
  const name = h('input', { name: 'childName', required: true, maxlength: TEXT.name.chars, placeholder: 'Tên của con' });
  const line = errorLine();
  const button = h('button', { type: 'submit', class: 'nut-dac' }, 'Thêm con');
  const form = h('form', { class: 'the them' }, h('h2', {}, 'Thêm con'), field('Tên', name), line, button);
  form.addEventListener('submit', (e) => {
    e.preventDefault();
    act(button, line, async () => {
      const child = await api('POST', 'children', { name: name.value.trim() });
      toast(`Đã thêm ${child.name}. Bấm “Mã ghép máy mới” để ghép máy của con.`);
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
      toast(`${added.name} đã có thể đăng nhập.`);
      if (S.refresh) S.refresh('family');
    });
  });
  return h('section', { class: 'the', 'aria-labelledby': 'bo-me' },
    h('h2', { id: 'bo-me' }, 'Bố mẹ'),
    h('p', {}, parents.map((p) => p.name).join(', ')),
    h('details', {}, h('summary', {}, 'Thêm bố hoặc mẹ'), form));
}
