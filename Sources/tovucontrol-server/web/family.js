// The family page: a card per child, adding a child, the parents.
import { CONTRACT } from './contract.js';
import { act, confirmBox, field, form, h, noteSlot, say } from './dom.js';
import { controls, pairingButton, statusBlock } from './card.js';
import { heading, live, notificationOffer } from './live.js';
import { ApiError, S, api } from './session.js';
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
        controls(child, child.today, devices),
        h('div', { class: 'hang-nut' }, devices.length > 0 && pairingButton(child),
          h('a', { href: path + '/luat', class: 'nut-vien' }, 'Luật dùng máy'))));
    }
    out.push(list, h('div', { class: 'luoi' }, addChildForm(), parentsBox(family.parents)));
    return out;
  });
}

function addChildForm() {
  const name = h('input', { name: 'childName', required: true, maxlength: TEXT.name.chars, placeholder: 'Tên của con' });
  return h('section', { class: 'the them', 'aria-labelledby': 'them-con' }, h('h2', { id: 'them-con' }, 'Thêm con'),
    form('them-con', 'Thêm con', [field('Tên', name)], async () => {
      const child = await api('POST', 'children', { name: name.value.trim() });
      say('them-con', `Đã thêm ${child.name}. Bấm “Mã ghép máy mới” trong thẻ của con để ghép máy.`);
      if (S.refresh) S.refresh('family');
    }, 'nut-dac'),
    noteSlot('them-con'));
}

const newPassword = (autocomplete = 'new-password') => h('input', {
  type: 'password', required: true, minlength: CONTRACT.minPasswordChars, maxlength: TEXT.password.chars, autocomplete,
});

function parentsBox(parents) {
  const place = 'bo-me';
  const name = h('input', { name: 'parentName', required: true, maxlength: TEXT.name.chars, autocomplete: 'off' });
  const password = newPassword();
  const add = form(place, 'Thêm người', [field('Tên', name), field('Mật khẩu', password, `Ít nhất ${CONTRACT.minPasswordChars} ký tự.`)], async () => {
    const added = await api('POST', 'parents', { name: name.value.trim(), password: password.value });
    say(place, `${added.name} đã có thể đăng nhập.`);
    if (S.refresh) S.refresh('family');
  });
  const current = newPassword('current-password');
  const next = newPassword();
  const again = newPassword();
  const change = form(place, 'Đổi mật khẩu', [field('Mật khẩu hiện tại', current),
    field('Mật khẩu mới', next, `Ít nhất ${CONTRACT.minPasswordChars} ký tự.`), field('Nhập lại mật khẩu mới', again)], async () => {
    if (next.value !== again.value) throw new ApiError('Hai mật khẩu mới chưa giống nhau.', 400);
    await api('POST', 'password', { current: current.value, password: next.value });
    say(place, 'Đã đổi mật khẩu. Các máy khác đang đăng nhập bằng tên của bạn đã được đăng xuất.');
  });
  const me = S.session.parent && S.session.parent.id;
  const remove = (p) => h('button', {
    type: 'button', class: 'nut-chu nguy', 'aria-label': `Xoá ${p.name}`, onclick: async (e) => {
      const button = e.currentTarget;
      if (!await confirmBox(`Xoá ${p.name}?`, `${p.name} sẽ không đăng nhập được nữa.`, 'Xoá')) return;
      act(button, null, async () => {
        await api('DELETE', `parents/${encodeURIComponent(p.id)}`);
        say(place, `Đã xoá ${p.name}.`);
        if (S.refresh) S.refresh('family');
      }, place);
    },
  }, 'Xoá');
  return h('section', { class: 'the', 'aria-labelledby': 'bo-me' },
    h('h2', { id: 'bo-me' }, 'Bố mẹ'),
    h('ul', { class: 'bo-me' }, parents.map((p) => h('li', {}, h('span', {}, p.name, p.id === me && ' (bạn)'),
      p.id !== me && remove(p)))),
    noteSlot(place),
    h('details', {}, h('summary', {}, 'Thêm bố hoặc mẹ'), add),
    h('details', {}, h('summary', {}, 'Đổi mật khẩu của bạn'), change));
}
