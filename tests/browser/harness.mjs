// What the browser end-to-end tests share: the machine (certificate, registry, key file), the demo
// page's server, and the scenarios the page plays through the extension and veriquill-nm. Each
// browser's test (e2e.mjs for Chromium, e2e_firefox.mjs for Firefox) only starts its browser with
// the extension and the host manifest, and hands over a way to open pages. The pages of Playwright
// and Puppeteer are used only through what both offer: goto, evaluate, screenshot and close.
import { createVerify } from "node:crypto";
import { spawn, execFileSync } from "node:child_process";
import { mkdtempSync, writeFileSync, readFileSync, mkdirSync, rmSync, existsSync } from "node:fs";
import { tmpdir } from "node:os";
import path from "node:path";
import { fileURLToPath } from "node:url";

export const SKIP = 77;
const here = path.dirname(fileURLToPath(import.meta.url));
export const source = path.resolve(here, "../..");
export const extensionDir = path.join(source, "hosts/browser/extension");
export const HOST_NAME = "com.brantwell.veriquill";
const VERSION = "1,3,0,90";

let passed = 0;
let failed = 0;
export function check(name, ok, detail = "") {
  if (ok) passed++;
  else failed++;
  console.log(`${ok ? "ok  " : "FAIL"} ${name}${ok || !detail ? "" : `: ${detail}`}`);
}
function run(cmd, args, opts = {}) {
  return execFileSync(cmd, args, { encoding: "utf8", ...opts });
}
const hex = (s) => Buffer.from(s, "latin1").toString("hex").toUpperCase();

// The host's manifest: Chromium names the extension by origin, Firefox by add-on id.
export function hostManifest(machine, allowed) {
  return JSON.stringify({ name: HOST_NAME, description: "Veriquill signing component", path: machine.host,
    type: "stdio", ...allowed });
}

// --- the machine: certificate, registry, key file, page server ----------------------------------
export async function prepareMachine(buildArg) {
  const build = path.resolve(buildArg ?? path.join(source, "build/plain"));
  const m = {
    build,
    host: path.join(build, "hosts/nm/veriquill-nm"),
    tool: path.join(build, "hosts/veriquill/veriquill"),
    keytool: path.join(build, "hosts/keytool/veriquill-keytool"),
    work: mkdtempSync(path.join(tmpdir(), "vq-e2e-")),
    started: Date.now(),
  };
  m.log = path.join(m.work, "host.log");
  m.uiScript = path.join(m.work, "ui.txt");
  const cert = path.join(m.work, "cert.pem");
  const certKey = path.join(m.work, "cert-key.pem");
  run("openssl", ["req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", certKey, "-out", cert,
    "-days", "2", "-subj", "/CN=localhost", "-addext", "subjectAltName=DNS:localhost,IP:127.0.0.1"],
    { stdio: "ignore" });
  m.env = { ...process.env, VERIQUILL_HKLM: path.join(m.work, "machine.reg"),
    VERIQUILL_HKCU: path.join(m.work, "user.reg"), VERIQUILL_NM_LOG: m.log,
    VERIQUILL_NM_UI: `script:${m.uiScript}`, QT_QPA_PLATFORM: "offscreen" };
  delete m.env.VERIQUILL_ANSI_CODEPAGE;

  const pem = path.join(m.work, "user.pem");
  m.publicKey = path.join(m.work, "user.pub.pem");
  m.keyFile = path.join(m.work, "firma.prv");
  run("openssl", ["genrsa", "-out", pem, "1024"], { stdio: "ignore" });
  run("openssl", ["rsa", "-in", pem, "-pubout", "-out", m.publicKey], { stdio: "ignore" });
  m.password = "Tajne-2026";
  m.fingerprint = run(m.keytool, ["create", pem, m.keyFile], { input: `${m.password}\n` }).trim();
  writeFileSync(path.join(m.work, "demo-config.json"),
    JSON.stringify({ keyId: m.fingerprint, keyName: "Firma Łódź", keyPath: m.keyFile }));

  m.server = spawn(process.execPath, [path.join(source, "hosts/browser/demo/serve.mjs"), "--cert", cert,
    "--key", certKey, "--port", "0", "--host", "127.0.0.1", "--config", path.join(m.work, "demo-config.json"),
    "--extra", path.join(here, "fixtures")],
    { stdio: ["ignore", "pipe", "inherit"] });
  const port = await new Promise((resolve, reject) => {
    let out = "";
    const timer = setTimeout(() => reject(new Error("the page server did not start within 10 s")), 10000);
    m.server.stdout.on("data", (d) => {
      out += d;
      const found = /listening (\d+)/.exec(out);
      if (found) {
        clearTimeout(timer);
        resolve(Number(found[1]));
      }
    });
    m.server.on("exit", () => reject(new Error("the page server did not start")));
  });
  m.allowed = `https://localhost:${port}`;
  m.refused = `https://127.0.0.1:${port}`;
  // Each host process reads the scripted user's answers when it starts: empty unless a check
  // needs a dialog answered.
  writeFileSync(m.uiScript, "");
  for (const args of [
    ["reg", "set", "HKLM\\SOFTWARE\\Brantwell\\Veriquill", "AllowedOrigins", "--multi", m.allowed],
    ["reg", "set", "HKLM\\SOFTWARE\\Brantwell\\SmartCard\\Components", "GemPCKey USB", "1"],
    ["reg", "set", "HKLM\\SOFTWARE\\Brantwell\\SmartCard\\Components", "GemPCTwin USB", "1"],
  ]) run(m.tool, args, { env: m.env });
  m.dir = (name) => {
    const d = path.join(m.work, name);
    mkdirSync(d, { recursive: true });
    return d;
  };
  return m;
}

// Plays the scenarios in a started browser ({ name, newPage, close }) after `before` (installing
// the extension, say), closes the browser and ends the run: the exit code to leave with.
export async function playInBrowser(m, browser, before = async () => {}) {
  try {
    await before();
    await runScenarios(m, browser, { screenshot: process.argv[3] ?? null });
  } catch (e) {
    check("the test ran to its end", false, e.stack);
  } finally {
    await bounded(browser.close(), 15000).catch(() => {});
  }
  console.log(`${browser.name} test took ${((Date.now() - m.started) / 1000).toFixed(1)} s`);
  return finish(m);
}

// Ends the run: the page server stops, the work folder goes unless a check failed.
export function finish(m, { skipped } = {}) {
  m.server.kill();
  if (skipped) {
    console.log(`SKIP: ${skipped}`);
    rmSync(m.work, { recursive: true, force: true });
    return SKIP;
  }
  if (failed) console.log(`host log:\n${hostLog(m).slice(-3000)}`);
  console.log(`${passed} passed, ${failed} failed`);
  if (!failed) rmSync(m.work, { recursive: true, force: true });
  return failed ? 1 : 0;
}

function hostLog(m) {
  return existsSync(m.log) ? readFileSync(m.log, "utf8") : "";
}
const pause = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
// A driver's promise that must not hold the run up for ever (closing a browser, for one).
export function bounded(promise, ms) {
  let timer;
  return Promise.race([promise, new Promise((_, reject) => {
    timer = setTimeout(() => reject(new Error(`no answer within ${ms / 1000} s`)), ms);
  })]).finally(() => clearTimeout(timer));
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
// Waits inside the page, so that no driver's own waiting is needed; the run's timer bounds it.
async function untilInPage(page, fn, arg) {
  return inPage(page, async ([src, a]) => {
    const test = (0, eval)(`(${src})`);
    for (;;) {
      const v = test(a);
      if (v) return v;
      await new Promise((resolve) => setTimeout(resolve, 50));
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

// The scenarios, in one browser. `browser.newPage()` gives a fresh page (tab); `browser.name`
// names the browser in screenshots. A screenshot of the demo page goes to `screenshot` if given.
export async function runScenarios(m, browser, { timeoutMs = 100000, screenshot = null } = {}) {
  const { allowed, refused, fingerprint, keyFile, password, uiScript } = m;
  const openPage = async (origin, pathAndQuery = "/") => {
    const page = await browser.newPage();
    await page.goto(`${origin}${pathAndQuery}`);
    await untilInPage(page, () => document.body?.dataset.ready === "1");
    return page;
  };
  const timer = setTimeout(() => {
    console.log(`FAIL the test took longer than ${timeoutMs / 1000} s`);
    process.exit(1);
  }, timeoutMs);
  try {
    await scenarios();
  } catch (e) {
    check("the test ran to its end", false, e.stack);
  } finally {
    clearTimeout(timer);
  }

  async function scenarios() {
    // The allowed page.
    const page = await openPage(allowed);
    let r = await inPage(page, () => demo.ctrl.TestComponent());
    check("TestComponent answers through the extension and the host", r.value === `OK|${VERSION}`, JSON.stringify(r));
    r = await inPage(page, () => demo.ctrl.ready);
    check("the control reports its version when ready", r.value === VERSION, JSON.stringify(r));
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
    writeFileSync(uiScript, signPassesFor(password));
    r = await inPage(page, declareAndSign, keyArgs);
    writeFileSync(uiScript, "");
    const [code, keyId, sigHex] = (r.value?.result ?? "").split("|");
    let verified = false;
    if (code === "0") {
      verified = createVerify("sha256").update(Buffer.from(r.value.order, "hex"))
        .verify(readFileSync(m.publicKey), Buffer.from(sigHex, "hex"));
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
      /the page https:\/\/127\.0\.0\.1:\d+ is not allowed to use the signing component/.test(r.error ?? ""),
      JSON.stringify(r));
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
    const reached = (o) => o.value === `OK|${VERSION}` && o.origin === allowed;
    check("a frame of the allowed page reaches the component", reached(frameOutcomes["same-origin"]),
      JSON.stringify(frameOutcomes["same-origin"]));
    for (const kind of opaqueFrames) {
      const o = frameOutcomes[kind];
      check(`a ${kind} frame is refused as the page null`, o.origin === "null" &&
        /^the page null is not allowed to use the signing component/.test(o.error ?? ""), JSON.stringify(o));
    }
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
    const logBefore = hostLog(m).length;
    const gone = await openPage(allowed);
    await inPage(gone, () => demo.ctrl.TestComponent());
    const pids = [...hostLog(m).slice(logBefore).matchAll(/veriquill-nm\[(\d+)\]: serving a control/g)].map((x) => x[1]);
    check("the page's control is one host process", pids.length === 1, hostLog(m).slice(logBefore));
    await gone.close();
    let ended = false;
    for (let i = 0; i < 50 && !ended && pids.length; i++) {
      await pause(100);
      ended = hostLog(m).includes(`veriquill-nm[${pids[0]}]: control released`);
    }
    check("closing the page ends its host process", ended, hostLog(m).slice(logBefore));
    await page.close();

    if (screenshot) await demoScreenshot(screenshot);
  }

  // The demo page as a user leaves it: the component tested, the key declared, an order signed.
  async function demoScreenshot(file) {
    // The page's control starts its host, which reads the scripted user's answers, on loading.
    writeFileSync(uiScript, signPassesFor(password));
    const page = await openPage(allowed);
    const r = await inPage(page, async () => {
      for (const [button, out] of [["test", "test-out"], ["declare", "keys-out"], ["sign", "sign-out"]]) {
        document.getElementById(button).click();
        const output = document.getElementById(out);
        while (output.textContent === "" || output.textContent === "…")
          await new Promise((resolve) => setTimeout(resolve, 50));
      }
      return document.getElementById("sign-out").textContent;
    });
    writeFileSync(uiScript, "");
    check(`the demo page signs an order when its buttons are pressed (${browser.name})`,
      (r.value ?? "").startsWith(`0|${fingerprint}|`), JSON.stringify(r));
    await page.screenshot({ path: file, fullPage: true });
    console.log(`screenshot: ${file}`);
    await page.close();
  }
}

// The scripted user presses Sign and types the key's password.
function signPassesFor(password) {
  return `dialog 210\nclick 1\ndialog 201\ntype 201 "${password}"\nclick 1\n`;
}
