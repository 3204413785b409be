// The extension road in a real browser: headless Chromium with the unpacked extension and a host
// manifest in its profile naming a stand-in native host. The page's kelvadrome.js finds the
// extension, the content script and background script carry its calls to the host, and the host
// sees the page's origin as the browser reported it.
//   node chromium_extension_test.mjs <chromium>
import assert from "node:assert/strict";
import crypto from "node:crypto";
import fs from "node:fs";
import path from "node:path";

import {runChromium, startSite, top} from "./chromium_harness.mjs";

const browser = process.argv[2];
const extension = path.join(top, "browser/extension");
// An unpacked extension's id: the first 32 hex digits of the SHA-256 of its path, as a-p.
const id = [...crypto.createHash("sha256").update(extension).digest("hex").slice(0, 32)]
    .map((digit) => String.fromCharCode(97 + parseInt(digit, 16))).join("");

const site = await startSite();
let journal;
const result = await runChromium(browser, `${site.origin}/?bridge=9&wait=10000`, site.outcome, {
  flags: [`--load-extension=${extension}`],
  prepare(profile) {
    journal = path.join(profile, "host-journal");
    const host = path.join(profile, "host.sh");
    fs.writeFileSync(host, `#!/bin/sh\nexec "${process.execPath}" ` +
                           `"${path.join(top, "tests/browser/stand_in_native_host.mjs")}" "${journal}"\n`);
    fs.chmodSync(host, 0o700);
    // Chromium looks for a user's host manifests in its profile folder.
    fs.mkdirSync(path.join(profile, "NativeMessagingHosts"));
    fs.writeFileSync(path.join(profile, "NativeMessagingHosts/org.kelvadrome.bridge.json"),
                     JSON.stringify({name: "org.kelvadrome.bridge", description: "stand-in",
                                     path: host, type: "stdio",
                                     allowed_origins: [`chrome-extension://${id}/`]}));
  },
  keep: (profile) => fs.readFileSync(path.join(profile, "host-journal"), "utf8"),
});
site.close();

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
