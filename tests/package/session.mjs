// A short Chromium session against the installed package, run by run_package_test.sh as an
// ordinary user: the installed extension, the manifest the package put in
// /etc/chromium/native-messaging-hosts, the installed host and the machine configuration in
// /etc/veriquill. No test manifest, registry file or program from a build tree is involved.
// Usage: node session.mjs WORK_DIR ALLOWED_ORIGIN REFUSED_ORIGIN VERSION
//        (exit 0 all passed, 1 a check failed, 77 Chromium cannot start)
import { createRequire } from "node:module";
import { createVerify } from "node:crypto";
import { execFileSync } from "node:child_process";
import { writeFileSync, readFileSync, readlinkSync, existsSync } from "node:fs";
import path from "node:path";

const [work, allowed, refused, version] = process.argv.slice(2);
const { chromium } = createRequire(path.join(work, "node_modules", "x.js"))("playwright-core");
const BIN = "/usr/bin";
const SHARE = "/usr/share/veriquill";
const SYSTEM_MANIFEST = "/etc/chromium/native-messaging-hosts/com.brantwell.veriquill.json";
const log = path.join(work, "host.log");
const uiScript = path.join(work, "ui.txt");
const profile = path.join(work, "profile");

let passed = 0;
let failed = 0;
function check(name, ok, detail = "") {
  if (ok) passed++;
  else failed++;
  console.log(`${ok ? "ok  " : "FAIL"} ${name}${ok || !detail ? "" : `: ${detail}`}`);
}
const run = (cmd, args, opts = {}) => execFileSync(cmd, args, { encoding: "utf8", ...opts });
const hostLog = () => (existsSync(log) ? readFileSync(log, "utf8") : "");

// The host the browser will start is the one the system manifest names; nothing at user level
// may stand in for it.
const manifest = JSON.parse(readFileSync(SYSTEM_MANIFEST, "utf8"));
check("the system manifest names the installed host", manifest.path === `${BIN}/veriquill-nm`, manifest.path);
check("no user-level manifest in the profile", !existsSync(path.join(profile, "NativeMessagingHosts")));

// The user's key, made with the installed key tool.
const pem = path.join(work, "user.pem");
const pub = path.join(work, "user.pub.pem");
const keyFile = path.join(work, "klucz.prv");
const password = "Pakiet-2026";
run("openssl", ["genrsa", "-out", pem, "1024"], { stdio: "ignore" });
run(`${BIN}/veriquill-keytool`, ["public", pem, pub]);
const fingerprint = run(`${BIN}/veriquill-keytool`, ["create", pem, keyFile], { input: `${password}\n` }).trim();
writeFileSync(path.join(work, "demo-config.json"), JSON.stringify({ keyId: fingerprint, keyName: "Klucz", keyPath: keyFile }));
writeFileSync(uiScript, "");

// Only what the installed host reads by default: no VERIQUILL_HKLM or VERIQUILL_HKCU.
const env = { ...process.env, VERIQUILL_NM_LOG: log, VERIQUILL_NM_UI: `script:${uiScript}`, QT_QPA_PLATFORM: "offscreen" };
for (const name of ["VERIQUILL_HKLM", "VERIQUILL_HKCU", "VERIQUILL_ANSI_CODEPAGE", "XDG_CONFIG_HOME"]) delete env[name];

let context;
try {
  context = await chromium.launchPersistentContext(profile, {
    executablePath: process.env.VQ_CHROMIUM ?? "/usr/bin/chromium",
    headless: true,
    env,
    ignoreHTTPSErrors: true,
    ignoreDefaultArgs: ["--disable-extensions"],
    timeout: 30000,
    args: [
      `--disable-extensions-except=${SHARE}/extension`, `--load-extension=${SHARE}/extension`,
      "--no-sandbox", "--disable-gpu", "--disable-background-networking", "--disable-component-update",
      "--no-first-run", "--ignore-certificate-errors", "--disable-features=DisableLoadExtensionCommandLineSwitch",
    ],
  });
} catch (e) {
  console.log(`SKIP: Chromium cannot start: ${e.message.split("\n")[0]}`);
  process.exit(77);
}

async function openPage(origin) {
  const page = await context.newPage();
  await page.goto(`${origin}/`);
  await page.waitForFunction(() => document.body.dataset.ready === "1");
  return page;
}
async function inPage(page, fn, arg) {
  return page.evaluate(async ([src, a]) => {
    try {
      return { value: await (0, eval)(`(${src})`)(a) };
    } catch (e) {
      return { error: `${e.name}: ${e.message}` };
    }
  }, [fn.toString(), arg]);
}

const timer = setTimeout(() => {
  console.log("FAIL the session took too long");
  process.exit(1);
}, 90000);
try {
  const page = await openPage(allowed);
  let r = await inPage(page, () => demo.ctrl.TestComponent());
  check("TestComponent answers with the installed version", r.value === `OK|${version.replaceAll(".", ",")}`,
    JSON.stringify(r));

  // The process serving the page's control is the installed program, run as this user.
  const pid = /veriquill-nm\[(\d+)\]: serving a control for (\S+)/.exec(hostLog());
  let exe = "";
  try {
    exe = pid ? readlinkSync(`/proc/${pid[1]}/exe`) : "";
  } catch (e) {
    exe = e.message;
  }
  check("the browser started the installed host for the page", exe === `${BIN}/veriquill-nm` && pid?.[2] === allowed,
    `${exe} ${hostLog()}`);

  // Sign an order with a key file: the scripted user presses Sign and types the password.
  writeFileSync(uiScript, `dialog 210\nclick 1\ndialog 201\ntype 201 "${password}"\nclick 1\n`);
  r = await inPage(page, async (c) => {
    const ctl = demo.newControl();
    const declared = [await ctl.SetKey(c.id, demo.isoHex("Klucz"), c.id, 1),
      await ctl.SetKeyLocation(c.id, demo.utf8Hex(c.path))];
    const order = demo.orderHex();
    return { declared, order, result: await ctl.Sign(`|${c.id}|`, c.id, order) };
  }, { id: fingerprint, path: keyFile });
  writeFileSync(uiScript, "");
  const [code, keyId, sigHex] = (r.value?.result ?? "").split("|");
  const verified = code === "0" && createVerify("sha256").update(Buffer.from(r.value.order, "hex"))
    .verify(readFileSync(pub), Buffer.from(sigHex, "hex"));
  check("Sign returns a signature that verifies over the order bytes",
    JSON.stringify(r.value?.declared) === '["0","0"]' && keyId === fingerprint && verified, JSON.stringify(r));
  const userReg = path.join(process.env.HOME, ".config/veriquill/user.reg");
  check("the key's location went to the user's own configuration",
    existsSync(userReg) && readFileSync(userReg, "latin1").includes(fingerprint), userReg);

  // The machine configuration lists one origin; any other page is refused.
  const other = await openPage(refused);
  r = await inPage(other, () => demo.ctrl.TestComponent());
  check("a page the machine configuration does not list is refused",
    (r.error ?? "").includes(`the page ${refused} is not allowed to use the signing component`), JSON.stringify(r));
  await other.close();

  // Leaving the page ends its host processes: nothing of the package keeps running.
  await page.close();
  const served = [...hostLog().matchAll(/veriquill-nm\[(\d+)\]: serving a control/g)].map((m) => m[1]);
  let alive = served;
  for (let i = 0; i < 50 && alive.length; i++) {
    await new Promise((res) => setTimeout(res, 100));
    alive = served.filter((p) => existsSync(`/proc/${p}`));
  }
  check("closing the page ends its host processes", served.length >= 2 && !alive.length, hostLog());
} catch (e) {
  check("the session ran to its end", false, e.stack);
} finally {
  clearTimeout(timer);
  await context.close().catch(() => {});
}
if (failed) console.log(`host log:\n${hostLog().slice(-3000)}`);
console.log(`session: ${passed} passed, ${failed} failed`);
process.exit(failed ? 1 : 0);
