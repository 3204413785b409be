// Background script: holds the native-messaging port to kelvadrome-bridge and routes messages
// between it and the pages' content scripts. Each request gets an id of this script's own (pages
// choose theirs freely) and the origin of the page that sent it, as the browser reports it; a page
// cannot name another origin. A bridge that goes away fails every request still waiting.
const HOST = "org.kelvadrome.bridge";

let bridge = null;
let nextId = 1;
// Our request id -> {page, id, ticket}: the page's port, its own request id and ticket.
const waiting = new Map();

function originOf(sender) {
  if (sender.origin) return sender.origin;
  try {
    return new URL(sender.url).origin;
  } catch {
    return "null";
  }
}

function failWaiting(page, reason) {
  for (const [key, entry] of waiting) {
    if (page !== undefined && entry.page !== page) continue;
    waiting.delete(key);
    if (page === undefined) {
      entry.page.postMessage({
        ticket: entry.ticket,
        message: {jsonrpc: "2.0", id: entry.id, error: {code: -32000, message: reason}},
      });
    }
  }
}

function connectBridge() {
  const port = chrome.runtime.connectNative(HOST);
  port.onMessage.addListener((reply) => {
    const entry = waiting.get(reply && reply.id);
    if (entry === undefined) return;
    waiting.delete(reply.id);
    entry.page.postMessage({ticket: entry.ticket, message: {...reply, id: entry.id}});
  });
  port.onDisconnect.addListener(() => {
    const error = chrome.runtime.lastError;
    bridge = null;
    failWaiting(undefined, `the bridge is not available${error ? `: ${error.message}` : ""}`);
  });
  return port;
}

chrome.runtime.onConnect.addListener((page) => {
  if (page.name !== "kelvadrome-page" || !page.sender) return;
  const origin = originOf(page.sender);
  page.onMessage.addListener((request) => {
    const message = request && request.message;
    if (!message || typeof message !== "object") return;
    const key = nextId++;
    waiting.set(key, {page, id: message.id, ticket: request.ticket});
    if (bridge === null) bridge = connectBridge();
    // The origin is the browser's, whatever the page put in its message.
    bridge.postMessage({...message, id: key, origin});
  });
  page.onDisconnect.addListener(() => failWaiting(page));
});
