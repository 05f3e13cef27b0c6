/* Decides the theme and embed mode while the head is parsed, so the first
 * paint already has them. Each step that touches the URL, storage or media
 * queries is guarded on its own: a failure only skips that step. */
(function () {
  var root = document.documentElement;
  var query = '';
  var theme = '';
  var m;
  var stored;
  try {
    query = window.location.search.replace(/^\?/, '');
  } catch (e) {}
  /* The value only has to begin with the word: "theme=darker" is dark. */
  m = /(?:^|&)theme=(light|dark)/.exec(query);
  if (m)
    theme = m[1];
  if (!theme) {
    try {
      stored = window.localStorage.getItem('bot_theme');
      if (stored === 'light' || stored === 'dark')
        theme = stored;
    } catch (e) {}
  }
  if (!theme) {
    theme = 'dark';
    try {
      if (window.matchMedia('(prefers-color-scheme: light)').matches)
        theme = 'light';
    } catch (e) {}
  }
  root.setAttribute('data-theme', theme);
  if (/(?:^|&)embed=(?:1|true)(?:&|$)/.test(query))
    root.classList.add('embedded');
  /* A theme chosen by URL or by the system becomes the remembered one. */
  try {
    window.localStorage.setItem('bot_theme', theme);
  } catch (e) {}
})();
