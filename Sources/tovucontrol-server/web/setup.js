// Before a parent is logged in: the first family, one more family, and logging in.
import { CONTRACT } from './contract.js';
import { act, errorLine, field, h, say, showError } from './dom.js';
import { heading, loadRequests } from './live.js';
import { syncPush } from './push.js';
import { S, api, takeSession } from './session.js';

const { text: TEXT } = CONTRACT;

const VIETNAM = 'Asia/Ho_Chi_Minh';
const REGIONS = [['Asia', 'Châu Á'], ['Europe', 'Châu Âu'], ['America', 'Châu Mỹ'], ['Australia', 'Châu Úc'],
  ['Pacific', 'Thái Bình Dương'], ['Africa', 'Châu Phi'], ['Atlantic', 'Đại Tây Dương'], ['Indian', 'Ấn Độ Dương']];

function offset(zone) {
  const parts = new Intl.DateTimeFormat('en-US', { timeZone: zone, timeZoneName: 'shortOffset' }).formatToParts(new Date());
  return parts.find((p) => p.type === 'timeZoneName').value;
}

// Time zones as a parent reads them: Vietnam first, then the others by region as "city (GMT+9)";
// the browser's own zone is chosen.
function zonePicker() {
  const here = Intl.DateTimeFormat().resolvedOptions().timeZone;
  const select = h('select', { name: 'timeZone' },
    h('option', { value: VIETNAM, selected: !here || here === VIETNAM || here === 'Asia/Saigon' }, `Việt Nam (${offset(VIETNAM)})`));
  const zones = Intl.supportedValuesOf('timeZone');
  for (const [prefix, name] of REGIONS) {
    const group = h('optgroup', { label: name });
    const cities = zones.filter((z) => z.startsWith(prefix + '/') && z !== VIETNAM && z !== 'Asia/Saigon')
      .map((z) => [z, z.split('/').pop().replaceAll('_', ' ')])
      .sort((a, b) => a[1].localeCompare(b[1], 'vi'));
    for (const [z, city] of cities) group.append(h('option', { value: z, selected: z === here }, `${city} (${offset(z)})`));
    select.append(group);
  }
  return select;
}

// The first family of a fresh server, or one more family with a code from whoever runs it.
export function setupPage(root) {
  const first = S.session.setupNeeded;
  if (!first) root.append(h('a', { class: 'lui', href: '#/' }, '← Đăng nhập'));
  heading(root, first ? 'Chào mừng đến TovuControl' : 'Tạo gia đình mới');
  root.append(h('p', { class: 'gioi-thieu' }, first
    ? 'Tạo tài khoản bố mẹ cho gia đình. Mã thiết lập được in ra trên màn hình nơi máy chủ đang chạy.'
    : 'Nhập mã thiết lập mà người quản lý máy chủ gửi cho bạn. Mỗi mã chỉ tạo được một gia đình.'));
  const token = h('input', { name: 'setupToken', required: true, autocomplete: 'off', spellcheck: 'false', autocapitalize: 'off' });
  const family = h('input', { name: 'familyName', required: true, maxlength: TEXT.name.chars, placeholder: 'Ví dụ: Nhà Minh' });
  const parent = h('input', { name: 'parentName', required: true, maxlength: TEXT.name.chars, autocomplete: 'username', placeholder: 'Ví dụ: Mẹ Lan' });
  const password = h('input', { name: 'password', type: 'password', required: true, minlength: CONTRACT.minPasswordChars, autocomplete: 'new-password' });
  const again = h('input', { name: 'password2', type: 'password', required: true, minlength: CONTRACT.minPasswordChars, autocomplete: 'new-password' });
  const zone = zonePicker();
  const line = errorLine();
  const button = h('button', { type: 'submit', class: 'nut-dac' }, 'Tạo tài khoản');
  const form = h('form', { class: 'the', novalidate: false },
    field('Mã thiết lập', token),
    field('Tên gia đình', family),
    field('Tên của bạn', parent, 'Bạn dùng tên này để đăng nhập.'),
    field('Mật khẩu', password, `Ít nhất ${CONTRACT.minPasswordChars} ký tự.`),
    field('Nhập lại mật khẩu', again),
    field('Múi giờ của gia đình', zone),
    line, button);
  form.addEventListener('submit', (e) => {
    e.preventDefault();
    if (password.value !== again.value) return showError(line, 'Hai mật khẩu chưa giống nhau.');
    act(button, line, async () => {
      takeSession(await api('POST', 'setup', {
        setupToken: token.value.trim(), familyName: family.value.trim(), parentName: parent.value.trim(),
        password: password.value, timeZone: zone.value,
      }));
      await loadRequests();
      syncPush();
      if (first) S.render(true);
      else location.hash = '#/';
      say('trang', 'Xong rồi! Giờ thêm con và ghép máy của con nhé.');
    });
  });
  root.append(form);
  token.focus();
}

export function loginPage(root) {
  heading(root, 'Đăng nhập');
  root.append(h('p', { class: 'gioi-thieu' }, 'Xem và đặt giờ dùng máy của con.'));
  const name = h('input', { name: 'name', required: true, autocomplete: 'username' });
  const password = h('input', { name: 'password', type: 'password', required: true, autocomplete: 'current-password' });
  const line = errorLine();
  const button = h('button', { type: 'submit', class: 'nut-dac' }, 'Đăng nhập');
  const form = h('form', { class: 'the' }, field('Tên', name), field('Mật khẩu', password), line, button);
  form.addEventListener('submit', (e) => {
    e.preventDefault();
    act(button, line, async () => {
      takeSession(await api('POST', 'login', { name: name.value.trim(), password: password.value }));
      await loadRequests();
      syncPush();
      S.render(true);
    }).then(() => {
      if (!line.hidden) {
        password.value = '';
        password.focus();
      }
    });
  });
  root.append(form, h('p', { class: 'phu' }, h('a', { href: '#/gia-dinh-moi' }, 'Có mã thiết lập? Tạo gia đình mới')));
  name.focus();
}
