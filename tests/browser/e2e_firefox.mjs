// End-to-end test in Firefox: Debian's firefox-esr, driven over WebDriver BiDi by puppeteer-core,
// installs the Veriquill extension as a temporary add-on, finds veriquill-nm through the user's
// native-messaging-hosts folder (under a HOME of the test's own), and the demo bank page plays the
// same scenarios as in Chromium (harness.mjs).
// Usage: node e2e_firefox.mjs BUILD_DIR [SCREENSHOT.png]
//   (exit 0 all passed, 1 a check failed, 77 Firefox cannot start)
import { createRequire } from "node:module";
import { writeFileSync } from "node:fs";
import path from "node:path";
import { prepareMachine, playInBrowser, finish, hostManifest, extensionDir, source, check, bounded, HOST_NAME }
  from "./harness.mjs";

// puppeteer-core is installed with the browser parts' package (hosts/browser/package.json).
const puppeteer = createRequire(path.join(source, "hosts/browser/package.json"))("puppeteer-core");
const firefoxPath = process.env.VQ_FIREFOX ?? "/usr/bin/firefox-esr";
const ADDON_ID = "veriquill@brantwell.com";

const m = await prepareMachine(process.argv[2]);
const home = m.dir("home");
// Firefox on Linux looks for the user's host manifests in ~/.mozilla/native-messaging-hosts.
writeFileSync(path.join(m.dir("home/.mozilla/native-messaging-hosts"), `${HOST_NAME}.json`),
  hostManifest(m, { allowed_extensions: [ADDON_ID] }));

let browser;
try {
  browser = await puppeteer.launch({
    browser: "firefox",
    executablePath: firefoxPath,
    headless: true,
    acceptInsecureCerts: true,
    defaultViewport: { width: 1024, height: 768 },
    userDataDir: m.dir("profile"),
    env: { ...m.env, HOME: home },
    timeout: 60000,
    protocolTimeout: 60000,
    extraPrefsFirefox: {
      // Nothing of the outside world: no updates, no telemetry, no first-run pages.
      "app.update.enabled": false,
      "datareporting.policy.dataSubmissionEnabled": false,
      "browser.shell.checkDefaultBrowser": false,
    },
  });
} catch (e) {
  process.exit(finish(m, { skipped: `Firefox cannot start: ${e.message.split("\n")[0]}` }));
}

process.exit(await playInBrowser(m, { name: "Firefox", newPage: () => browser.newPage(),
  close: () => browser.close() }, async () => {
  const version = await browser.version();
  // BiDi's webExtension.install: a temporary add-on straight from the source folder.
  const id = await bounded(browser.installExtension(extensionDir), 30000);
  check(`${version} installs the extension as the add-on ${ADDON_ID}`, id === ADDON_ID, id);
}));
