// End-to-end test in Chromium: Debian's Chromium, driven by playwright-core, loads the Veriquill
// extension unpacked, finds veriquill-nm through the profile's NativeMessagingHosts folder, and the
// demo bank page plays the scenarios of harness.mjs.
// Usage: node e2e.mjs BUILD_DIR [SCREENSHOT.png]
//   (exit 0 all passed, 1 a check failed, 77 Chromium cannot start)
import { createRequire } from "node:module";
import { writeFileSync } from "node:fs";
import path from "node:path";
import { prepareMachine, playInBrowser, finish, hostManifest, extensionDir, source, HOST_NAME } from "./harness.mjs";

// playwright-core is installed with the browser parts' package (hosts/browser/package.json).
const { chromium } = createRequire(path.join(source, "hosts/browser/package.json"))("playwright-core");
const chromiumPath = process.env.VQ_CHROMIUM ?? "/usr/bin/chromium";
// Follows from the public key in the extension's manifest.
const EXTENSION_ID = "jjnhdbfhfgjpiajpomnpebcebdncpmnf";

const m = await prepareMachine(process.argv[2]);
const profile = m.dir("profile");
writeFileSync(path.join(m.dir("profile/NativeMessagingHosts"), `${HOST_NAME}.json`),
  hostManifest(m, { allowed_origins: [`chrome-extension://${EXTENSION_ID}/`] }));

let context;
try {
  context = await chromium.launchPersistentContext(profile, {
    executablePath: chromiumPath,
    headless: true,
    env: m.env,
    ignoreHTTPSErrors: true,
    viewport: { width: 1024, height: 768 },
    ignoreDefaultArgs: ["--disable-extensions"],
    timeout: 30000,
    args: [
      `--disable-extensions-except=${extensionDir}`, `--load-extension=${extensionDir}`,
      "--no-sandbox", "--disable-gpu", "--disable-background-networking",
      "--disable-component-update", "--no-first-run", "--ignore-certificate-errors",
      "--disable-features=DisableLoadExtensionCommandLineSwitch",
    ],
  });
} catch (e) {
  process.exit(finish(m, { skipped: `Chromium cannot start: ${e.message.split("\n")[0]}` }));
}

process.exit(await playInBrowser(m, { name: "Chromium", newPage: () => context.newPage(),
  close: () => context.close() }));
