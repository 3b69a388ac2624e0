// The console's words for times, durations and requests.
import { CONTRACT } from './contract.js';
import { S } from './session.js';

export const WEEKDAYS = ['Thứ Hai', 'Thứ Ba', 'Thứ Tư', 'Thứ Năm', 'Thứ Sáu', 'Thứ Bảy', 'Chủ nhật'];
const SHORT_DAYS = ['CN', 'T2', 'T3', 'T4', 'T5', 'T6', 'T7']; // indexed by getUTCDay()
const { kind: KIND, status: STATUS } = CONTRACT;
export const STATUS_TEXT = {
  [STATUS.waiting]: 'Đang chờ', [STATUS.granted]: 'Đã đồng ý', [STATUS.refused]: 'Đã từ chối', [STATUS.replaced]: 'Đã có yêu cầu mới hơn',
};

export function duration(m) {
  if (m == null) return 'Không giới hạn';
  if (m < 60) return `${m} phút`;
  return m % 60 === 0 ? `${m / 60} giờ` : `${Math.trunc(m / 60)} giờ ${m % 60} phút`;
}

function timeZone() {
  return (S.session && S.session.family && S.session.family.timeZone) || undefined;
}

export function clock(iso) {
  return new Intl.DateTimeFormat('vi-VN', { hour: '2-digit', minute: '2-digit', hourCycle: 'h23', timeZone: timeZone() })
    .format(new Date(iso));
}

function dayOf(date) {
  return new Intl.DateTimeFormat('en-CA', { timeZone: timeZone() }).format(date);
}

export function when(iso) {
  const d = new Date(iso);
  if (dayOf(d) === dayOf(new Date())) return `${clock(iso)} hôm nay`;
  const date = new Intl.DateTimeFormat('vi-VN', { day: '2-digit', month: '2-digit', timeZone: timeZone() }).format(d);
  return `${clock(iso)} ngày ${date}`;
}

export function ago(iso) {
  const minutes = Math.floor((Date.now() - new Date(iso).getTime()) / 60000);
  if (minutes < 1) return 'vừa xong';
  if (minutes < 60) return `${minutes} phút trước`;
  return `lúc ${when(iso)}`;
}

function utcDate(day) {
  const [y, m, d] = day.split('-').map(Number);
  return new Date(Date.UTC(y, m - 1, d));
}

export function shortDay(day) {
  return SHORT_DAYS[utcDate(day).getUTCDay()];
}

// "08/12" for the day key "2025-12-08".
export function shortDate(day) {
  return day.slice(8, 10) + '/' + day.slice(5, 7);
}

// "Thứ Hai 08/12".
export function dayName(day) {
  return `${WEEKDAYS[(utcDate(day).getUTCDay() + 6) % 7]} ${shortDate(day)}`;
}

export function requestText(r) {
  if (r.kind === KIND.exchange) return `${r.childName} đổi điểm lấy ${duration(r.minutes)}`;
  return `${r.childName} xin thêm ${duration(r.minutes)}` + (r.appName ? ` cho ${r.appName}` : '');
}
