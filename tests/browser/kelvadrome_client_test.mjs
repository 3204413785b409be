// The page's client library against stand-in bridges speaking the JSON-RPC contract: the loopback
// road over real HTTP, the extension road through window messages. Run: node <this file>.
import assert from "node:assert/strict";
import http from "node:http";

const {Kelvadrome, KelvadromeBridgeError} = await import("../../browser/kelvadrome.js");
const {METHODS} = await import("../../browser/kelvadrome-methods.js");

// What a stand-in bridge answers; |seen| records every request with its session.
function answer(message, session, seen) {
  seen.push({message, session});
  const ok = (value, errorCode = 0) => ({
    jsonrpc: "2.0", id: message.id,
    result: {value, errorCode, errorMsg: errorCode === 0 ? "成功(0)" : "錯誤的參數(5005)",
             capiErrorCode: 0},
  });
  switch (message.method) {
    case "Kelvadrome.open": return {jsonrpc: "2.0", id: message.id, result: {session: "s-1"}};
    case "Kelvadrome.close": return {jsonrpc: "2.0", id: message.id, result: {}};
    case "Hash": return ok(`HASH:${message.params[0]}:${message.params[1]}`);
    case "GetErrorCode": return ok(5005);
    default:
      return {jsonrpc: "2.0", id: message.id, error: {code: -32601, message: "method not found"}};
  }
}

// The loopback road.
{
  const seen = [];
  const server = http.createServer((request, response) => {
    let body = "";
    request.setEncoding("utf8");
    request.on("data", (chunk) => body += chunk);
    request.on("end", () => {
      assert.equal(request.method, "POST");
      assert.equal(request.url, "/rpc");
      const reply = answer(JSON.parse(body), request.headers["kelvadrome-session"] ?? null, seen);
      response.setHeader("Content-Type", "application/json");
      response.end(JSON.stringify(reply));
    });
  });
  await new Promise((resolve) => server.listen(0, "127.0.0.1", resolve));
  const port = server.address().port;

  const capi = await Kelvadrome.create({road: "loopback", port});
  assert.equal(capi.road, "loopback");
  assert.deepEqual(Object.keys(capi).filter((key) => key !== "road" && key !== "close"),
                   METHODS.map((method) => method.name), "every method, in table order");
  assert.equal(METHODS.length, 63);

  // Texts travel as they are, an unpaired surrogate included; the session goes with every call.
  assert.equal(await capi.Hash("a\uD800b 簽", 3), "HASH:a\uD800b 簽:3");
  assert.equal(await capi.GetErrorCode(), 5005);
  assert.deepEqual(seen.map((s) => [s.message.method, s.session]),
                   [["Kelvadrome.open", null], ["Hash", "s-1"], ["GetErrorCode", "s-1"]]);
  assert.deepEqual(seen.map((s) => s.message.id), [1, 2, 3], "ids count up");
  assert.deepEqual(seen[1].message.params, ["a\uD800b 簽", 3]);

  // Calls the automation object could not take are refused before they leave the page.
  for (const [args, why] of [[["abc"], "too few"], [["abc", 0, 1], "too many"],
                              [[5, 0], "a number for a text"], [["abc", "0"], "a text for a number"],
                              [["abc", 1.5], "a fraction"], [["abc", 2 ** 31], "beyond 32 bits"]]) {
    await assert.rejects(capi.Hash(...args), (error) => error instanceof KelvadromeBridgeError &&
                         error.code === -32602, why);
  }
  assert.equal(seen.length, 3, "nothing sent for a refused call");

  // A fault of the bridge becomes an exception with its JSON-RPC code.
  await assert.rejects(capi.SignPkcs7("x", 0), (error) => error.code === -32601);
  await capi.close();
  assert.deepEqual(seen.at(-1).message.method, "Kelvadrome.close");
  assert.equal(seen.at(-1).session, "s-1");
  server.close();

  // Nobody listening: a bridge error that says where it looked.
  await assert.rejects(Kelvadrome.create({road: "loopback", port}),
                       (error) => error.code === -32000 && error.message.includes(`:${port}/rpc`));
}

// The extension road: a stand-in content script answers the library's window messages.
{
  const seen = [];
  const page = new EventTarget();
  const deliver = (data) => {
    const event = new Event("message");
    Object.assign(event, {data, source: page});
    page.dispatchEvent(event);
  };
  page.postMessage = (data) => {
    if (data.channel !== "kelvadrome") return;
    queueMicrotask(() => {
      if (data.kind === "hello") deliver({channel: "kelvadrome", kind: "ready"});
      if (data.kind === "request") {
        deliver({channel: "kelvadrome", kind: "reply", ticket: data.ticket,
                 message: answer(data.message, data.message.session ?? null, seen)});
      }
    });
  };
  globalThis.window = page;
  const capi = await Kelvadrome.create();
  assert.equal(capi.road, "extension", "the extension answered, so it is used");
  assert.equal(await capi.Hash("x", 0), "HASH:x:0");
  assert.deepEqual(seen.map((s) => [s.message.method, s.session]),
                   [["Kelvadrome.open", null], ["Hash", "s-1"]]);
  // A reply for another ticket, or from another window, is not taken for this call's.
  deliver({channel: "kelvadrome", kind: "reply", ticket: 999, message: {}});
  assert.equal(await capi.GetErrorCode(), 5005);

  // Without an answering extension the loopback road is taken (nobody listens: refused).
  page.postMessage = () => {};
  await assert.rejects(Kelvadrome.create({extensionTimeoutMs: 50, port: 9}),
                       (error) => error.code === -32000);
  delete globalThis.window;
}
console.log("kelvadrome.js: all checks passed");
