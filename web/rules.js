// 自動予約: the rules with their next programme and reservations; the editor with its live match
// list (every programme the rule matches now, with the verdict and its reason).
import { api } from './api.js';
import { el, hm, md, notice } from './ui.js';

export async function showRules(root, services, ctx) {
  const data = await api('GET', '/api/rules');
  const grid = el('div', { class: 'grid', id: 'rule-list' });
  for (const r of data.rules) {
    const toggle = async () => {
      try {
        await api('PUT', '/api/rules/' + r.id, { enabled: !r.enabled });
        ctx.refresh();
      } catch (e) { notice(e.message, true); }
    };
    const remove = async () => {
      if (!confirm(`自動予約「${r.name}」を削除しますか？`)) return;
      const withReservations = confirm('この自動予約が作った、まだ始まっていない予約も削除しますか？\n（キャンセルで予約は残します）');
      try {
        await api('DELETE', '/api/rules/' + r.id, { keep_reservations: !withReservations });
        notice('自動予約を削除しました。');
        ctx.refresh();
      } catch (e) { notice(e.message, true); }
    };
    grid.append(el('div', { class: 'card', 'data-id': r.id },
      el('h3', {}, r.name, el('span', { class: 'badge' + (r.enabled ? ' whole' : '') }, r.enabled ? '有効' : '無効')),
      el('div', { class: 'meta' }, `キーワード: ${r.row.words}`),
      el('div', { class: 'meta' }, `サービス: ${r.row.services}`),
      el('div', { class: 'meta' }, `次の放送: ${r.row.next}　予約数: ${r.row.count}`),
      el('div', { class: 'actions' },
        el('button', { class: 'plain', onclick: () => openRuleEditor(r, ctx) }, '編集'),
        el('button', { class: 'plain', onclick: toggle }, r.enabled ? '無効にする' : '有効にする'),
        el('button', { class: 'danger', onclick: remove }, '削除'))));
  }
  root.replaceChildren(
    el('div', { class: 'toolbar' }, el('button', { onclick: () => openRuleEditor({ name: '', words: '', enabled: true, in: 'title', priority: 3, services: [] }, ctx) }, '新しい自動予約')),
    data.rules.length ? grid : el('p', { class: 'empty' }, '自動予約はありません。番組表の番組や検索結果から作成できます。'));
}

// Opens the editor on `rule` (a stored one has its id; a draft has none).
export function openRuleEditor(rule, ctx) {
  const dialog = document.getElementById('rule-editor');
  const field = (name, value, attrs = {}) => el('input', { name, value: value ?? '', ...attrs });
  const name = field('name', rule.name, { 'aria-label': '名前' });
  const words = field('words', rule.words, { 'aria-label': 'キーワード' });
  const exclude = field('exclude', rule.exclude, { 'aria-label': '除外キーワード' });
  const regex = field('regex', rule.regex, { 'aria-label': '正規表現' });
  const scope = el('select', { name: 'in' }, [['title', '番組名'], ['description', '番組名と説明'], ['all', 'すべての文']]
    .map(([v, t]) => el('option', { value: v, selected: v === (rule.in || 'title') }, t)));
  const services = field('services', (rule.services || []).join(','), { placeholder: 'すべて', 'aria-label': 'サービス' });
  const priority = el('select', { name: 'priority' }, [1, 2, 3, 4, 5].map((p) => el('option', { value: p, selected: p === (rule.priority || 3) }, p)));
  const enabled = el('input', { type: 'checkbox', name: 'enabled', checked: rule.enabled !== false });
  const matches = el('div', { class: 'matches' });
  const body = () => ({
    name: name.value, words: words.value, exclude: exclude.value, regex: regex.value, in: scope.value,
    services: services.value.split(/[,\s]+/).filter(Boolean).map(Number), priority: +priority.value, enabled: enabled.checked,
    time: rule.time || '',
  });
  let timer = 0;
  const test = () => {
    clearTimeout(timer);
    timer = setTimeout(async () => {
      try {
        const data = await api('POST', '/api/rules/test', body());
        showMatches(matches, data.matches);
      } catch (e) { matches.replaceChildren(el('p', { class: 'empty' }, e.message)); }
    }, 300);
  };
  const save = async (event) => {
    event.preventDefault();
    try {
      const answer = rule.id ? await api('PUT', '/api/rules/' + rule.id, body()) : await api('POST', '/api/rules', body());
      dialog.close();
      const reserved = answer.reserved === null || answer.reserved === undefined ? '' : `（${answer.reserved}件を予約）`;
      notice(`自動予約「${answer.rule.name}」を保存しました。${reserved}`);
      ctx.go('rules');
    } catch (e) { notice(e.message, true); }
  };
  const form = el('form', { class: 'rule', oninput: test, onsubmit: save },
    el('label', {}, '名前'), name,
    el('label', {}, 'キーワード'), words,
    el('label', {}, '除外'), exclude,
    el('label', {}, '正規表現'), regex,
    el('label', {}, '探す所'), scope,
    el('label', {}, 'サービス'), services,
    el('label', {}, '優先度'), priority,
    el('label', {}, '有効'), enabled,
    el('div', { class: 'wide actions' }, el('button', { type: 'submit' }, '保存'),
      el('button', { type: 'button', class: 'plain', onclick: () => dialog.close() }, 'キャンセル')));
  dialog.replaceChildren(el('h2', {}, rule.id ? '自動予約の編集' : '自動予約の作成'), form, el('h2', {}, '一致する番組'), matches);
  if (rule.matches) showMatches(matches, rule.matches); else test();
  dialog.showModal();
}

function showMatches(root, list) {
  if (!list.length) {
    root.replaceChildren(el('p', { class: 'empty' }, '一致する番組はありません。'));
    return;
  }
  root.replaceChildren(el('table', {}, el('tbody', {}, list.slice(0, 200).map((m) => el('tr', { class: m.row.suppressed ? 'suppressed' : '' },
    el('td', {}, `${md(m.start)} ${hm(m.start)}`), el('td', {}, m.row.service), el('td', {}, m.title),
    el('td', { title: m.reason }, m.row.verdict))))));
}
