// The loopback road in a real browser with the real kelvadrome-bridge, end to end: headless
// Chromium loads a page that enrols (CreatePKCS10, the test's openssl authority issues the
// certificate, AcceptPKCS7), selects the certificate and signs a text with SignPkcs7; the test
// checks the signature with openssl cms -verify and the bridge's log of origins and methods.
//   (a) a page on http://127.0.0.1, allowed by the scripted person;
//   (b) a page on a public HTTPS origin: the browser counts the site's address as public, so
//       reaching the bridge on the loopback address needs Local Network Access, granted by the
//       browser policy LocalNetworkAccessAllowedForUrls; without the policy the browser stops
//       the page's requests before they reach the bridge;
//   (c) a page the scripted person denies: every guarded method reports 1500.
//   node chromium_loopback_test.mjs <chromium> <kelvadrome-bridge> <openssl> [--narrate]
// --narrate (the demo's) also shows the bridge's log, openssl's verdict and the signer.
import assert from "node:assert/strict";
import {execFileSync, spawn, spawnSync} from "node:child_process";
import crypto from "node:crypto";
import fs from "node:fs";
import os from "node:os";
import path from "node:path";

import {runChromium, startSite} from "./chromium_harness.mjs";

const [browser, bridgeProgram, opensslProgram, mode] = process.argv.slice(2);
const narrate = mode === "--narrate";
const work = fs.mkdtempSync(path.join(os.tmpdir(), "kelvadrome-loopback-"));
process.on("exit", () => fs.rmSync(work, {recursive: true, force: true}));
const file = (name) => path.join(work, name);
const openssl = (...args) => execFileSync(opensslProgram, args, {stdio: ["ignore", "pipe", "pipe"]});
const GUARDED = ["CreatePKCS10", "AcceptPKCS7", "SelectSigner", "SignPkcs7"];
// What the page signs: characters beyond ASCII and beyond the BMP. The component signs its UTF-16LE
// code units.
const TEXT = "簽章 ✓ \u{1F600} page";
const PUBLIC_HOST = "sign.example.test";

// The test's authority: one root, which issues the HTTPS site's certificate and the page's.
fs.writeFileSync(file("ext.cnf"),
                 "[site]\nsubjectAltName=DNS:" + PUBLIC_HOST + "\nextendedKeyUsage=serverAuth\n" +
                 "[signer]\nkeyUsage=critical,digitalSignature,nonRepudiation\n");
openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", file("ca.key"), "-out",
        file("ca.pem"), "-subj", "/CN=Loopback Test Root", "-days", "2",
        "-addext", "basicConstraints=critical,CA:true", "-addext", "keyUsage=critical,keyCertSign");
let serial = 1;
// Issue signs |requestPem| with the root; |section| of ext.cnf gives the extensions.
function issue(requestPem, section) {
  fs.writeFileSync(file("request.pem"), requestPem);
  return openssl("x509", "-req", "-in", file("request.pem"), "-CA", file("ca.pem"), "-CAkey",
                 file("ca.key"), "-set_serial", String(++serial), "-days", "1", "-sha256",
                 "-extfile", file("ext.cnf"), "-extensions", section).toString();
}
openssl("req", "-new", "-newkey", "rsa:2048", "-nodes", "-keyout", file("site.key"), "-out",
        file("site.csr"), "-subj", `/CN=${PUBLIC_HOST}`);
const tls = {key: fs.readFileSync(file("site.key")),
             cert: issue(fs.readFileSync(file("site.csr"), "utf8"), "site"), host: PUBLIC_HOST};
// The browser takes the site's key as trusted by its SPKI hash: no system trust store changes.
const spki = crypto.createHash("sha256").update(
    new crypto.X509Certificate(tls.cert).publicKey.export({type: "spki", format: "der"}))
    .digest("base64");

// The authority's answer to the page: a PKCS #7 bundle of the issued certificate and the root, as
// one line of Base64 DER. A page without a request (a denied one) gets the root alone, so that
// AcceptPKCS7 still has an answer to refuse.
function answer(request) {
  const certificates = [file("ca.pem")];
  if (request !== "") {
    const pem = `-----BEGIN CERTIFICATE REQUEST-----\n${request.match(/.{1,64}/g).join("\n")}\n` +
                "-----END CERTIFICATE REQUEST-----\n";
    fs.writeFileSync(file("issued.pem"), issue(pem, "signer"));
    certificates.unshift(file("issued.pem"));
  }
  return openssl("crl2pkcs7", "-nocrl", "-outform", "DER",
                 ...certificates.flatMap((name) => ["-certfile", name])).toString("base64");
}

// Starts kelvadrome-bridge on the loopback road with a throwaway profile and a scripted person
// who answers the consent dialog with |click|; resolves once it names its port.
async function startBridge(folder, click) {
  fs.mkdirSync(folder);
  fs.writeFileSync(path.join(folder, "script"), `expect consent\nclick ${click}\n`);
  const child = spawn(bridgeProgram, ["--listen", "127.0.0.1:0"], {
    env: {...process.env, KELVADROME_PROFILE: path.join(folder, "profile"),
          KELVADROME_MACHINE_PROFILE: path.join(folder, "machine"),
          KELVADROME_DIALOGS: `script:${path.join(folder, "script")}`,
          KELVADROME_DIALOG_LOG: path.join(folder, "dialogs.log")},
    stdio: ["ignore", "pipe", "pipe"]});
  process.on("exit", () => child.kill());  // also when a check fails
  let log = "";
  child.stderr.setEncoding("utf8");
  child.stderr.on("data", (chunk) => log += chunk);
  const port = await new Promise((resolve, reject) => {
    let first = "";
    child.stdout.setEncoding("utf8");
    child.stdout.on("data", (chunk) => {
      first += chunk;
      const named = /^listening on 127\.0\.0\.1:(\d+)\n/.exec(first);
      if (named) resolve(Number(named[1]));
    });
    child.on("exit", (status) => reject(new Error(`the bridge ended (${status}): ${log}`)));
  });
  const exited = new Promise((resolve) => child.on("exit", resolve));
  return {port, log: () => log,
          dialogs: () => fs.readFileSync(path.join(folder, "dialogs.log"), "utf8"),
          stop: () => (child.kill(), exited)};
}

// |codes| is what every guarded method reports; none when the browser keeps the page from the
// bridge altogether.
const CASES = [
  {name: "(a) a page on http://127.0.0.1, allowed", click: 1, codes: 0},
  {name: "(b) a page on a public HTTPS origin, allowed, network access granted by policy",
   click: 1, codes: 0, public: true, policy: true},
  {name: "(c) a page the person denies", click: 2, codes: 1500},
  {name: "(b') the public page without the policy", click: 1, public: true},
];

for (const [index, test] of CASES.entries()) {
  const started = Date.now();
  const bridge = await startBridge(file(`bridge-${index}`), test.click);
  const site = await startSite({post: {"/issue": answer}, tls: test.public ? tls : undefined});
  const flags = [];
  if (test.public) {
    flags.push(`--host-resolver-rules=MAP ${PUBLIC_HOST} 127.0.0.1`,
               `--ignore-certificate-errors-spki-list=${spki}`,
               // The site's address counts as public; the bridge's stays loopback.
               `--ip-address-space-overrides=127.0.0.1:${site.port}=public`,
               "--enable-logging=stderr");
  }
  const policies = test.policy ? {LocalNetworkAccessAllowedForUrls: [site.origin]} : undefined;
  const name = `Page ${index} 憑證`;
  const query = new URLSearchParams({bridge: bridge.port, name, text: TEXT});
  const result = await runChromium(browser, `${site.origin}/sign.html?${query}`, site.outcome,
                                   {flags, policies, keepLog: test.public});
  site.close();
  await bridge.stop();
  const {log: browserLog, ...outcome} = result;
  const context = `${test.name}: ${JSON.stringify(outcome).slice(0, 2000)}\nbridge log:\n` +
                  bridge.log();
  console.log(`${test.name}: ${Date.now() - started} ms`);
  // What the browser said about the page's access to the loopback address.
  for (const line of (browserLog ?? "").match(/^.*address space.*$/gm) ?? []) {
    console.log(`  browser: ${line.replace(/^.*CONSOLE[^"]*"/, "\"").slice(0, 200)}`);
  }

  if (test.codes === undefined) {
    // The browser refused the request to the loopback address: the bridge saw no call at all.
    assert.equal(result.code, -32000, context);
    assert.equal(bridge.log(), "", context);
    continue;
  }
  assert.equal(result.error, undefined, context);
  assert.equal(result.road, "loopback", context);
  assert.deepEqual(result.codes, Object.fromEntries(GUARDED.map((m) => [m, test.codes])), context);
  // Consent was asked about the page's origin, and the bridge logged each call with it.
  assert.match(bridge.dialogs(), new RegExp(`show consent .*\\n(.*\\n)*field 501 ${site.origin}\\n`),
               context);
  for (const method of GUARDED) {
    assert.ok(bridge.log().includes(`${site.origin} ${method} ${test.codes}\n`),
              `${context}\nno log line for ${method}`);
  }
  if (test.codes !== 0) {
    assert.equal(result.signature, "", context);
    continue;
  }
  // The signature verifies against the test's root and carries the page's text as UTF-16LE.
  fs.writeFileSync(file("signature.der"), Buffer.from(result.signature, "base64"));
  const verified = spawnSync(opensslProgram, [
    "cms", "-verify", "-binary", "-purpose", "any", "-inform", "DER", "-in", file("signature.der"),
    "-CAfile", file("ca.pem"), "-out", file("content.bin")], {encoding: "utf8"});
  assert.equal(verified.status, 0, `${context}\n${verified.stderr}`);
  assert.deepEqual(fs.readFileSync(file("content.bin")), Buffer.from(TEXT, "utf16le"), context);
  // The signer is the certificate the authority issued for this page's request.
  const carried = openssl("pkcs7", "-inform", "DER", "-in", file("signature.der"), "-print_certs");
  assert.ok(carried.toString().includes(fs.readFileSync(file("issued.pem"), "utf8")), context);
  if (narrate) {
    for (const line of bridge.log().trim().split("\n")) console.log(`  bridge log: ${line}`);
    console.log(`  openssl cms -verify: ${verified.stderr.trim()}; signed content: ` +
                JSON.stringify(fs.readFileSync(file("content.bin")).toString("utf16le")));
    console.log(`  signer: ${openssl("x509", "-in", file("issued.pem"), "-noout", "-subject",
                                     "-nameopt", "utf8").toString().trim()}`);
  }
}
console.log("the loopback road in Chromium with kelvadrome-bridge: all checks passed");
process.exit(0);
