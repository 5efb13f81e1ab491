// Keeps the inventory current: asks the engine every few seconds whether its state changed
// (an index run started or finished) and then swaps in the freshly rendered inventory.
'use strict';

(function () {
  const pollMilliseconds = 2000;

  function shownGeneration() {
    const inventory = document.getElementById('inventory');
    return inventory ? inventory.dataset.generation : null;
  }

  async function refresh() {
    const response = await fetch('/', { cache: 'no-store' });
    if (!response.ok) {
      return;
    }
    const fresh = new DOMParser().parseFromString(await response.text(), 'text/html');
    const next = fresh.getElementById('inventory');
    const current = document.getElementById('inventory');
    if (next && current) {
      current.replaceWith(document.adoptNode(next));
    }
  }

  async function poll() {
    try {
      const response = await fetch('/api/status', { cache: 'no-store' });
      if (response.ok) {
        const status = await response.json();
        if (String(status.generation) !== shownGeneration()) {
          await refresh();
        }
      }
    } catch (error) {
      // The engine is restarting or gone; try again at the next tick.
    }
    window.setTimeout(poll, pollMilliseconds);
  }

  async function scanAgain(button) {
    button.disabled = true;
    try {
      await fetch('/api/scan', { method: 'POST', headers: { 'X-Tamber-Scan': '1' } });
    } catch (error) {
      button.disabled = false;
    }
  }

  document.addEventListener('click', function (event) {
    const button = event.target.closest('#scan-again');
    if (button && !button.disabled) {
      scanAgain(button);
    }
  });

  window.setTimeout(poll, pollMilliseconds);
})();
