// Building the page with DOM calls (the server's CSP forbids inline code and inline styles),
// and the small pieces every page shares: fields, errors, the message box and confirmations.

export function put(el, kids) {
  for (const kid of kids.flat()) {
    if (kid == null || kid === false) continue;
    el.append(kid instanceof Node ? kid : String(kid));
  }
  return el;
}

export function h(tag, props, ...kids) {
  const el = document.createElement(tag);
  for (const [key, value] of Object.entries(props || {})) {
    if (value == null || value === false) continue;
    if (key === 'class') el.className = value;
    else if (key.startsWith('on')) el.addEventListener(key.slice(2), value);
    else el.setAttribute(key, value === true ? '' : value);
  }
  return put(el, kids);
}

export function svg(tag, attrs, ...kids) {
  const el = document.createElementNS('http://www.w3.org/2000/svg', tag);
  for (const [key, value] of Object.entries(attrs || {})) el.setAttribute(key, value);
  return put(el, kids);
}

export const main = () => document.getElementById('noi-dung');

export function field(label, input, hint) {
  input.id = input.id || 'o-' + Math.random().toString(36).slice(2, 9);
  return h('div', { class: 'o' }, h('label', { for: input.id }, label), input,
    hint && h('p', { class: 'phu nho' }, hint));
}

export function errorLine() {
  return h('p', { class: 'loi', role: 'alert', hidden: true });
}

export function showError(line, text) {
  line.textContent = text;
  line.hidden = !text;
}

let toastTimer = 0;
export function toast(text) {
  const box = document.getElementById('thong-bao');
  box.textContent = text;
  box.classList.add('hien');
  clearTimeout(toastTimer);
  toastTimer = setTimeout(() => box.classList.remove('hien'), 6000);
}

// Runs an action from a button: the button is busy meanwhile, and a failure shows its message.
export async function act(button, line, work) {
  if (button) button.disabled = true;
  if (line) showError(line, '');
  try {
    await work();
  } catch (e) {
    if (!e.handled) {
      if (line) showError(line, e.message);
      else toast(e.message);
    }
  } finally {
    if (button) button.disabled = false;
  }
}

export function confirmBox(title, text, okLabel) {
  const dlg = document.getElementById('hop-xac-nhan');
  document.getElementById('xac-nhan-tieu-de').textContent = title;
  document.getElementById('xac-nhan-noi-dung').textContent = text;
  dlg.querySelector('button[value="co"]').textContent = okLabel;
  dlg.returnValue = '';
  dlg.showModal();
  dlg.querySelector('button[value="khong"]').focus();
  return new Promise((resolve) => {
    dlg.addEventListener('close', () => resolve(dlg.returnValue === 'co'), { once: true });
  });
}
