/* Lets the host page read and set the theme: window functions for a host
 * that shares the window, messages for a host that frames the page. */
(function () {
  var root = document.documentElement;

  /* Applies "light" or "dark", remembers it and tells listeners in this
   * window; any other value, or the theme already in force, does nothing. */
  function apply(theme) {
    if (theme !== 'light' && theme !== 'dark')
      return;
    if (root.getAttribute('data-theme') === theme)
      return;
    root.setAttribute('data-theme', theme);
    try {
      window.localStorage.setItem('bot_theme', theme);
    } catch (e) {}
    try {
      window.dispatchEvent(new CustomEvent('bot-theme', { detail: theme }));
    } catch (e) {}
  }

  window.qvApplyTheme = apply;
  window.qvTheme = function () {
    var theme = root.getAttribute('data-theme');
    return theme === 'light' || theme === 'dark' ? theme : 'dark';
  };

  /* The theme is harmless to set, so any sender may set it. */
  window.addEventListener('message', function (ev) {
    var data = ev.data;
    if (data && typeof data === 'object' && data.type === 'qv-theme')
      apply(data.theme);
  });

  /* Framed: ask the host once for its current theme. */
  try {
    if (window.parent && window.parent !== window)
      window.parent.postMessage({ type: 'qv-theme-request' }, '*');
  } catch (e) {}
})();
