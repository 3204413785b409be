// What the Chromium tests share: a local web server for the test pages and browser/, to which a
// page posts its outcome, and a headless Chromium on a throwaway profile that goes away with every
// process it started.
import {spawn} from "node:child_process";
import fs from "node:fs";
import http from "node:http";
import https from "node:https";
import os from "node:os";
import path from "node:path";

export const top = new URL("../../", import.meta.url).pathname;

export function listen(server) {
  return new Promise((resolve) => server.listen(0, "127.0.0.1", () => resolve(server.address().port)));
}

export function readBody(request) {
  return new Promise((resolve) => {
    let body = "";
    request.setEncoding("utf8");
    request.on("data", (chunk) => body += chunk);
    request.on("end", () => resolve(body));
  });
}

// Serves tests/browser/page/ at / (index.html for /) and browser/ at /browser/; |outcome| resolves
// with what the page posts to /result. |post| maps further paths to handlers that turn a posted
// body into the answer's body. With |tls| ({key, cert, host}) the site is served over HTTPS, its
// origin named by |host| (which the browser must resolve to 127.0.0.1).
export async function startSite({post = {}, tls} = {}) {
  let settle;
  const outcome = new Promise((resolve) => settle = resolve);
  const serve = async (request, response) => {
    const url = new URL(request.url, "http://x");
    if (request.method === "POST" && url.pathname === "/result") {
      settle(JSON.parse(await readBody(request)));
      response.end();
      return;
    }
    if (request.method === "POST" && Object.hasOwn(post, url.pathname)) {
      response.end(await post[url.pathname](await readBody(request)));
      return;
    }
    const name = url.pathname === "/" ? "tests/browser/page/index.html"
        : url.pathname.startsWith("/browser/") ? url.pathname.slice(1)
        : /^\/[\w-]+\.html$/.test(url.pathname) ? `tests/browser/page${url.pathname}` : null;
    const file = name === null ? null : path.join(top, name);
    if (file === null || !fs.existsSync(file)) {
      response.statusCode = 404;
      response.end();
      return;
    }
    response.setHeader("Content-Type", file.endsWith(".js") ? "text/javascript" : "text/html");
    response.end(fs.readFileSync(file));
  };
  const server = tls ? https.createServer({key: tls.key, cert: tls.cert}, serve)
                     : http.createServer(serve);
  const port = await listen(server);
  const origin = tls ? `https://${tls.host}:${port}` : `http://127.0.0.1:${port}`;
  return {origin, port, outcome, close: () => server.close()};
}

// Runs headless Chromium on |url| with a fresh profile (prepared by |prepare|, given its folder)
// until |outcome| settles or 60 s pass; returns the outcome, or {error} with Chromium's log. What
// |keep| reads from the profile before it is removed is added to the outcome as "journal"; with
// |keepLog| Chromium's log is added as "log" in any case. |policies| are browser policies, given
// as Chromium takes mandatory ones from an administrator (see withPolicies).
export async function runChromium(browser, url, outcome,
                                  {flags = [], prepare, keep, profileDir, keepLog, policies} = {}) {
  const profile = profileDir ?? fs.mkdtempSync(path.join(os.tmpdir(), "kelvadrome-chromium-"));
  fs.mkdirSync(profile, {recursive: true});
  if (prepare) prepare(profile);
  const args = ["--headless=new", "--no-sandbox", "--disable-gpu", "--no-first-run",
                `--user-data-dir=${profile}`, ...flags, url];
  const etc = policies ? withPolicies(policies) : null;
  const child = etc === null
      ? spawn(browser, args, {stdio: ["ignore", "ignore", "pipe"], detached: true})
      : spawn("unshare", ["--map-root-user", "--mount", "sh", "-c",
                          `mount --bind "$0" ${CHROMIUM_ETC} && exec "$@"`, etc, browser, ...args],
              {stdio: ["ignore", "ignore", "pipe"], detached: true});
  let log = "";
  child.stderr.on("data", (chunk) => log += chunk);
  let timer;
  const timeout = new Promise((resolve) => {
    timer = setTimeout(() => resolve({error: "no report within 60 s", log}), 60000);
  });
  const result = await Promise.race([outcome, timeout]);
  clearTimeout(timer);
  // The browser and every process it started go together (their own process group).
  // "close": the log is whole once its pipe is closed too.
  const exited = new Promise((resolve) => child.on("close", resolve));
  process.kill(-child.pid, "SIGKILL");
  await exited;
  if (keep && result.error === undefined) result.journal = keep(profile);
  if (keepLog) result.log = log;
  fs.rmSync(profile, {recursive: true, force: true, maxRetries: 10, retryDelay: 100});
  if (etc !== null) fs.rmSync(etc, {recursive: true, force: true});
  return result;
}

// Chromium reads mandatory policies only from CHROMIUM_ETC/policies/managed (the --policy switch
// is ignored by release builds). The browser runs in a user and mount namespace of its own, where
// a copy of CHROMIUM_ETC with |policies| added is mounted over it: only this browser sees them,
// nothing changes on the system, and no root rights are needed. Returns the copy's folder.
const CHROMIUM_ETC = "/etc/chromium";
function withPolicies(policies) {
  const etc = fs.mkdtempSync(path.join(os.tmpdir(), "kelvadrome-chromium-etc-"));
  fs.cpSync(CHROMIUM_ETC, etc, {recursive: true});
  fs.mkdirSync(path.join(etc, "policies/managed"), {recursive: true});
  fs.writeFileSync(path.join(etc, "policies/managed/kelvadrome-test.json"), JSON.stringify(policies));
  return etc;
}
