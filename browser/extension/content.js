// Content script: relays the page library's window messages (channel "kelvadrome") to the
// extension's background script and the replies back. It answers "hello" with "ready" so the
// library knows the extension road is there. It adds nothing and trusts nothing the page says:
// the origin is added by the background script from what the browser reports.
(() => {
  const CHANNEL = "kelvadrome";
  // Replies go to this window only; a page without an origin of its own (a file) gets "*",
  // which still reaches no other window.
  const target = window.location.origin !== "null" ? window.location.origin : "*";
  let port = null;

  function connect() {
    port = chrome.runtime.connect({name: "kelvadrome-page"});
    port.onMessage.addListener((reply) => {
      window.postMessage(
          {channel: CHANNEL, kind: "reply", ticket: reply.ticket, message: reply.message}, target);
    });
    port.onDisconnect.addListener(() => {
      port = null;
    });
  }

  window.addEventListener("message", (event) => {
    const data = event.data;
    if (event.source !== window || !data || data.channel !== CHANNEL) return;
    if (data.kind === "hello") {
      window.postMessage({channel: CHANNEL, kind: "ready"}, target);
    } else if (data.kind === "request" && Number.isInteger(data.ticket) &&
               data.message !== null && typeof data.message === "object") {
      if (port === null) connect();
      port.postMessage({ticket: data.ticket, message: data.message});
    }
  });
})();
