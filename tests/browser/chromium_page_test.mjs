// kelvadrome.js in a real browser: headless Chromium loads a page from a local web server, and the
// page calls a stand-in bridge on another loopback port over the loopback road, across origins
// (CORS with the session header, preflights). The page reports what it got back to the web server.
//   node chromium_page_test.mjs <chromium>
import assert from "node:assert/strict";
import http from "node:http";

import {listen, readBody, runChromium, startSite} from "./chromium_harness.mjs";

const browser = process.argv[2];

// The stand-in bridge: the JSON-RPC contract, CORS for the page's origin only.
const calls = [];
let pageOrigin = null;
const bridge = http.createServer(async (request, response) => {
  const origin = request.headers.origin;
  if (origin === pageOrigin) {
    response.setHeader("Access-Control-Allow-Origin", origin);
    response.setHeader("Vary", "Origin");
  }
  if (request.method === "OPTIONS") {
    calls.push({preflight: request.headers["access-control-request-headers"] ?? ""});
    response.setHeader("Access-Control-Allow-Methods", "POST");
    response.setHeader("Access-Control-Allow-Headers", "Content-Type, Kelvadrome-Session");
    if (request.headers["access-control-request-private-network"]) {
      response.setHeader("Access-Control-Allow-Private-Network", "true");
    }
    response.end();
    return;
  }
  const message = JSON.parse(await readBody(request));
  calls.push({method: message.method, session: request.headers["kelvadrome-session"] ?? null,
              params: message.params});
  const result = message.method === "Kelvadrome.open" ? {session: "page-session"}
      : message.method === "Kelvadrome.close" ? {}
      : {value: message.method === "GetErrorCode" ? 0 : `${message.method}:${JSON.stringify(message.params)}`,
         errorCode: 0, errorMsg: "成功(0)", capiErrorCode: 0};
  response.setHeader("Content-Type", "application/json");
  response.end(JSON.stringify({jsonrpc: "2.0", id: message.id, result}));
});
const bridgePort = await listen(bridge);

const site = await startSite();
pageOrigin = site.origin;
const result = await runChromium(browser, `${site.origin}/?bridge=${bridgePort}`, site.outcome);
bridge.close();
site.close();

assert.equal(result.error, undefined, JSON.stringify(result));
assert.equal(result.road, "loopback");
assert.equal(result.version, "GetVersion:[]");
assert.equal(result.digest, `Hash:${JSON.stringify(["簽章 \uD83D\uDE00", 3])}`);
assert.equal(result.code, 0);
const methods = calls.filter((c) => c.method).map((c) => [c.method, c.session]);
assert.deepEqual(methods, [["Kelvadrome.open", null], ["GetVersion", "page-session"],
                           ["Hash", "page-session"], ["GetErrorCode", "page-session"],
                           ["RegWriteHKCUStr", "page-session"], ["GetErrorCode", "page-session"],
                           ["Kelvadrome.close", "page-session"]]);
// A JSON body across origins is preflighted; the answer (which names the session header too) is
// cached, so the calls that carry the session need no second one.
assert.ok(calls.some((c) => c.preflight !== undefined && /content-type/i.test(c.preflight)),
          "the browser preflighted the JSON request");
console.log("kelvadrome.js in Chromium: all checks passed");
process.exit(0);
