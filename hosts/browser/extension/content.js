// Veriquill extension, content part: relays between the page's API (veriquill.js) and the
// background. Calls from one page run one at a time, in order, across all its controls, as they
// did when the page's thread was inside a method.
"use strict";

(() => {
  const api = globalThis.browser ?? globalThis.chrome;
  const PORT_NAME = "veriquill-control";
  const FROM_PAGE = "veriquill-page";
  const TO_PAGE = "veriquill-extension";

  const channels = new Map();  // channel id -> { port, state: "open"|"ended", error }
  const queue = [];            // calls waiting: { channel, id, method, args }
  let inFlight = null;         // the call being executed
  let language = null;         // the page's last SetLanguage, for controls opened later

  // Addressed by the document's own origin, not location.origin: they differ in sandboxed frames.
  function toPage(message) {
    window.postMessage({ [TO_PAGE]: message }, window.origin === "null" ? "*" : window.origin);
  }

  function finishCall(channel, reply) {
    toPage({ channel, ...reply });
    if (inFlight && inFlight.channel === channel && inFlight.id === reply.id) inFlight = null;
    pump();
  }

  function pump() {
    while (!inFlight && queue.length) {
      const call = queue.shift();
      const ch = channels.get(call.channel);
      if (!ch || ch.state === "ended") {
        toPage({ channel: call.channel, kind: "error", id: call.id, error: ch?.error ?? "the control has been released" });
        continue;
      }
      inFlight = call;
      try {
        ch.port.postMessage({ type: "call", id: call.id, method: call.method, args: call.args });
      } catch {
        inFlight = null;
        endChannel(call.channel, "the signing component has stopped");
      }
    }
  }

  function endChannel(channel, error) {
    const ch = channels.get(channel);
    if (!ch || ch.state === "ended") return;
    ch.state = "ended";
    ch.error = error;
    try { ch.port.disconnect(); } catch { /* already gone */ }
    if (inFlight && inFlight.channel === channel) {
      toPage({ channel, kind: "error", id: inFlight.id, error });
      inFlight = null;
    }
    toPage({ channel, kind: "ended", error });
    pump();
  }

  function open(channel) {
    if (channels.has(channel)) return;
    let port;
    try {
      port = api.runtime.connect({ name: PORT_NAME });
    } catch (e) {
      toPage({ channel, kind: "ended", error: `the Veriquill extension cannot be reached: ${e.message}` });
      return;
    }
    const ch = { port, state: "open", error: null };
    channels.set(channel, ch);
    port.onMessage.addListener((m) => {
      if (!m || typeof m !== "object") return;
      switch (m.type) {
        case "opened":
          toPage({ channel, kind: "opened", version: m.version });
          break;
        case "refused":
          endChannel(channel, m.error);
          break;
        case "stopped":
          endChannel(channel, m.error);
          break;
        case "result":
          if (inFlight?.channel === channel && inFlight.method.toLowerCase() === "setlanguage") {
            const n = Number(inFlight.args[0]);
            if (Number.isInteger(n) && n >= 0 && n <= 2) language = n;
          }
          finishCall(channel, { kind: "result", id: m.id, value: m.value });
          break;
        case "error": {
          // An error without an id answers the call in flight (the host could not read it).
          const id = Number.isInteger(m.id) ? m.id : inFlight?.channel === channel ? inFlight.id : null;
          if (id !== null) finishCall(channel, { kind: "error", id, error: m.error });
          break;
        }
        case "script":
          if (typeof m.function === "string" && Array.isArray(m.args))
            toPage({ channel, kind: "script", function: m.function, args: m.args.map(String) });
          break;
      }
    });
    port.onDisconnect.addListener(() => endChannel(channel, "the signing component has stopped"));
    port.postMessage({ type: "open", language });
    toPage({ channel, kind: "ack" });
  }

  window.addEventListener("message", (event) => {
    if (event.source !== window || !event.data || typeof event.data !== "object") return;
    const m = event.data[FROM_PAGE];
    if (!m || typeof m !== "object" || typeof m.channel !== "string") return;
    switch (m.kind) {
      case "open":
        open(m.channel);
        break;
      case "call":
        if (!Number.isInteger(m.id) || typeof m.method !== "string") return;
        queue.push({ channel: m.channel, id: m.id, method: m.method, args: Array.isArray(m.args) ? m.args : [] });
        pump();
        break;
      case "close":
        endChannel(m.channel, "the control has been released");
        break;
    }
  });
})();
