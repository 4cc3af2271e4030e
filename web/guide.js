// 番組表: one service's programmes of one broadcast day (04:00 to 04:00), with the now-line, and the
// guide's search; a programme's detail reserves it, shows its reservation, starts a rule from it
// or plays it while on air.
import { api } from './api.js';
import { el, hm, md, japanNow, notice, genreColour, genreName } from './ui.js';
import { openRuleEditor } from './rules.js';

const state = { service: null, day: null, query: '' };

// The broadcast day now: the date of four hours ago.
function today() {
  return japanNow(-4 * 3600e3).slice(0, 10);
}
function addDays(day, n) {
  const d = new Date(day + 'T00:00:00Z');
  d.setUTCDate(d.getUTCDate() + n);
  return d.toISOString().slice(0, 10);
}

export async function showGuide(root, services, ctx) {
  if (state.service === null && services.length) state.service = services[0].service_id;
  if (state.day === null) state.day = today();
  const serviceSelect = el('select', { 'aria-label': 'サービス', onchange: (e) => { state.service = +e.target.value; state.query = ''; ctx.refresh(); } },
    services.map((s) => el('option', { value: s.service_id, selected: s.service_id === state.service }, s.name || String(s.service_id))));
  const days = [];
  for (let i = -1; i < 8; ++i) days.push(addDays(today(), i));
  const daySelect = el('select', { 'aria-label': '日付', onchange: (e) => { state.day = e.target.value; state.query = ''; ctx.refresh(); } },
    days.map((d) => el('option', { value: d, selected: d === state.day }, md(d + 'T00:00:00+09:00'))));
  const search = el('input', { type: 'search', placeholder: '番組を検索', value: state.query, 'aria-label': '検索' });
  const form = el('form', { class: 'toolbar', onsubmit: (e) => { e.preventDefault(); state.query = search.value.trim(); ctx.refresh(); } },
    serviceSelect, daySelect, search, el('button', { type: 'submit' }, '検索'));
  root.replaceChildren(form);
  const names = new Map(services.map((s) => [s.service_id, s.name]));
  let events;
  if (state.query) {
    const data = await api('GET', '/api/guide?q=' + encodeURIComponent(state.query));
    events = data.events;
    root.append(el('div', { class: 'toolbar' },
      el('span', {}, `「${state.query}」の検索結果 ${events.length}件`),
      el('button', { class: 'plain', onclick: async () => {
        try {
          openRuleEditor(await api('GET', '/api/rules/draft?q=' + encodeURIComponent(state.query)), ctx);
        } catch (e) { notice(e.message, true); }
      } }, '検索条件で自動予約を作成'),
      el('button', { class: 'plain', onclick: () => { state.query = ''; ctx.refresh(); } }, '番組表に戻る')));
  } else if (state.service !== null) {
    const from = state.day + 'T04:00:00';
    const to = addDays(state.day, 1) + 'T04:00:00';
    events = (await api('GET', `/api/guide?service=${state.service}&from=${from}&to=${to}`)).events;
  } else {
    events = [];
  }
  const list = el('div', { class: 'list', id: 'programmes' });
  const now = japanNow();
  let lineDrawn = state.query !== '';
  for (const e of events) {
    if (!lineDrawn && e.start > now) {
      list.append(el('div', { class: 'nowline' }, el('span', {}, '現在 ' + hm(now))));
      lineDrawn = true;
    }
    const onAir = e.start <= now && (!e.end || now < e.end);
    const past = e.end && e.end <= now;
    list.append(el('button', {
      class: 'programme' + (onAir ? ' onair' : '') + (past ? ' past' : ''), type: 'button',
      style: `--genre:${genreColour(e.genre)}`, 'data-event': `${e.service_id}:${e.event_id}`,
      onclick: () => showDetail(e, names, ctx),
    },
    el('span', { class: 'time' }, state.query ? el('span', { class: 'date' }, md(e.start)) : null, hm(e.start)),
    el('span', {},
      el('span', { class: 'title' }, e.title),
      onAir ? el('span', { class: 'badge onair' }, '放送中') : null,
      e.reservation ? el('span', { class: 'badge reserved' }, '予約済') : null,
      el('div', { class: 'sub' }, [state.query ? names.get(e.service_id) : null, genreName(e.genre), e.minutes ? e.minutes + '分' : null]
        .filter(Boolean).join('・')))));
  }
  if (!events.length) list.append(el('p', { class: 'empty' }, state.query ? '見つかりませんでした。' : 'この日の番組はまだ届いていません。'));
  root.append(list);
}

function showDetail(e, names, ctx) {
  const dialog = document.getElementById('detail');
  const now = japanNow();
  const onAir = e.start <= now && (!e.end || now < e.end);
  const close = () => dialog.close();
  const reserve = async () => {
    try {
      await api('POST', '/api/reservations', { event: { service_id: e.service_id, event_id: e.event_id } });
      notice(`「${e.title}」を予約しました。`);
      close();
      ctx.refresh();
    } catch (err) { notice(err.message, true); }
  };
  const rule = async () => {
    try {
      close();
      openRuleEditor(await api('GET', `/api/rules/draft?service_id=${e.service_id}&event_id=${e.event_id}`), ctx);
    } catch (err) { notice(err.message, true); }
  };
  dialog.replaceChildren(...[
    el('h2', {}, e.title),
    el('p', { class: 'meta' }, `${md(e.start)} ${hm(e.start)}〜${hm(e.end)}　${names.get(e.service_id) || e.service_id}　${genreName(e.genre)}`),
    el('p', { class: 'description' }, e.description),
    e.extended ? el('p', { class: 'description' }, e.extended) : null,
    el('div', { class: 'actions' },
      e.reservation
        ? el('button', { onclick: () => { close(); ctx.go('reservations', e.reservation); } }, '予約の詳細')
        : el('button', { onclick: reserve }, '予約'),
      el('button', { class: 'plain', onclick: rule }, 'この番組で自動予約を作成'),
      onAir ? el('a', { href: ctx.streamUrl(e.service_id), target: '_blank', rel: 'noopener' }, el('button', { class: 'plain', type: 'button' }, '視聴')) : null,
      el('button', { class: 'plain', onclick: close }, '閉じる'))].filter(Boolean));
  dialog.showModal();
}
