// The page: the views by the address's fragment, the control token kept from /#token=...
import { api, takeToken, hasToken } from './api.js';
import { notice } from './ui.js';
import { showGuide } from './guide.js';
import { showReservations } from './reservations.js';
import { showRules } from './rules.js';
import { showLive } from './live.js';
import { showRecordings } from './recordings.js';

const views = { guide: showGuide, reservations: showReservations, rules: showRules, recordings: showRecordings, live: showLive };
let viewToken = '';
let highlight = null;

const ctx = {
  refresh: () => render(),
  go(view, id) {
    highlight = id ?? null;
    if (location.hash === '#' + view) render(); else location.hash = view;
  },
  // Players cannot send headers: the stream and the playlist carry the view token when the server asks for one.
  streamUrl: (service) => '/service/' + service + (viewToken ? '?t=' + viewToken : ''),
  playlistUrl: () => '/playlist.m3u' + (viewToken ? '?t=' + viewToken : ''),
  withViewToken: (path) => path + (viewToken ? '?t=' + viewToken : ''),
};

async function render() {
  const name = location.hash.slice(1) in views ? location.hash.slice(1) : 'guide';
  for (const a of document.querySelectorAll('#tabs a')) a.classList.toggle('active', a.dataset.view === name);
  const root = document.getElementById('view');
  try {
    const [services] = await Promise.all([api('GET', '/api/services').then((d) => d.services), liveAsked]);
    await views[name](root, services, ctx, highlight);
    highlight = null;
    root.dataset.ready = name;
    // The first time a view is drawn, for Navigation Timing (performance.now() of the mark).
    if (!performance.getEntriesByName('ready:' + name).length) performance.mark('ready:' + name);
  } catch (e) {
    notice(e.message, true);
  }
}

takeToken();
if (!hasToken()) notice('このブラウザには操作用のトークンがありません。pelkan-cli http url が示すアドレスを開いてください。', true);
// 録画済み only where the program keeps a catalogue; asked once the first view is drawn, so that
// it never delays it.
function showCatalogueTab() {
  api('GET', '/api/recordings?result=recording').then(() => {
    document.querySelector('#tabs a[data-view=recordings]').hidden = false;
  }).catch(() => {});
}
// The view token, asked for beside the first view's own requests; a view waits for it before it draws.
const liveAsked = api('GET', '/api/live').then((d) => { viewToken = d.view_token || ''; }).catch(() => {});
window.addEventListener('hashchange', render);
render().then(showCatalogueTab);
