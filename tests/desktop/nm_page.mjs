// The bank's demo page in a visible Chromium window on the current X display: the extension and
// veriquill-nm with real Qt windows (VERIQUILL_NM_UI=qt comes from the environment). The X driver
// (desktop_x11.py) answers the windows; this script only works the page and reports, one JSON
// object per line on stdout:
//   {"event":"signing","language":N}        Sign has been called; its dialog is about to open
//   {"event":"result","order":HEX,"result":STRING}
//   {"event":"error","message":STRING}
// Usage: node nm_page.mjs BUILD_DIR WORK_DIR CONFIG_JSON
import { createRequire } from "node:module";
import { spawn, execFileSync } from "node:child_process";
import { mkdirSync, writeFileSync } from "node:fs";
import path from "node:path";
import { fileURLToPath } from "node:url";

const here = path.dirname(fileURLToPath(import.meta.url));
const source = path.resolve(here, "../..");
const { chromium } = createRequire(path.join(source, "hosts/browser/package.json"))("playwright-core");
const [build, work, config] = process.argv.slice(2).map((p) => path.resolve(p));
const EXTENSION_ID = "jjnhdbfhfgjpiajpomnpebcebdncpmnf";
const say = (o) => process.stdout.write(`${JSON.stringify(o)}\n`);
const timer = setTimeout(() => {
  say({ event: "error", message: "the page did not finish within 100 s" });
  process.exit(1);
}, 100000);

const cert = path.join(work, "tls.pem");
const certKey = path.join(work, "tls-key.pem");
execFileSync("openssl", ["req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", certKey, "-out", cert,
  "-days", "2", "-subj", "/CN=localhost", "-addext", "subjectAltName=DNS:localhost"], { stdio: "ignore" });
const server = spawn(process.execPath, [path.join(source, "hosts/browser/demo/serve.mjs"), "--cert", cert,
  "--key", certKey, "--port", "0", "--host", "127.0.0.1", "--config", config],
{ stdio: ["ignore", "pipe", "inherit"] });
let context;
try {
  const port = await new Promise((resolve, reject) => {
    let out = "";
    server.stdout.on("data", (d) => {
      out += d;
      const m = /listening (\d+)/.exec(out);
      if (m) resolve(Number(m[1]));
    });
    server.on("exit", () => reject(new Error("the page server did not start")));
  });
  const origin = `https://localhost:${port}`;
  execFileSync(path.join(build, "hosts/veriquill/veriquill"),
    ["reg", "set", "HKLM\\SOFTWARE\\Brantwell\\Veriquill", "AllowedOrigins", "--multi", origin]);

  const profile = path.join(work, "profile");
  mkdirSync(path.join(profile, "NativeMessagingHosts"), { recursive: true });
  writeFileSync(path.join(profile, "NativeMessagingHosts", "com.brantwell.veriquill.json"), JSON.stringify({
    name: "com.brantwell.veriquill", description: "Veriquill signing component",
    path: path.join(build, "hosts/nm/veriquill-nm"), type: "stdio",
    allowed_origins: [`chrome-extension://${EXTENSION_ID}/`] }));
  const extension = path.join(source, "hosts/browser/extension");
  context = await chromium.launchPersistentContext(profile, {
    executablePath: process.env.VQ_CHROMIUM ?? "/usr/bin/chromium",
    headless: false,
    env: process.env,
    ignoreHTTPSErrors: true,
    ignoreDefaultArgs: ["--disable-extensions"],
    timeout: 30000,
    viewport: null,
    args: [
      `--disable-extensions-except=${extension}`, `--load-extension=${extension}`,
      "--no-sandbox", "--disable-gpu", "--disable-background-networking", "--disable-component-update",
      "--no-first-run", "--ignore-certificate-errors", "--window-position=0,0", "--window-size=1000,760",
      "--disable-features=DisableLoadExtensionCommandLineSwitch",
    ],
  });
  const page = context.pages()[0] ?? (await context.newPage());
  await page.goto(`${origin}/`);
  await page.waitForFunction(() => document.body.dataset.ready === "1", null, { timeout: 20000 });
  // The user declares the key with the page's own button; the page shows what the control said.
  await page.click("#declare");
  await page.waitForFunction(() => /SetKey: 0, SetKeyLocation: 0/.test(document.getElementById("keys-out").textContent),
    null, { timeout: 20000 });
  const language = await page.evaluate(() => Number(document.getElementById("language").value));
  say({ event: "signing", language });
  const r = await page.evaluate(async () => {
    const order = demo.orderHex();
    const c = demo.ctrl;
    const keyId = (await fetch("demo-config.json").then((x) => x.json())).keyId;
    const result = await c.Sign(`|${keyId}|`, keyId, order);
    document.getElementById("sign-out").textContent = result;
    return { order, result };
  });
  say({ event: "result", ...r });
} catch (e) {
  say({ event: "error", message: e.message.split("\n")[0] });
  process.exitCode = 1;
} finally {
  clearTimeout(timer);
  await context?.close().catch(() => {});
  server.kill();
}
