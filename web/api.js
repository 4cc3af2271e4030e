// The recorder's JSON API, with the control token this browser keeps.
const TOKEN_KEY = 'pelkan.token';

// Takes the token from an address of `pelkan-cli http url` (/#token=...) into the browser's
// storage and drops it from the address bar; the token kept before otherwise.
export function takeToken() {
  const m = location.hash.match(/token=([0-9a-f]{64})/);
  if (m) {
    localStorage.setItem(TOKEN_KEY, m[1]);
    history.replaceState(null, '', location.pathname + '#guide');
  }
  return localStorage.getItem(TOKEN_KEY) || '';
}

export class ApiError extends Error {
  constructor(status, message) {
    super(message);
    this.status = status;
  }
}

// One request; resolves with the answer's JSON, rejects with an ApiError carrying the server's text.
export async function api(method, path, body) {
  const headers = {};
  const token = localStorage.getItem(TOKEN_KEY);
  if (token) headers.Authorization = 'Bearer ' + token;
  const init = { method, headers, cache: 'no-store' };
  if (method !== 'GET') {
    headers['Content-Type'] = 'application/json';
    init.body = JSON.stringify(body || {});
  }
  const response = await fetch(path, init);
  let data = null;
  try {
    data = await response.json();
  } catch (e) {
    data = { error: response.statusText };
  }
  if (!response.ok) {
    const text = response.status === 401 ? '操作用のトークンがありません。pelkan-cli http url のアドレスを開いてください。'
      : (data && data.error) || response.statusText;
    throw new ApiError(response.status, text);
  }
  return data;
}

export function hasToken() {
  return !!localStorage.getItem(TOKEN_KEY);
}
