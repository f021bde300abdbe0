// Veriquill extension, background part: one native host process per control on a page.
// The page's origin is taken from what the browser reports about the sender, never from the
// page's own messages; the native host decides whether that origin may use the component.
"use strict";

const HOST_NAME = "com.brantwell.veriquill";
const PORT_NAME = "veriquill-control";
const api = globalThis.browser ?? globalThis.chrome;

// The browser's own record of the sender's origin decides whenever it gives one, "null" included:
// a sandboxed frame or a data: document has an opaque origin even when its URL names the bank.
// The URL stands in only for a browser that reports no origin.
function senderOrigin(sender) {
  if (typeof sender.origin === "string" && sender.origin !== "") return sender.origin;
  try {
    return new URL(sender.url).origin;
  } catch {
    return null;
  }
}

function safePost(port, message) {
  try {
    port.postMessage(message);
    return true;
  } catch {
    return false;  // the other side has gone
  }
}

function isScriptValue(v) {
  return v === null || typeof v === "string" || (typeof v === "number" && Number.isFinite(v));
}

api.runtime.onConnect.addListener((page) => {
  if (page.name !== PORT_NAME || page.sender?.id !== api.runtime.id) return;
  const origin = senderOrigin(page.sender);
  if (!origin || !origin.startsWith("https://")) {
    safePost(page, {
      type: "refused",
      error: `the page ${origin ?? "(unknown origin)"} is not allowed to use the signing component (only https pages may use it)`,
    });
    page.disconnect();
    return;
  }

  let host;
  try {
    host = api.runtime.connectNative(HOST_NAME);
  } catch (e) {
    safePost(page, { type: "stopped", error: `the signing component cannot be started: ${e.message}` });
    page.disconnect();
    return;
  }
  let pageGone = false;

  host.onMessage.addListener((message) => {
    if (!pageGone) safePost(page, message);
  });
  host.onDisconnect.addListener((p) => {
    if (pageGone) return;
    const why = api.runtime.lastError?.message ?? p?.error?.message ?? "the component has stopped";
    safePost(page, { type: "stopped", error: `the signing component has stopped: ${why}` });
    page.disconnect();
  });

  page.onMessage.addListener((message) => {
    if (!message || typeof message !== "object") return;
    if (message.type === "open") {
      const language = Number.isInteger(message.language) ? message.language : null;
      safePost(host, { type: "open", origin, language });
    } else if (message.type === "call") {
      if (!Number.isInteger(message.id) || typeof message.method !== "string") return;
      const args = Array.isArray(message.args) ? message.args : [];
      // Anything that is not a string, a number or null reaches the host as an object, which
      // it refuses with an error naming the argument.
      safePost(host, {
        type: "call",
        id: message.id,
        method: message.method,
        args: args.map((a) => (a === undefined ? null : isScriptValue(a) ? a : { invalid: typeof a })),
      });
    }
  });
  // A page that releases its control, navigates or closes ends the host: its standard input
  // closes, and it wipes the control's secrets and exits.
  page.onDisconnect.addListener(() => {
    pageGone = true;
    host.disconnect();
  });
});
