// The demo bank page: declares the user's key, signs an order, runs a log-in challenge and
// shows the on-screen keyboard, all through the Veriquill page API.
"use strict";

const $ = (id) => document.getElementById(id);
let ctrl = Veriquill.createControl();
let config = { keyId: "", keyName: "Demo key", keyPath: "" };
let wrongPasswords = 0;

// Names and orders travel as hex text of ISO-8859-2 bytes.
const ISO_8859_2 = { "Ą": 0xa1, "Ł": 0xa3, "Ś": 0xa6, "Ź": 0xac, "Ż": 0xaf, "ą": 0xb1, "ł": 0xb3,
  "ś": 0xb6, "ź": 0xbc, "ż": 0xbf, "Ć": 0xc6, "Ę": 0xca, "Ń": 0xd1, "Ó": 0xd3, "ć": 0xe6,
  "ę": 0xea, "ń": 0xf1, "ó": 0xf3 };
function isoHex(text) {
  let hex = "";
  for (const ch of text) {
    const b = ISO_8859_2[ch] ?? (ch.charCodeAt(0) < 0x80 ? ch.charCodeAt(0) : 0x3f);
    hex += b.toString(16).toUpperCase().padStart(2, "0");
  }
  return hex;
}
function utf8Hex(text) {
  return Array.from(new TextEncoder().encode(text), (b) => b.toString(16).toUpperCase().padStart(2, "0")).join("");
}

// The component calls this after a wrong key password.
window.componentWKPEvent = (first, keyId, keyName, count) => {
  wrongPasswords += 1;
  $("events").textContent = `componentWKPEvent: key ${keyId} ("${keyName}"), wrong password number ${count}`;
  document.body.dataset.wkp = `${keyId}|${keyName}|${count}`;
};

async function show(out, promise) {
  $(out).textContent = "…";
  try {
    const value = await promise;
    $(out).textContent = value === undefined ? "(done)" : value;
    return value;
  } catch (e) {
    $(out).textContent = `error: ${e.message}`;
    throw e;
  }
}

async function declareKeys() {
  await ctrl.SetLanguage(Number($("language").value));
  const set = await ctrl.SetKey(config.keyId, isoHex(config.keyName), config.keyId, 1);
  const loc = await ctrl.SetKeyLocation(config.keyId, utf8Hex(config.keyPath));
  return `SetKey: ${set}, SetKeyLocation: ${loc}`;
}

function orderHex() {
  const order = `_ZLECENIE_|1:Recipient:${$("recipient").value}|2:Amount:${$("amount").value}|` +
    `3:Title:${$("title").value}|4:Date:${new Date().toISOString().slice(0, 10)}|`;
  return isoHex(order);
}

const ignore = () => {};
$("test").onclick = () => show("test-out", ctrl.TestComponent()).catch(ignore);
$("language").onchange = () => ctrl.SetLanguage(Number($("language").value)).catch(ignore);
$("declare").onclick = () => show("keys-out", declareKeys()).catch(ignore);
$("location").onclick = () => show("keys-out", ctrl.GetKeyLocation(config.keyId)).catch(ignore);
$("sign").onclick = () => show("sign-out", ctrl.Sign(`|${config.keyId}|`, config.keyId, orderHex())).catch(ignore);
$("login").onclick = () =>
  show("login-out", ctrl.EncryptRand(`|${config.keyId}|`, config.keyId, "demo-user@" + location.host, 1, "")).catch(ignore);
$("keyboard").onclick = () => show("keyboard-out", ctrl.ShowKeyboard()).catch(ignore);

fetch("demo-config.json")
  .then((r) => (r.ok ? r.json() : {}))
  .then((c) => { config = { ...config, ...c }; document.body.dataset.ready = "1"; })
  .catch(() => { document.body.dataset.ready = "1"; });

// Tests and the curious reach the control from the console.
window.demo = { get ctrl() { return ctrl; }, newControl() { ctrl = Veriquill.createControl(); return ctrl; },
  get wrongPasswords() { return wrongPasswords; }, orderHex, isoHex, utf8Hex };
