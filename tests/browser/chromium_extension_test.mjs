// The extension road in a real browser, end to end: headless Chromium with the unpacked
// extension and the host manifest `kelvadrome bridge install-manifests` writes for the user, naming
// the real kelvadrome-bridge. The page's kelvadrome.js finds the extension, its calls reach the
// bridge, the person (a scripted user) is asked about the page's origin, and the answers come back.
// Once allowed, then once denied (error 1500 for a method a refused page may not use).
//   node chromium_extension_test.mjs <chromium> <kelvadrome command> <kelvadrome-bridge>
import assert from "node:assert/strict";
import {execFileSync} from "node:child_process";
import crypto from "node:crypto";
import fs from "node:fs";
import os from "node:os";
import path from "node:path";

import {runChromium, startSite, top} from "./chromium_harness.mjs";

const [browser, command, bridgeProgram] = process.argv.slice(2);
const extension = path.join(top, "browser/extension");
// The extension's id comes from the public key in its manifest: the first 32 hex digits of the
// key's SHA-256, as letters a-p. The host manifests the bridge installs name this id.
const key = JSON.parse(fs.readFileSync(path.join(extension, "manifest.json"), "utf8")).key;
const id = [...crypto.createHash("sha256").update(Buffer.from(key, "base64")).digest("hex")
                .slice(0, 32)]
    .map((digit) => String.fromCharCode(97 + parseInt(digit, 16))).join("");
assert.equal(id, "bonjecimildmmljjofiladbpekmdhnio");

// Runs the page once with a home of its own, where the user's Chromium folder is the browser's
// profile (Chromium reads the user's host manifests there) and the bridge's profile and scripted
// user live. |answer| is the scripted person's click in the consent dialog.
async function visit(answer) {
  const home = fs.mkdtempSync(path.join(os.tmpdir(), "kelvadrome-home-"));
  const profileDir = path.join(home, ".config/chromium");
  const env = {...process.env, HOME: home, KELVADROME_PROFILE: path.join(home, "component"),
               KELVADROME_MACHINE_PROFILE: path.join(home, "machine")};
  fs.writeFileSync(path.join(home, "script"), `expect consent\nclick ${answer}\n`);
  const host = path.join(home, "host.sh");
  // The browser starts the host with its own environment: the wrapper gives the bridge its
  // profile and scripted user.
  fs.writeFileSync(host, "#!/bin/sh\n" +
      `export KELVADROME_PROFILE="${env.KELVADROME_PROFILE}"\n` +
      `export KELVADROME_MACHINE_PROFILE="${env.KELVADROME_MACHINE_PROFILE}"\n` +
      `export KELVADROME_DIALOGS="script:${path.join(home, "script")}"\n` +
      `export KELVADROME_DIALOG_LOG="${path.join(home, "dialogs.log")}"\n` +
      `exec "${bridgeProgram}"\n`);
  fs.chmodSync(host, 0o700);
  execFileSync(command, ["bridge", "install-manifests", "user", host], {env});
  const manifest = JSON.parse(fs.readFileSync(
      path.join(profileDir, "NativeMessagingHosts/org.kelvadrome.bridge.json"), "utf8"));
  assert.deepEqual(manifest.allowed_origins, [`chrome-extension://${id}/`]);
  const expected = execFileSync(command, ["call", "Hash", "簽章 \uD83D\uDE00", "3"], {env})
      .toString().trim();

  const site = await startSite();
  const result = await runChromium(browser, `${site.origin}/?bridge=9&wait=10000`, site.outcome, {
    flags: [`--load-extension=${extension}`],
    profileDir,
    keep: () => fs.readFileSync(path.join(home, "dialogs.log"), "utf8"),
  });
  site.close();
  fs.rmSync(home, {recursive: true, force: true, maxRetries: 10, retryDelay: 100});
  return {result, origin: site.origin, expected};
}

for (const [answer, stored] of [[1, 0], [2, 1500]]) {
  const {result, origin, expected} = await visit(answer);
  assert.equal(result.error, undefined, JSON.stringify(result).slice(0, 4000));
  assert.equal(result.road, "extension");
  assert.equal(result.version, "4.2.0.0");
  assert.equal(result.digest, expected, "the text reached the component unchanged");
  assert.equal(result.code, 0);
  assert.equal(result.stored, stored, `consent answered with click ${answer}`);
  assert.match(result.journal, new RegExp(`show consent .*\\n(.*\\n)*field 501 ${origin}\\n`),
               "the person was asked about the page's origin");
}
console.log("the extension road in Chromium: all checks passed");
process.exit(0);
