// A small https server for the demo bank page: serves this folder, the page API (veriquill.js)
// and the demo's configuration. Usage:
//   node serve.mjs --cert CERT.pem --key KEY.pem [--port 8443] [--host 127.0.0.1] [--config FILE]
//                  [--extra DIR]
// Files of DIR are served under /extra/. Any page asked for with "?sandbox" comes with
// "Content-Security-Policy: sandbox allow-scripts", as a bank serves previews of uploads.
// Prints "listening PORT" once it accepts connections (port 0 picks a free one).
import { createServer } from "node:https";
import { readFile } from "node:fs/promises";
import { fileURLToPath } from "node:url";
import path from "node:path";

const here = path.dirname(fileURLToPath(import.meta.url));
const opts = { port: "8443", host: "127.0.0.1", config: "", extra: "" };
for (let i = 2; i < process.argv.length; i += 2) opts[process.argv[i].replace(/^--/, "")] = process.argv[i + 1];
if (!opts.cert || !opts.key) {
  console.error("usage: node serve.mjs --cert CERT.pem --key KEY.pem [--port N] [--host H] [--config FILE] [--extra DIR]");
  process.exit(2);
}

const files = {
  "/": [path.join(here, "index.html"), "text/html; charset=utf-8"],
  "/index.html": [path.join(here, "index.html"), "text/html; charset=utf-8"],
  "/demo.js": [path.join(here, "demo.js"), "text/javascript; charset=utf-8"],
  "/veriquill.js": [path.join(here, "..", "veriquill.js"), "text/javascript; charset=utf-8"],
};
if (opts.config) files["/demo-config.json"] = [opts.config, "application/json"];
const types = { ".html": "text/html; charset=utf-8", ".js": "text/javascript; charset=utf-8" };

function lookup(pathname) {
  if (files[pathname]) return files[pathname];
  if (!opts.extra || !pathname.startsWith("/extra/")) return null;
  const name = pathname.slice("/extra/".length);
  const type = types[path.extname(name)];
  // One plain file name: nothing outside the folder.
  if (!type || !/^[A-Za-z0-9_-]+\.[a-z]+$/.test(name)) return null;
  return [path.join(opts.extra, name), type];
}

const server = createServer(
  { cert: await readFile(opts.cert), key: await readFile(opts.key) },
  async (req, res) => {
    const url = new URL(req.url, "https://x");
    const entry = lookup(url.pathname);
    if (!entry || req.method !== "GET") {
      res.writeHead(404, { "content-type": "text/plain" }).end("not found\n");
      return;
    }
    try {
      const body = await readFile(entry[0]);
      const headers = { "content-type": entry[1], "cache-control": "no-store" };
      if (url.searchParams.has("sandbox")) headers["content-security-policy"] = "sandbox allow-scripts";
      res.writeHead(200, headers).end(body);
    } catch {
      res.writeHead(500, { "content-type": "text/plain" }).end("cannot read the file\n");
    }
  },
);
server.listen(Number(opts.port), opts.host, () => {
  console.log(`listening ${server.address().port}`);
});
for (const signal of ["SIGINT", "SIGTERM"]) process.on(signal, () => server.close(() => process.exit(0)));
