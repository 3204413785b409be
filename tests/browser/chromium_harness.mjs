// What the Chromium tests share: a local web server for the test page and browser/, to which the
// page posts its outcome, and a headless Chromium on a throwaway profile that goes away with every
// process it started.
import {spawn} from "node:child_process";
import fs from "node:fs";
import http from "node:http";
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

// Serves tests/browser/page/ at / and browser/ at /browser/; |outcome| resolves with what the
// page posts to /result.
export async function startSite() {
  let settle;
  const outcome = new Promise((resolve) => settle = resolve);
  const server = http.createServer(async (request, response) => {
    const url = new URL(request.url, "http://x");
    if (request.method === "POST" && url.pathname === "/result") {
      settle(JSON.parse(await readBody(request)));
      response.end();
      return;
    }
    const name = url.pathname === "/" ? "tests/browser/page/index.html"
        : url.pathname.startsWith("/browser/") ? url.pathname.slice(1) : null;
    const file = name === null ? null : path.join(top, name);
    if (file === null || !fs.existsSync(file)) {
      response.statusCode = 404;
      response.end();
      return;
    }
    response.setHeader("Content-Type", file.endsWith(".js") ? "text/javascript" : "text/html");
    response.end(fs.readFileSync(file));
  });
  const port = await listen(server);
  return {origin: `http://127.0.0.1:${port}`, outcome, close: () => server.close()};
}

// Runs headless Chromium on |url| with a fresh profile (prepared by |prepare|, given its folder)
// until |outcome| settles or 60 s pass; returns the outcome, or {error} with Chromium's log. What
// |keep| reads from the profile before it is removed is added to the outcome as "journal".
export async function runChromium(browser, url, outcome, {flags = [], prepare, keep, profileDir} = {}) {
  const profile = profileDir ?? fs.mkdtempSync(path.join(os.tmpdir(), "kelvadrome-chromium-"));
  fs.mkdirSync(profile, {recursive: true});
  if (prepare) prepare(profile);
  const child = spawn(browser, ["--headless=new", "--no-sandbox", "--disable-gpu", "--no-first-run",
                                `--user-data-dir=${profile}`, ...flags, url],
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
  const exited = new Promise((resolve) => child.on("exit", resolve));
  process.kill(-child.pid, "SIGKILL");
  await exited;
  if (keep && result.error === undefined) result.journal = keep(profile);
  fs.rmSync(profile, {recursive: true, force: true, maxRetries: 10, retryDelay: 100});
  return result;
}
