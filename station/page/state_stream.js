// The page's state from its server as it changes (server-sent events on
// /events), and whether the stream is up. Shared by the station's page and
// the line's.
(function () {
  'use strict';

  // onState(text) for each state; onConnected(bool) as the stream comes and goes.
  function open(onState, onConnected) {
    let source = null;
    let retryTimer = 0;

    function connect() {
      clearTimeout(retryTimer);
      if (source) source.close();
      source = new EventSource('/events');
      source.addEventListener('state', (e) => {
        onConnected(true);
        onState(e.data);
      });
      source.addEventListener('open', () => onConnected(true));
      source.addEventListener('error', () => {
        onConnected(false);
        // The browser retries on its own unless the server answered with an
        // error; then it gives up, so try again later.
        if (source.readyState === EventSource.CLOSED) retryTimer = setTimeout(connect, 5000);
      });
    }

    // A page left behind keeps no stream open: the browser's few connections
    // to one server are for the page in front. One brought back connects again.
    window.addEventListener('pagehide', () => {
      clearTimeout(retryTimer);
      if (source) source.close();
    });
    window.addEventListener('pageshow', (e) => {
      if (e.persisted) connect();
    });
    connect();
  }

  window.StateStream = { open };
})();
