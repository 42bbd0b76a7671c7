// The page's end of the channel to the program, run in the page's own script world at the
// start of every top-level document, before any script of the page.
//
// window.ipc.postMessage(s) hands a text to the relay (ipc_relay.js), which lives in a script
// world of its own where the page cannot reach or patch anything. The relay listens on the
// window itself, registered before any page script, so no listener of the page can run
// before it or stop the event. Every built-in used here is taken now, before the page could
// replace it. Only texts are passed on; anything else is dropped without a sound.
(() => {
  const dispatch = EventTarget.prototype.dispatchEvent;
  const Custom = CustomEvent;
  const apply = Reflect.apply;
  const target = window;
  Object.defineProperty(window, 'ipc', {
    value: Object.freeze({
      postMessage: (s) => {
        if (typeof s !== 'string') return;
        apply(dispatch, target, [new Custom('tarno-vesk-ipc', { __proto__: null, detail: s })]);
      },
    }),
  });
})();
