// The extension road in a real browser: headless Chromium with the unpacked extension and the host
// manifest `kelvadrome bridge install-manifests` writes for the user, naming a stand-in native
// host. The page's kelvadrome.js finds the
// extension, the content script and background script carry its calls to the host, and the host
// sees the page's origin as the browser reported it.
//   node chromium_extension_test.mjs <chromium> <kelvadrome command>
import assert from "node:assert/strict";
import {execFileSync} from "node:child_process";
import crypto from "node:crypto";
import fs from "node:fs";
import os from "node:os";
import path from "node:path";

import {runChromium, startSite, top} from "./chromium_harness.mjs";

const [browser, command] = process.argv.slice(2);
const extension = path.join(top, "browser/extension");
// The extension's id comes from the public key in its manifest: the first 32 hex digits of the
// key's SHA-256, as letters a-p. The host manifests the bridge installs name this id.
const key = JSON.parse(fs.readFileSync(path.join(extension, "manifest.json"), "utf8")).key;
const id = [...crypto.createHash("sha256").update(Buffer.from(key, "base64")).digest("hex")
                .slice(0, 32)]
    .map((digit) => String.fromCharCode(97 + parseInt(digit, 16))).join("");
assert.equal(id, "bonjecimildmmljjofiladbpekmdhnio");

// A home of its own: the user's Chromium folder there is the browser's profile, where it reads the
// user's host manifests.
const home = fs.mkdtempSync(path.join(os.tmpdir(), "kelvadrome-home-"));
const profileDir = path.join(home, ".config/chromium");
const journal = path.join(home, "host-journal");
const host = path.join(home, "host.sh");
fs.writeFileSync(host, `#!/bin/sh\nexec "${process.execPath}" ` +
                       `"${path.join(top, "tests/browser/stand_in_native_host.mjs")}" "${journal}"\n`);
fs.chmodSync(host, 0o700);
execFileSync(command, ["bridge", "install-manifests", "user", host], {env: {...process.env, HOME: home}});
const manifest = JSON.parse(fs.readFileSync(
    path.join(profileDir, "NativeMessagingHosts/org.kelvadrome.bridge.json"), "utf8"));
assert.deepEqual(manifest.allowed_origins, [`chrome-extension://${id}/`]);

const site = await startSite();
const result = await runChromium(browser, `${site.origin}/?bridge=9&wait=10000`, site.outcome, {
  flags: [`--load-extension=${extension}`],
  profileDir,
  keep: () => fs.readFileSync(journal, "utf8"),
});
site.close();
fs.rmSync(home, {recursive: true, force: true, maxRetries: 10, retryDelay: 100});

assert.equal(result.error, undefined, JSON.stringify(result).slice(0, 4000));
assert.equal(result.road, "extension");
assert.equal(result.version, `GetVersion for ${site.origin}`);
assert.equal(result.digest, `Hash for ${site.origin}`);
assert.equal(result.code, 0);
const requests = result.journal.trim().split("\n").map((line) => JSON.parse(line));
assert.deepEqual(requests.map((r) => [r.method, r.session ?? null, r.origin]),
                 [["Kelvadrome.open", null, site.origin],
                  ["GetVersion", "native-session", site.origin],
                  ["Hash", "native-session", site.origin],
                  ["GetErrorCode", "native-session", site.origin],
                  ["Kelvadrome.close", "native-session", site.origin]]);
assert.deepEqual(requests[2].params, ["簽章 \uD83D\uDE00", 3]);
console.log("the extension road in Chromium: all checks passed");
process.exit(0);
