// 予約: the reservations with their plan's verdict; margins and priority changed, one removed.
import { api } from './api.js';
import { el, hm, md, notice, verdictBadge } from './ui.js';

export async function showReservations(root, services, ctx, highlight) {
  const [data, rules] = await Promise.all([api('GET', '/api/reservations'), api('GET', '/api/rules').catch(() => ({ rules: [] }))]);
  const names = new Map(services.map((s) => [s.service_id, s.name]));
  const ruleNames = new Map(rules.rules.map((r) => [r.id, r.name]));
  const list = el('div', { class: 'grid', id: 'reservation-list' });
  // By start, those whose time is not known yet last; the ids stay the list's own.
  const sorted = [...data.reservations].sort((a, b) => (a.start || '~').localeCompare(b.start || '~'));
  for (const r of sorted) {
    const card = el('div', { class: 'card', 'data-id': r.id, id: 'reservation-' + r.id });
    if (r.id === highlight) card.style.outline = '2px solid var(--accent)';
    const render = (editing) => {
      const margins = el('input', { type: 'number', min: 0, max: 3600, value: r.margin_before, 'aria-label': '前マージン(秒)', style: 'width:6rem' });
      const after = el('input', { type: 'number', min: 0, max: 3600, value: r.margin_after, 'aria-label': '後マージン(秒)', style: 'width:6rem' });
      const priority = el('select', { 'aria-label': '優先度' }, [1, 2, 3, 4, 5].map((p) => el('option', { value: p, selected: p === r.priority }, p)));
      const save = async () => {
        try {
          await api('PUT', '/api/reservations/' + r.id, {
            expect: r.expect, margin_before: +margins.value, margin_after: +after.value, priority: +priority.value,
          });
          notice('予約を変更しました。');
          ctx.refresh();
        } catch (e) { notice(e.message, true); }
      };
      const remove = async () => {
        if (!confirm(`「${r.title || r.name || '予約'}」の予約を削除しますか？`)) return;
        try {
          await api('DELETE', '/api/reservations/' + r.id, { expect: r.expect });
          notice('予約を削除しました。');
          ctx.refresh();
        } catch (e) { notice(e.message, true); }
      };
      const service = r.service_id !== null ? (names.get(r.service_id) || 'サービス ' + r.service_id) : '全サービス';
      // The DOM's own replaceChildren writes a null out as text: only elements go in.
      card.replaceChildren(...[
        el('h3', {}, r.title || r.name || '(番組名未定)', verdictBadge(r.verdict, r.text)),
        el('div', { class: 'meta' }, `${r.start ? md(r.start) + ' ' + hm(r.start) + '〜' + hm(r.end) : '時刻未定'}　${service}`),
        el('div', { class: 'meta' }, `マージン ${r.margin_before}秒前／${r.margin_after}秒後　優先度 ${r.priority}`,
          r.rule_id ? `　自動予約: ${ruleNames.get(r.rule_id) || 'ルール不明'}` : ''),
        r.text && r.verdict !== 'whole' ? el('div', { class: 'meta' }, r.text) : null,
        editing
          ? el('div', { class: 'actions' }, el('label', {}, '前 ', margins), el('label', {}, '後 ', after), el('label', {}, '優先度 ', priority),
            el('button', { onclick: save }, '保存'), el('button', { class: 'plain', onclick: () => render(false) }, 'キャンセル'))
          : el('div', { class: 'actions' }, el('button', { class: 'plain', onclick: () => render(true) }, '変更'),
            el('button', { class: 'danger', onclick: remove }, '削除'))].filter(Boolean));
    };
    render(false);
    list.append(card);
  }
  root.replaceChildren(data.reservations.length ? list : el('p', { class: 'empty' }, '予約はありません。番組表から番組を選んで予約できます。'));
  if (highlight) document.getElementById('reservation-' + highlight)?.scrollIntoView({ block: 'center' });
}
