// End-to-end test in a real browser: Chromium loads the Veriquill extension, opens the demo bank
// page over https on localhost, and the page drives the component through veriquill-nm.
// Usage: node e2e.mjs BUILD_DIR   (exit 0 all passed, 1 a check failed, 77 Chromium cannot start)
import { createRequire } from "node:module";
import { createVerify } from "node:crypto";
import { spawn, execFileSync } from "node:child_process";
import { mkdtempSync, writeFileSync, readFileSync, mkdirSync, rmSync, existsSync } from "node:fs";
import { tmpdir } from "node:os";
import path from "node:path";
import { fileURLToPath } from "node:url";

const SKIP = 77;
const here = path.dirname(fileURLToPath(import.meta.url));
const source = path.resolve(here, "../..");
// playwright-core is installed with the browser parts' package (hosts/browser/package.json).
const { chromium } = createRequire(path.join(source, "hosts/browser/package.json"))("playwright-core");
const build = path.resolve(process.argv[2] ?? path.join(source, "build/plain"));
const host = path.join(build, "hosts/nm/veriquill-nm");
const tool = path.join(build, "hosts/veriquill/veriquill");
const keytool = path.join(build, "hosts/keytool/veriquill-keytool");
const chromiumPath = process.env.VQ_CHROMIUM ?? "/usr/bin/chromium";
const EXTENSION_ID = "jjnhdbfhfgjpiajpomnpebcebdncpmnf";
const work = mkdtempSync(path.join(tmpdir(), "vq-e2e-"));
const log = path.join(work, "host.log");
const uiScript = path.join(work, "ui.txt");

let passed = 0;
let failed = 0;
function check(name, ok, detail = "") {
  if (ok) passed++;
  else failed++;
  console.log(`${ok ? "ok  " : "FAIL"} ${name}${ok || !detail ? "" : `: ${detail}`}`);
}
function run(cmd, args, opts = {}) {
  return execFileSync(cmd, args, { encoding: "utf8", ...opts });
}
const hex = (s) => Buffer.from(s, "latin1").toString("hex").toUpperCase();

// --- the machine: certificate, registry, key file ---------------------------------------------
const cert = path.join(work, "cert.pem");
const certKey = path.join(work, "cert-key.pem");
run("openssl", ["req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", certKey, "-out", cert,
  "-days", "2", "-subj", "/CN=localhost", "-addext", "subjectAltName=DNS:localhost,IP:127.0.0.1"],
  { stdio: "ignore" });
const env = { ...process.env, VERIQUILL_HKLM: path.join(work, "machine.reg"),
  VERIQUILL_HKCU: path.join(work, "user.reg"), VERIQUILL_NM_LOG: log,
  VERIQUILL_NM_UI: `script:${uiScript}`, QT_QPA_PLATFORM: "offscreen" };
delete env.VERIQUILL_ANSI_CODEPAGE;

const pem = path.join(work, "user.pem");
const keyFile = path.join(work, "firma.prv");
run("openssl", ["genrsa", "-out", pem, "1024"], { stdio: "ignore" });
run("openssl", ["rsa", "-in", pem, "-pubout", "-out", path.join(work, "user.pub.pem")], { stdio: "ignore" });
const password = "Tajne-2026";
const fingerprint = run(keytool, ["create", pem, keyFile], { input: `${password}\n` }).trim();
writeFileSync(path.join(work, "demo-config.json"),
  JSON.stringify({ keyId: fingerprint, keyName: "Firma Łódź", keyPath: keyFile }));

// --- the page server ----------------------------------------------------------------------------
const server = spawn(process.execPath, [path.join(source, "hosts/browser/demo/serve.mjs"), "--cert", cert,
  "--key", certKey, "--port", "0", "--host", "127.0.0.1", "--config", path.join(work, "demo-config.json"),
  "--extra", path.join(here, "fixtures")],
  { stdio: ["ignore", "pipe", "inherit"] });
const port = await new Promise((resolve, reject) => {
  let out = "";
  server.stdout.on("data", (d) => {
    out += d;
    const m = /listening (\d+)/.exec(out);
    if (m) resolve(Number(m[1]));
  });
  server.on("exit", () => reject(new Error("the page server did not start")));
});
const allowed = `https://localhost:${port}`;
const refused = `https://127.0.0.1:${port}`;
// Each host process reads the scripted user's answers when it starts: empty unless a check
// needs a dialog answered.
writeFileSync(uiScript, "");
for (const args of [
  ["reg", "set", "HKLM\\SOFTWARE\\Brantwell\\Veriquill", "AllowedOrigins", "--multi", allowed],
  ["reg", "set", "HKLM\\SOFTWARE\\Brantwell\\SmartCard\\Components", "GemPCKey USB", "1"],
  ["reg", "set", "HKLM\\SOFTWARE\\Brantwell\\SmartCard\\Components", "GemPCTwin USB", "1"],
]) run(tool, args, { env });

// --- the browser --------------------------------------------------------------------------------
const profile = path.join(work, "profile");
mkdirSync(path.join(profile, "NativeMessagingHosts"), { recursive: true });
writeFileSync(path.join(profile, "NativeMessagingHosts", "com.brantwell.veriquill.json"), JSON.stringify({
  name: "com.brantwell.veriquill", description: "Veriquill signing component", path: host,
  type: "stdio", allowed_origins: [`chrome-extension://${EXTENSION_ID}/`] }));
const extension = path.join(source, "hosts/browser/extension");

let context;
try {
  context = await chromium.launchPersistentContext(profile, {
    executablePath: chromiumPath,
    headless: true,
    env,
    ignoreHTTPSErrors: true,
    ignoreDefaultArgs: ["--disable-extensions"],
    timeout: 30000,
    args: [
      `--disable-extensions-except=${extension}`, `--load-extension=${extension}`,
      "--no-sandbox", "--disable-gpu", "--disable-background-networking",
      "--disable-component-update", "--no-first-run", "--ignore-certificate-errors",
      "--disable-features=DisableLoadExtensionCommandLineSwitch",
    ],
  });
} catch (e) {
  console.log(`SKIP: Chromium cannot start: ${e.message.split("\n")[0]}`);
  server.kill();
  rmSync(work, { recursive: true, force: true });
  process.exit(SKIP);
}

function hostLog() {
  return existsSync(log) ? readFileSync(log, "utf8") : "";
}
async function openPage(origin, pathAndQuery = "/") {
  const page = await context.newPage();
  await page.goto(`${origin}${pathAndQuery}`);
  await page.waitForFunction(() => document.body.dataset.ready === "1");
  return page;
}
// Runs `fn` in the page; a rejected promise comes back as { error }.
async function inPage(page, fn, arg) {
  return page.evaluate(async ([src, a]) => {
    try {
      return { value: await (0, eval)(`(${src})`)(a) };
    } catch (e) {
      return { error: `${e.name}: ${e.message}` };
    }
  }, [fn.toString(), arg]);
}
// Runs in the allowed page: opens a frame of the given kind that loads the page API and the probe
// (tests/browser/fixtures), and returns what the probe reported.
async function tryInFrame(kind) {
  const base = location.origin;
  const markup = `<!doctype html><html data-kind="${kind}"><meta charset="utf-8">` +
    `<script src="${base}/veriquill.js"></script><script src="${base}/extra/probe.js"></script>`;
  const frame = document.createElement("iframe");
  switch (kind) {
    case "same-origin": frame.src = `/extra/probe.html#${kind}`; break;
    case "sandbox-attribute": frame.sandbox = "allow-scripts"; frame.src = `/extra/probe.html#${kind}`; break;
    case "csp-sandbox": frame.src = `/extra/probe.html?sandbox#${kind}`; break;
    case "srcdoc": frame.srcdoc = markup; break;
    case "sandboxed-srcdoc": frame.sandbox = "allow-scripts"; frame.srcdoc = markup; break;
    case "data": frame.src = `data:text/html;charset=utf-8,${encodeURIComponent(markup)}`; break;
    case "blob": frame.src = URL.createObjectURL(new Blob([markup], { type: "text/html" })); break;
    case "blob-in-sandbox":
      // A sandboxed frame that makes a blob: document of its own and frames it.
      frame.sandbox = "allow-scripts";
      frame.srcdoc = `<!doctype html><script>addEventListener("message", (e) => parent.postMessage(e.data, "*"));
        const f = document.createElement("iframe");
        f.src = URL.createObjectURL(new Blob([${JSON.stringify(markup).replace(/</g, "\\u003c")}], { type: "text/html" }));
        document.documentElement.append(f);<\/script>`;
      break;
  }
  const outcome = new Promise((resolve) => {
    const timer = setTimeout(() => resolve({ error: "the frame never answered" }), 10000);
    addEventListener("message", function probe(e) {
      if (e.source !== frame.contentWindow || !e.data?.["veriquill-probe"]) return;
      clearTimeout(timer);
      removeEventListener("message", probe);
      resolve(e.data["veriquill-probe"]);
    });
  });
  document.body.append(frame);
  const r = await outcome;
  frame.remove();
  return r;
}
// A wrong password, the error message, and the user gives up: Sign answers 8 (cancelled).
const WRONG_PASSWORD_SCRIPT = 'dialog 210\nclick 1\ndialog 201\ntype 201 "wrong"\nclick 1\nmessage ok\ndialog 210\nclick 2\n';
const WRONG_PASSWORD_RESULT = "8";
const PRESS = (x, y) => `mouse down ${x} ${y}\nmouse up ${x} ${y}\n`;

try {
  const timer = setTimeout(() => {
    console.log("FAIL the test took too long");
    process.exit(1);
  }, 100000);

  // The allowed page.
  const page = await openPage(allowed);
  let r = await inPage(page, () => demo.ctrl.TestComponent());
  check("TestComponent answers through the extension and the host", r.value === "OK|1,3,0,90", JSON.stringify(r));
  r = await inPage(page, () => demo.ctrl.ready);
  check("the control reports its version when ready", r.value === "1,3,0,90", JSON.stringify(r));
  r = await inPage(page, () => demo.ctrl.SetLanguage(1));
  check("SetLanguage resolves with nothing", "value" in r && r.value === undefined && !r.error, JSON.stringify(r));

  r = await inPage(page, (c) => Promise.all([
    demo.ctrl.SetKey(c.id, demo.isoHex(c.name), c.id, 1),
    demo.ctrl.SetKeyLocation(c.id, demo.utf8Hex(c.path)),
    demo.ctrl.GetKeyLocation(c.id),
    demo.ctrl.RemoveKey("no-such-key"),
  ]), { id: fingerprint, name: "Firma Łódź", path: keyFile });
  check("SetKey, SetKeyLocation, GetKeyLocation, RemoveKey in call order",
    JSON.stringify(r.value) === JSON.stringify(["0", "0", `0|${hex(keyFile)}00`, "1"]), JSON.stringify(r));

  r = await inPage(page, () => demo.ctrl.SetLanguage("abc"));
  check("an argument of the wrong type is refused with an error", /wrong type/.test(r.error ?? ""), JSON.stringify(r));
  r = await inPage(page, () => demo.ctrl.SetKey({ a: 1 }, "00", "00", 1));
  check("an object argument is refused", /argument 1/.test(r.error ?? ""), JSON.stringify(r));
  r = await inPage(page, () => demo.ctrl.TestComponent(1));
  check("a wrong number of arguments is refused", /number of arguments/.test(r.error ?? ""), JSON.stringify(r));
  r = await inPage(page, () => demo.ctrl.SetKey("big", "00", "A".repeat(2 * 1024 * 1024), 1));
  check("a message over the size limit is refused", /exceeds the limit/.test(r.error ?? ""), JSON.stringify(r));
  r = await inPage(page, () => demo.ctrl.GetKeyLocation(demo.ctrl && document.body.dataset.ready && "x"));
  check("the host keeps serving after refused messages", r.value === "509", JSON.stringify(r));

  // The on-screen keyboard, answered by the scripted user: "1234" and Enter.
  writeFileSync(uiScript, `dialog 202\n${PRESS(47, 57)}${PRESS(72, 57)}${PRESS(97, 57)}${PRESS(122, 57)}${PRESS(351, 107)}`);
  r = await inPage(page, async () => {
    const c = demo.newControl();
    return [await c.ShowKeyboard(), await c.GetKeyLocation("x")];
  });
  writeFileSync(uiScript, "");
  check("ShowKeyboard returns what the scripted user typed", JSON.stringify(r.value) === '["0|1234","509"]', JSON.stringify(r));

  // Signing an order: the scripted user presses Sign and types the key's password.
  const keyArgs = { id: fingerprint, name: "Firma Łódź", path: keyFile };
  const declareAndSign = async (c) => {
    const ctl = demo.newControl();
    const declared = [await ctl.SetKey(c.id, demo.isoHex(c.name), c.id, 1),
      await ctl.SetKeyLocation(c.id, demo.utf8Hex(c.path))];
    const order = demo.orderHex();
    return { declared, order, result: await ctl.Sign(`|${c.id}|`, c.id, order) };
  };
  writeFileSync(uiScript, `dialog 210\nclick 1\ndialog 201\ntype 201 "${password}"\nclick 1\n`);
  r = await inPage(page, declareAndSign, keyArgs);
  writeFileSync(uiScript, "");
  const [code, keyId, sigHex] = (r.value?.result ?? "").split("|");
  let verified = false;
  if (code === "0") {
    verified = createVerify("sha256").update(Buffer.from(r.value.order, "hex"))
      .verify(readFileSync(path.join(work, "user.pub.pem")), Buffer.from(sigHex, "hex"));
  }
  check("Sign returns the key and a signature that verifies over the order bytes",
    code === "0" && keyId === fingerprint && verified, JSON.stringify(r));

  // A wrong password: the component calls the page's componentWKPEvent.
  writeFileSync(uiScript, WRONG_PASSWORD_SCRIPT);
  r = await inPage(page, declareAndSign, keyArgs);
  writeFileSync(uiScript, "");
  const wkp = await page.evaluate(() => document.body.dataset.wkp ?? "");
  check("a wrong password calls componentWKPEvent with the key and the count",
    wkp === `${fingerprint}|Firma Łódź|1`, wkp);
  check("Sign after a wrong password answers as the method does", r.value?.result === WRONG_PASSWORD_RESULT,
    JSON.stringify(r));

  // A page without the function gets the same answer.
  writeFileSync(uiScript, WRONG_PASSWORD_SCRIPT);
  r = await inPage(page, async (c) => {
    delete window.componentWKPEvent;
    delete document.body.dataset.wkp;
    const ctl = demo.newControl();
    await ctl.SetKey(c.id, demo.isoHex(c.name), c.id, 1);
    return ctl.Sign(`|${c.id}|`, c.id, demo.orderHex());
  }, keyArgs);
  writeFileSync(uiScript, "");
  check("a page without componentWKPEvent still gets Sign's result", r.value === WRONG_PASSWORD_RESULT,
    JSON.stringify(r));

  // Two controls on one page are two host processes with their own key sets.
  r = await inPage(page, async () => {
    const a = Veriquill.createControl();
    const b = Veriquill.createControl();
    const out = [await a.SetKey("k1", "4B31", "00", 0), await b.RemoveKey("k1"), await a.RemoveKey("k1")];
    a.release();
    b.release();
    out.push(await a.TestComponent().catch((e) => e.message));
    return out;
  });
  check("each control has its own key set; a released control refuses calls",
    JSON.stringify(r.value) === '["0","1","0","the control has been released"]', JSON.stringify(r));

  // A page the machine does not allow.
  const other = await openPage(refused);
  r = await inPage(other, () => demo.ctrl.TestComponent());
  check("a page that is not on the allow-list is refused",
    /https:\/\/127\.0\.0\.1:\d+ is not allowed/.test(r.error ?? ""), JSON.stringify(r));
  r = await inPage(other, () => demo.ctrl.ready);
  check("its control never becomes ready", /not allowed/.test(r.error ?? ""), JSON.stringify(r));
  await other.close();

  // Frames of the allowed page: each one's origin as the browser reports it decides. Sandboxed
  // and data: documents have an opaque origin, "null", whatever their URL says.
  const frameOutcomes = {};
  const opaqueFrames = ["sandbox-attribute", "csp-sandbox", "sandboxed-srcdoc", "data", "blob-in-sandbox"];
  const ownFrames = ["same-origin", "srcdoc", "blob"];
  for (const kind of [...ownFrames, ...opaqueFrames])
    frameOutcomes[kind] = (await inPage(page, tryInFrame, kind)).value ?? {};
  // What the frames' own messages left behind: a frame's calls run before its page API call
  // is answered, so every location a frame could write is written by now.
  r = await inPage(page, (kinds) => Promise.all(kinds.map((k) => demo.ctrl.GetKeyLocation(`probe-${k}`))),
    [...ownFrames, ...opaqueFrames]);
  const written = Object.fromEntries([...ownFrames, ...opaqueFrames].map((k, i) => [k, r.value?.[i]]));
  check("frames of the page's own origin write key locations; opaque ones write none",
    ownFrames.every((k) => written[k] === `0|${hex(`/tmp/${k}.prv`)}00`) &&
    opaqueFrames.every((k) => written[k] === "509"), JSON.stringify(written));
  const refusedAsNull = (o) => o.origin === "null" &&
    /^the page null is not allowed to use the signing component/.test(o.error ?? "");
  const reached = (o) => o.value === "OK|1,3,0,90" && o.origin === allowed;
  check("a frame of the allowed page reaches the component", reached(frameOutcomes["same-origin"]),
    JSON.stringify(frameOutcomes["same-origin"]));
  for (const kind of opaqueFrames)
    check(`a ${kind} frame is refused as the page null`, refusedAsNull(frameOutcomes[kind]),
      JSON.stringify(frameOutcomes[kind]));
  for (const kind of ["srcdoc", "blob"])
    check(`a ${kind} frame made by the allowed page has its origin and reaches the component`,
      reached(frameOutcomes[kind]), JSON.stringify(frameOutcomes[kind]));
  const sandboxedPage = await openPage(allowed, "/?sandbox");
  r = await inPage(sandboxedPage, () => demo.ctrl.TestComponent());
  check("a page of the allowed site served as sandboxed content is refused as the page null",
    /^VeriquillError: the page null is not allowed to use the signing component/.test(r.error ?? ""),
    JSON.stringify(r));
  await sandboxedPage.close();

  // Pages that go away end their host processes.
  const logBefore = hostLog().length;
  const gone = await openPage(allowed);
  await inPage(gone, () => demo.ctrl.TestComponent());
  const pids = [...hostLog().slice(logBefore).matchAll(/veriquill-nm\[(\d+)\]: serving a control/g)].map((m) => m[1]);
  check("the page's control is one host process", pids.length === 1, hostLog().slice(logBefore));
  await gone.close();
  let ended = false;
  for (let i = 0; i < 50 && !ended && pids.length; i++) {
    await new Promise((res) => setTimeout(res, 100));
    ended = hostLog().includes(`veriquill-nm[${pids[0]}]: control released`);
  }
  check("closing the page ends its host process", ended, hostLog().slice(logBefore));

  await page.close();
  clearTimeout(timer);
} catch (e) {
  check("the test ran to its end", false, e.stack);
} finally {
  await context.close().catch(() => {});
  server.kill();
}
if (failed) console.log(`host log:\n${hostLog().slice(-3000)}`);
console.log(`${passed} passed, ${failed} failed`);
if (!failed) rmSync(work, { recursive: true, force: true });
process.exit(failed ? 1 : 0);
