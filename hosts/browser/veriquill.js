// Veriquill page API: the signing component for a bank's web page.
//
//   const ctrl = Veriquill.createControl();
//   const version = await ctrl.TestComponent();          // "OK|1,3,0,90"
//   await ctrl.SetLanguage(1);                           // resolves with undefined
//   const r = await ctrl.Sign(ids, preselected, orderHex);
//   ctrl.release();
//
// Every one of the 22 methods takes the arguments the component documents and returns a promise
// of its result string. Calls from one page run one at a time, in the order they were made.
// After a wrong key password the component calls window.componentWKPEvent(first, keyId,
// keyName, count) when the page defines it. A page the machine does not allow gets its promises
// rejected with an Error explaining why.
(function (global) {
  "use strict";

  const FROM_PAGE = "veriquill-page";
  const TO_PAGE = "veriquill-extension";
  const METHODS = [
    "SetKey", "Sign", "GenerateKey", "TestComponent", "ShowKeyboard", "SetLanguage", "RemoveKey",
    "RegisterCert", "SetSignDialogType", "AddCardModel", "EncryptRand", "DecryptRand",
    "ChangeKeyLocation", "GetKeyLocation", "SetKeyLocation", "InitializeCard", "ChangePIN",
    "ChangePUK", "UnblockCard", "RemoveKeysFromCard", "RemoveKeysFromSmartCard",
    "RemoveKeysFromUSBToken",
  ];
  // How long a new control waits for the extension to answer before it reports it missing.
  const EXTENSION_TIMEOUT_MS = 3000;

  const controls = new Map();  // channel -> control
  let nextId = 1;

  // To this document only: its own origin, which for a sandboxed document is opaque ("null")
  // while location.origin still names the URL's, and a message addressed to that would be dropped.
  function post(message) {
    global.postMessage({ [FROM_PAGE]: message }, global.origin === "null" ? "*" : global.origin);
  }

  function veriquillError(message) {
    const e = new Error(message);
    e.name = "VeriquillError";
    return e;
  }

  global.addEventListener("message", (event) => {
    if (event.source !== global || !event.data || typeof event.data !== "object") return;
    const m = event.data[TO_PAGE];
    if (!m || typeof m !== "object") return;
    const ctrl = controls.get(m.channel);
    if (ctrl) ctrl._receive(m);
  });

  class VeriquillControl {
    constructor() {
      this._channel = `${Date.now().toString(36)}-${Math.random().toString(36).slice(2)}-${nextId++}`;
      this._pending = new Map();  // id -> { resolve, reject }
      this._ended = null;         // error text once the control can no longer be used
      this.ready = new Promise((resolve, reject) => {
        this._ready = { resolve, reject };
      });
      this.ready.catch(() => {});  // a page that never waits on it sees the error on its calls
      this._ackTimer = setTimeout(() => {
        this._end("the Veriquill browser extension is not installed or not enabled for this page");
      }, EXTENSION_TIMEOUT_MS);
      controls.set(this._channel, this);
      post({ kind: "open", channel: this._channel });
    }

    // Ends the control: the component forgets its keys and the next calls are refused.
    release() {
      if (!this._ended) post({ kind: "close", channel: this._channel });
      this._end("the control has been released");
    }

    _call(method, args) {
      if (this._ended) return Promise.reject(veriquillError(this._ended));
      const id = nextId++;
      return new Promise((resolve, reject) => {
        this._pending.set(id, { resolve, reject });
        post({ kind: "call", channel: this._channel, id, method, args });
      });
    }

    _end(error) {
      clearTimeout(this._ackTimer);
      if (this._ended) return;
      this._ended = error;
      this._ready.reject(veriquillError(error));
      for (const { reject } of this._pending.values()) reject(veriquillError(error));
      this._pending.clear();
      controls.delete(this._channel);
    }

    _receive(m) {
      switch (m.kind) {
        case "ack":
          clearTimeout(this._ackTimer);
          break;
        case "opened":
          this._ready.resolve(m.version);
          break;
        case "ended":
          this._end(m.error || "the signing component has stopped");
          break;
        case "result":
        case "error": {
          const p = this._pending.get(m.id);
          if (!p) return;
          this._pending.delete(m.id);
          if (m.kind === "error") p.reject(veriquillError(m.error));
          else p.resolve(m.value === null ? undefined : m.value);
          break;
        }
        case "script": {
          const fn = global[m.function];
          if (typeof fn === "function") {
            try {
              fn.apply(global, m.args);
            } catch (e) {
              // The page's handler is the page's business; the component ignores the outcome.
              setTimeout(() => { throw e; });
            }
          }
          break;
        }
      }
    }
  }

  for (const name of METHODS) {
    Object.defineProperty(VeriquillControl.prototype, name, {
      value: function (...args) {
        return this._call(name, args);
      },
    });
  }

  global.Veriquill = Object.freeze({
    METHODS: Object.freeze(METHODS.slice()),
    createControl: () => new VeriquillControl(),
  });
})(window);
