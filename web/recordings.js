// 録画済み: the recordings' catalogue, searched and narrowed by result; each one played (its URL
// with the view token, which a player takes), its report read, protected, or deleted to the trash.
import { api } from './api.js';
import { el, hm, md, notice } from './ui.js';

// The result words of the catalogue and their names, as the desktop's window shows them.
const RESULTS = { complete: '完了', recovered: '復旧', partial: '一部', failed: '失敗', 'tuner lost': 'チューナー切断', recording: '録画中' };
const state = { query: '', result: '' };

function length(seconds) {
  const h = Math.floor(seconds / 3600), m = Math.floor(seconds / 60) % 60;
  return h ? `${h}時間${m}分` : `${m}分`;
}
function size(bytes) {
  return bytes >= 1e9 ? (bytes / 1e9).toFixed(1) + ' GB' : Math.round(bytes / 1e6) + ' MB';
}

export function resultBadge(r) {
  const kind = r.recording ? 'onair' : r.result === 'complete' ? 'whole' : r.result === 'recovered' || r.result === 'partial' ? 'part' : 'none';
  const counts = `ドロップ ${r.drop}　エラー ${r.error}　スクランブル ${r.scrambled}`;
  return el('span', { class: 'badge ' + kind, title: counts }, r.recording ? '録画中' : RESULTS[r.result] || r.result);
}

async function showReport(r) {
  const dialog = document.getElementById('detail');
  try {
    const data = await api('GET', `/api/recordings/${r.id}/report`);
    dialog.replaceChildren(el('h2', {}, r.title || '録画'), el('pre', { class: 'report' }, data.report),
      el('div', { class: 'actions' }, el('button', { class: 'plain', onclick: () => dialog.close() }, '閉じる')));
    dialog.showModal();
  } catch (e) { notice(e.message, true); }
}

export async function showRecordings(root, services, ctx) {
  const query = new URLSearchParams();
  if (state.query) query.set('q', state.query);
  if (state.result) query.set('result', state.result);
  const data = await api('GET', '/api/recordings' + (query.size ? '?' + query : ''));
  const search = el('input', { type: 'search', placeholder: '録画を検索', value: state.query, 'aria-label': '検索' });
  const result = el('select', { 'aria-label': '結果' }, el('option', { value: '' }, 'すべての結果'),
    Object.entries(RESULTS).map(([word, name]) => el('option', { value: word, selected: word === state.result }, name)));
  const form = el('form', { class: 'toolbar', onsubmit: (e) => { e.preventDefault(); state.query = search.value.trim(); state.result = result.value; ctx.refresh(); } },
    search, result, el('button', { type: 'submit' }, '検索'), el('a', { href: ctx.withViewToken('/recordings.m3u') }, 'プレイリスト'));
  const names = new Map(services.map((s) => [s.service_id, s.name]));
  const list = el('div', { class: 'grid', id: 'recording-list' });
  for (const r of data.recordings) {
    const protect = async () => {
      try {
        await api('PUT', '/api/recordings/' + r.id, { protected: !r.protected });
        notice(r.protected ? '保護を解除しました。' : '保護しました。');
        ctx.refresh();
      } catch (e) { notice(e.message, true); }
    };
    const remove = async () => {
      if (!confirm(`「${r.title || '録画'}」をゴミ箱に移しますか？`)) return;
      try {
        await api('DELETE', '/api/recordings/' + r.id, { force: false });
        notice('録画をゴミ箱に移しました。');
        ctx.refresh();
      } catch (e) { notice(e.message, true); }
    };
    const service = r.service_name || names.get(r.service_id) || (r.service_id ? 'サービス ' + r.service_id : '');
    list.append(el('div', { class: 'card' + (r.missing ? ' missing' : ''), id: 'recording-' + r.id, 'data-id': r.id },
      el('h3', {}, r.protected ? '🔒 ' : '', r.title || '(番組名なし)', resultBadge(r)),
      // Length and size are known once the recording has ended.
      el('div', { class: 'meta' }, `${r.start ? md(r.start) + ' ' + hm(r.start) + '〜' + (r.end && !r.recording ? hm(r.end) : '') : '日時不明'}${r.recording ? '' : '　' + length(r.duration)}　${service}`),
      el('div', { class: 'meta' }, `${r.recording ? '' : size(r.bytes) + '　'}ドロップ ${r.drop}　エラー ${r.error}　スクランブル ${r.scrambled}`,
        r.rule_id ? `　自動予約 ${r.rule_id}` : '', r.missing ? '　ファイルがありません' : ''),
      el('div', { class: 'actions' },
        r.missing ? null : el('a', { class: 'button', href: ctx.withViewToken('/recordings/' + r.id), target: '_blank', rel: 'noopener' }, r.recording ? '追っかけ再生' : '再生'),
        r.report ? el('button', { class: 'plain', onclick: () => showReport(r) }, 'レポート') : null,
        el('button', { class: 'plain protect', onclick: protect }, r.protected ? '保護解除' : '保護'),
        el('button', { class: 'danger', onclick: remove, disabled: r.protected || r.recording }, '削除'))));
  }
  root.replaceChildren(form, data.recordings.length ? list
    : el('p', { class: 'empty' }, state.query || state.result ? '該当する録画はありません。' : '録画はまだありません。'));
}
