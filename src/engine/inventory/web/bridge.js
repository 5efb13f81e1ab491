// The one place where the page talks to the desktop app: each agent-access button posts
// {action} to the app's "tamber" script message handler, and each "Undo" of the activity view
// posts {action: 'undo', change: id}, after which the app asks the person and undoes. Adapt
// this file, and only this file, when the app exposes its handler differently.
'use strict';

(function () {
  const actions = {
    'invite-agent': 'invite',
    'grant-ordinary': 'grantOrdinary',
    'grant-elevated': 'grantElevated',
    'manage-grants': 'manageGrants',
  };

  function shellHandler() {
    const handlers = window.webkit && window.webkit.messageHandlers;
    return handlers && handlers.tamber ? handlers.tamber : null;
  }

  function post(message) {
    const handler = shellHandler();
    if (!handler) {
      return false;
    }
    handler.postMessage(message);
    return true;
  }

  function showNote() {
    // Opened in an ordinary browser: say where these buttons work.
    const note = document.getElementById('bridge-note');
    if (note) {
      note.hidden = false;
    }
  }

  function connect() {
    for (const [id, action] of Object.entries(actions)) {
      const button = document.getElementById(id);
      if (!button) {
        continue;
      }
      button.addEventListener('click', function () {
        if (!post({ action: action })) {
          showNote();
        }
      });
    }
    // Undo buttons come and go as the activity view is shown afresh.
    document.addEventListener('click', function (event) {
      const button = event.target.closest('button[data-undo-change]');
      if (button && !post({ action: 'undo', change: Number(button.dataset.undoChange) })) {
        showNote();
      }
    });
  }

  if (document.readyState === 'loading') {
    document.addEventListener('DOMContentLoaded', connect);
  } else {
    connect();
  }
})();
