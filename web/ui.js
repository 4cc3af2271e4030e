// Small helpers the views share: elements, times of Japan, notices, genre colours.

export function el(tag, attrs = {}, ...children) {
  const e = document.createElement(tag);
  for (const [k, v] of Object.entries(attrs)) {
    if (v === undefined || v === null || v === false) continue;
    if (k.startsWith('on')) e.addEventListener(k.slice(2), v);
    else if (k === 'class') e.className = v;
    else if (k === 'style') e.style.cssText = v;
    else e.setAttribute(k, v === true ? '' : v);
  }
  for (const c of children.flat()) {
    if (c === undefined || c === null || c === false) continue;
    e.append(c instanceof Node ? c : document.createTextNode(String(c)));
  }
  return e;
}

// "HH:MM" and "M/D(曜)" of a time the API gives ("YYYY-MM-DDTHH:MM:SS+09:00", Japan's time).
const WEEKDAYS = '日月火水木金土';
export function hm(t) {
  return t ? t.slice(11, 16) : '--:--';
}
export function md(t) {
  if (!t) return '';
  const d = new Date(Date.UTC(+t.slice(0, 4), +t.slice(5, 7) - 1, +t.slice(8, 10)));
  return `${d.getUTCMonth() + 1}/${d.getUTCDate()}(${WEEKDAYS[d.getUTCDay()]})`;
}

// Now in Japan as the API writes times.
export function japanNow(offsetMs = 0) {
  const d = new Date(Date.now() + 9 * 3600e3 + offsetMs);
  return d.toISOString().slice(0, 19) + '+09:00';
}

export function notice(text, error = false) {
  const n = document.getElementById('notice');
  n.textContent = text;
  n.className = error ? 'error' : '';
  n.hidden = !text;
  if (text && !error) setTimeout(() => { if (n.textContent === text) n.hidden = true; }, 4000);
}

// The colour of a genre's first level (content_nibble_level_1).
const GENRE_COLOURS = ['#ffd54f', '#81c784', '#4fc3f7', '#f06292', '#ba68c8', '#ffb74d', '#e57373', '#9575cd',
  '#4db6ac', '#a1887f', '#aed581', '#90a4ae', '#b0bec5', '#b0bec5', '#b0bec5', '#b0bec5'];
const GENRE_NAMES = ['ニュース／報道', 'スポーツ', '情報／ワイドショー', 'ドラマ', '音楽', 'バラエティ', '映画', 'アニメ／特撮',
  'ドキュメンタリー／教養', '劇場／公演', '趣味／教育', '福祉', '', '', '', 'その他'];
export function genreColour(genre) {
  return genre >= 0 ? GENRE_COLOURS[genre >> 4] : '#b0bec5';
}
export function genreName(genre) {
  return genre >= 0 ? GENRE_NAMES[genre >> 4] : '';
}

export function verdictBadge(verdict, text) {
  const names = { whole: '全体', part: '一部', none: '録画不可', unknown: '未定' };
  return el('span', { class: 'badge ' + verdict, title: text || '' }, names[verdict] || verdict);
}
