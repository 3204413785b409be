// kelvadrome.js in a real browser: headless Chromium loads a page from a local web server, and the
// page calls a stand-in bridge on another loopback port over the loopback road, across origins
// (CORS with the session header, preflights). The page reports what it got back to the web server.
//   node chromium_page_test.mjs <chromium>
import assert from "node:assert/strict";
import {spawn} from "node:child_process";
import fs from "node:fs";
import http from "node:http";
import os from "node:os";
import path from "node:path";

const browser = process.argv[2];
const top = new URL("../../", import.meta.url).pathname;

function listen(server) {
  return new Promise((resolve) => server.listen(0, "127.0.0.1", () => resolve(server.address().port)));
}
function readBody(request) {
  return new Promise((resolve) => {
    let body = "";
    request.setEncoding("utf8");
    request.on("data", (chunk) => body += chunk);
    request.on("end", () => resolve(body));
  });
}

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

// The page's web server: the test page and browser/; the page posts its outcome to /result.
let outcome;
const reported = new Promise((resolve) => outcome = resolve);
const site = http.createServer(async (request, response) => {
  const url = new URL(request.url, "http://x");
  if (request.method === "POST" && url.pathname === "/result") {
    outcome(JSON.parse(await readBody(request)));
    response.end();
    return;
  }
  const file = url.pathname === "/" ? path.join(top, "tests/browser/page/index.html")
      : url.pathname.startsWith("/browser/") ? path.join(top, url.pathname) : null;
  if (file === null || !fs.existsSync(file)) {
    response.statusCode = 404;
    response.end();
    return;
  }
  response.setHeader("Content-Type", file.endsWith(".js") ? "text/javascript" : "text/html");
  response.end(fs.readFileSync(file));
});
const sitePort = await listen(site);
pageOrigin = `http://127.0.0.1:${sitePort}`;

const profile = fs.mkdtempSync(path.join(os.tmpdir(), "kelvadrome-chromium-"));
const child = spawn(browser, [
  "--headless=new", "--no-sandbox", "--disable-gpu", "--no-first-run",
  `--user-data-dir=${profile}`, `${pageOrigin}/?bridge=${bridgePort}`,
], {stdio: ["ignore", "ignore", "pipe"], detached: true});
let log = "";
child.stderr.on("data", (chunk) => log += chunk);
const timeout = setTimeout(() => outcome({error: "no report within 60 s", log}), 60000);
const result = await reported;
clearTimeout(timeout);
// The browser and every process it started go together (their own process group).
const exited = new Promise((resolve) => child.on("exit", resolve));
process.kill(-child.pid, "SIGKILL");
await exited;
bridge.close();
site.close();
fs.rmSync(profile, {recursive: true, force: true, maxRetries: 10, retryDelay: 100});

assert.equal(result.error, undefined, JSON.stringify(result));
assert.equal(result.road, "loopback");
assert.equal(result.version, "GetVersion:[]");
assert.equal(result.digest, `Hash:${JSON.stringify(["簽章 \uD83D\uDE00", 3])}`);
assert.equal(result.code, 0);
const methods = calls.filter((c) => c.method).map((c) => [c.method, c.session]);
assert.deepEqual(methods, [["Kelvadrome.open", null], ["GetVersion", "page-session"],
                           ["Hash", "page-session"], ["GetErrorCode", "page-session"],
                           ["Kelvadrome.close", "page-session"]]);
// A JSON body across origins is preflighted; the answer (which names the session header too) is
// cached, so the calls that carry the session need no second one.
assert.ok(calls.some((c) => c.preflight !== undefined && /content-type/i.test(c.preflight)),
          "the browser preflighted the JSON request");
console.log("kelvadrome.js in Chromium: all checks passed");
process.exit(0);
