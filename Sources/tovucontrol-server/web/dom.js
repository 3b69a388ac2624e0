// Building the page with DOM calls (the server's CSP forbids inline code and inline styles),
// and the small pieces every page shares: fields, errors, messages and confirmations.

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

// Messages sit in the page's flow, in the place of what was done (a child's card, a form), so
// they never cover a button; they outlive a redraw of that place and go after a while. Screen
// readers hear them through one polite live region.
const notes = new Map(); // place → { text, actions, error, timer }
const NOTE_MS = 12000;

function fill(slot) {
  const note = notes.get(slot.dataset.noi);
  slot.replaceChildren();
  slot.hidden = !note;
  if (!note) return;
  slot.classList.toggle('loi', note.error);
  slot.append(h('span', {}, note.text), ...note.actions.map(([label, run]) => h('button', {
    type: 'button', class: 'nut-chu', onclick: (e) => act(e.currentTarget, null, run, slot.dataset.noi),
  }, label)));
}

// The place where the notes of `place` show.
export function noteSlot(place) {
  const slot = h('p', { class: 'tin', 'data-noi': place });
  fill(slot);
  return slot;
}

// Shows `text` in `place`, with buttons [label, async action] such as "Hoàn tác"; an error
// looks like one.
export function say(place, text, actions = [], error = false) {
  clearTimeout(notes.get(place)?.timer);
  const timer = setTimeout(() => {
    notes.delete(place);
    for (const slot of document.querySelectorAll(`[data-noi="${CSS.escape(place)}"]`)) fill(slot);
  }, NOTE_MS);
  notes.set(place, { text, actions, error, timer });
  for (const slot of document.querySelectorAll(`[data-noi="${CSS.escape(place)}"]`)) fill(slot);
  const live = document.getElementById('thong-bao');
  live.textContent = '';
  setTimeout(() => { live.textContent = text; }, 50);
}

// Runs an action from a button: the button is busy meanwhile, and a failure shows its message
// in `line`, or in the notes of `place` where the page draws itself again on events.
export async function act(button, line, work, place = 'trang') {
  if (button) button.disabled = true;
  if (line) showError(line, '');
  try {
    await work();
  } catch (e) {
    if (!e.handled) {
      if (line) showError(line, e.message);
      else say(place, e.message, [], true);
    }
  } finally {
    if (button) button.disabled = false;
  }
}

// A form whose button runs `run`, busy meanwhile, with its messages in `place`.
export function form(place, label, kids, run, look = 'nut-vien') {
  const button = h('button', { type: 'submit', class: look }, label);
  const el = h('form', {}, kids, button);
  el.addEventListener('submit', (e) => {
    e.preventDefault();
    act(button, null, run, place);
  });
  return el;
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
