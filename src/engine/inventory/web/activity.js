// Keeps the "Agent activity" view current: asks the engine every few seconds whether the
// journal changed (a new request answered, a change undone) and shows the view afresh when it
// did. Undo itself is the desktop's: bridge.js hands it the change, and nothing here changes a
// file.
'use strict';

(function () {
  const pollMilliseconds = 3000;

  function view() {
    return document.getElementById('activity');
  }

  async function refresh() {
    const response = await fetch(window.location.href, { cache: 'no-store' });
    const fresh = new DOMParser().parseFromString(await response.text(), 'text/html');
    const next = fresh.getElementById('activity');
    const current = view();
    if (next && current) {
      // Expanded read lines stay expanded.
      const open = new Set(Array.from(current.querySelectorAll('details[open]'),
        (details) => details.closest('section') && details.closest('section').id));
      current.replaceWith(document.adoptNode(next));
      for (const section of next.querySelectorAll('section')) {
        if (open.has(section.id)) {
          const details = section.querySelector('details');
          if (details) {
            details.open = true;
          }
        }
      }
    }
  }

  async function poll() {
    try {
      const response = await fetch('/api/activity', { cache: 'no-store' });
      const current = view();
      if (response.ok && current) {
        const status = await response.json();
        if (status.signature !== current.dataset.signature) {
          await refresh();
        }
      }
    } catch (error) {
      // The engine is restarting or gone; try again at the next tick.
    }
    window.setTimeout(poll, pollMilliseconds);
  }

  window.setTimeout(poll, pollMilliseconds);
})();
