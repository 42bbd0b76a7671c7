// The program's end of the channel, run in an isolated script world of the top frame only.
// Its built-ins and its window.webkit are its own, so a page that replaces window.webkit or
// patches UserMessageHandler.prototype changes nothing here, and frames cannot reach it.
(() => {
  const handler = window.webkit.messageHandlers.ipc;
  window.addEventListener('tarno-vesk-ipc', (event) => {
    const text = event.detail;
    if (typeof text !== 'string') return;
    // A lone UTF-16 surrogate would make the engine cut the text where it stands; as U+FFFD
    // the rest of the text arrives intact.
    handler.postMessage(text.toWellFormed());
  }, true);
})();
