// ライブ: every service with its programme on air and its stream; the capture's status.
import { api } from './api.js';
import { el, hm } from './ui.js';

function size(bytes) {
  if (bytes === undefined || bytes === null) return '—';
  const units = ['B', 'KB', 'MB', 'GB', 'TB'];
  let i = 0;
  while (bytes >= 1024 && i < units.length - 1) { bytes /= 1024; ++i; }
  return bytes.toFixed(i ? 1 : 0) + ' ' + units[i];
}

export async function showLive(root, services, ctx) {
  const status = await api('GET', '/api/status').catch(() => ({}));
  const grid = el('div', { class: 'grid', id: 'live-list' });
  for (const s of services) {
    const onAir = s.on_air;
    grid.append(el('div', { class: 'card' },
      el('h3', {}, s.name || 'サービス ' + s.service_id),
      el('div', { class: 'meta' }, onAir ? `${hm(onAir.start)}〜${hm(onAir.end)} ${onAir.title}` : '放送中の番組は不明です'),
      el('div', { class: 'actions' }, el('a', { href: ctx.streamUrl(s.service_id), target: '_blank', rel: 'noopener' }, '視聴 (/service/' + s.service_id + ')'))));
  }
  const http = status.http || {};
  const figures = el('div', { class: 'figures' },
    el('div', {}, '受信レート', el('b', {}, size(status.rate_bytes_per_second) + '/s')),
    el('div', {}, 'ドロップ', el('b', {}, status.dropped_packets ?? '—')),
    el('div', {}, '視聴中のクライアント', el('b', {}, Array.isArray(http.clients) ? http.clients.length : (http.clients ?? 0))),
    el('div', {}, '録画', el('b', {}, status.recording ? size(status.recording.bytes) : 'なし')),
    el('div', {}, '空き容量', el('b', {}, size(status.recording?.free_bytes ?? status.free_bytes))),
    el('div', {}, '予約', el('b', {}, status.schedule || '—')));
  root.replaceChildren(
    el('div', { class: 'toolbar' }, el('a', { href: ctx.playlistUrl() }, 'プレイリスト (playlist.m3u)')),
    figures, el('h2', {}, 'サービス'), services.length ? grid : el('p', { class: 'empty' }, 'サービスはまだわかりません。'));
}
