// The extension's two scripts with stand-in browser objects: the content script relays only its
// own window's channel messages, the background script stamps the browser's origin over whatever
// the page wrote, keeps each page's ids and tickets apart, and fails waiting requests when the
// bridge goes away. Run: node <this file>.
import assert from "node:assert/strict";
import fs from "node:fs";
import vm from "node:vm";

const folder = new URL("../../browser/extension/", import.meta.url);
const source = (name) => fs.readFileSync(new URL(name, folder), "utf8");
// Objects made inside a script's context have that context's prototypes: compared as plain data.
const plain = (value) => JSON.parse(JSON.stringify(value));

// A port pair end: messages posted on one end arrive at the other's listeners.
function portPair(name, sender) {
  const make = () => ({name, sender, listeners: [], closers: [], other: null,
                       onMessage: {addListener(f) { this.owner.listeners.push(f); }},
                       onDisconnect: {addListener(f) { this.owner.closers.push(f); }},
                       postMessage(message) {
                         for (const f of this.other.listeners) f(structuredClone(message));
                       },
                       disconnect() { for (const f of this.other.closers) f(); }});
  const a = make(), b = make();
  a.other = b, b.other = a;
  a.onMessage.owner = a, a.onDisconnect.owner = a, b.onMessage.owner = b, b.onDisconnect.owner = b;
  return [a, b];
}

// The background script, with a stand-in bridge that records what it gets.
const toBridge = [];
let bridgeSide = null;
const onConnect = [];
const chrome = {
  runtime: {
    lastError: undefined,
    onConnect: {addListener: (f) => onConnect.push(f)},
    connectNative(host) {
      assert.equal(host, "org.kelvadrome.bridge");
      const [extensionEnd, bridgeEnd] = portPair(host);
      bridgeSide = bridgeEnd;
      bridgeEnd.onMessage.addListener((message) => toBridge.push(message));
      return extensionEnd;
    },
  },
};
vm.runInNewContext(source("background.js"), {chrome, URL, structuredClone});

// Two pages connect, as their content scripts would.
function page(url) {
  const [contentEnd, backgroundEnd] = portPair("kelvadrome-page", {url});
  const replies = [];
  contentEnd.onMessage.addListener((reply) => replies.push(reply));
  for (const f of onConnect) f(backgroundEnd);
  return {port: contentEnd, replies};
}
const bank = page("https://bank.example/sign?x=1");
const other = page("http://127.0.0.1:8000/");

// A page that claims another origin is sent with its own; ids are the extension's own.
bank.port.postMessage({ticket: 7, message: {jsonrpc: "2.0", id: 1, method: "Kelvadrome.open",
                                            params: [], origin: "https://evil.example"}});
other.port.postMessage({ticket: 1, message: {jsonrpc: "2.0", id: 1, method: "GetVersion",
                                             params: [], session: "s-9"}});
assert.deepEqual(toBridge.map((m) => [m.origin, m.method, m.session]),
                 [["https://bank.example", "Kelvadrome.open", undefined],
                  ["http://127.0.0.1:8000", "GetVersion", "s-9"]]);
assert.notEqual(toBridge[0].id, toBridge[1].id, "both pages used id 1; the bridge sees two ids");

// Replies go back to the page that asked, with its id and ticket; an unknown id is dropped.
bridgeSide.postMessage({jsonrpc: "2.0", id: toBridge[1].id, result: {value: "4.2.0.0"}});
bridgeSide.postMessage({jsonrpc: "2.0", id: 12345, result: {}});
assert.deepEqual(other.replies, [{ticket: 1, message: {jsonrpc: "2.0", id: 1,
                                                       result: {value: "4.2.0.0"}}}]);
assert.deepEqual(bank.replies, []);

// The bridge goes away: the request still waiting fails with a bridge error, naming the reason.
chrome.runtime.lastError = {message: "Specified native messaging host not found."};
bridgeSide.disconnect();
assert.equal(bank.replies.length, 1);
assert.equal(bank.replies[0].ticket, 7);
assert.equal(bank.replies[0].message.error.code, -32000);
assert.match(bank.replies[0].message.error.message, /host not found/);

// The content script: only its own window's channel messages go through; hello gets ready.
{
  const posted = [];
  const listeners = [];
  const window = {
    location: {origin: "https://bank.example"},
    addEventListener: (type, f) => type === "message" && listeners.push(f),
    postMessage: (data, target) => posted.push({data, target}),
  };
  const sent = [];
  let backgroundEnd = null;
  const contentChrome = {runtime: {connect({name}) {
    const [contentEnd, background] = portPair(name);
    backgroundEnd = background;
    background.onMessage.addListener((m) => sent.push(m));
    return contentEnd;
  }}};
  vm.runInNewContext(source("content.js"), {window, chrome: contentChrome});
  const fire = (data, source = window) => listeners.forEach((f) => f({data, source}));
  fire({channel: "kelvadrome", kind: "hello"});
  fire({channel: "kelvadrome", kind: "request", ticket: 3, message: {id: 1, method: "Hash"}},
       {});  // from another window: ignored
  fire({channel: "other", kind: "request", ticket: 3, message: {}});
  fire({channel: "kelvadrome", kind: "request", ticket: "3", message: {}});  // not a ticket
  fire({channel: "kelvadrome", kind: "request", ticket: 4, message: {id: 2, method: "Hash"}});
  assert.deepEqual(plain(posted), [{data: {channel: "kelvadrome", kind: "ready"},
                             target: "https://bank.example"}]);
  assert.deepEqual(plain(sent), [{ticket: 4, message: {id: 2, method: "Hash"}}]);
  backgroundEnd.postMessage({ticket: 4, message: {id: 2, result: {value: "AB"}}});
  assert.deepEqual(plain(posted.at(-1)), {data: {channel: "kelvadrome", kind: "reply", ticket: 4,
                                          message: {id: 2, result: {value: "AB"}}},
                                   target: "https://bank.example"});
}
console.log("extension: all checks passed");
