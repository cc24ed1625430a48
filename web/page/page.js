// The station's page: tiles from the server's event stream, Start and Stop
// through the API, the last records read from the record file.
"use strict";

const params = new URLSearchParams(location.search);
if (params.has("token")) {
  sessionStorage.setItem("kelvora-token", params.get("token"));
}

function post(path) {
  const headers = {};
  const token = sessionStorage.getItem("kelvora-token");
  if (token) {
    headers.Authorization = "Bearer " + token;
  }
  return fetch(path, { method: "POST", headers }).then((r) => r.json().then((body) => {
    if (!r.ok) {
      alert(body.error || r.status);
    }
  }));
}

function element(tag, className, text) {
  const node = document.createElement(tag);
  if (className) node.className = className;
  if (text !== undefined) node.textContent = text;
  return node;
}

function tileClass(slot) {
  if (slot.state === "ended") return slot.end === "completed" ? "completed" : "failed";
  return slot.state;
}

function tile(slot) {
  const node = element("div", "tile " + tileClass(slot));
  node.id = "slot-" + slot.slot;
  const head = element("div", "head");
  head.append(element("span", "", slot.key + "  " + slot.port),
              element("span", "", slot.completed + " ok " + slot.failed + " failed"));
  node.append(head, element("div", "state", slot.state === "ended" ? slot.end : slot.state));
  node.append(element("div", "status", slot.status));
  if (slot.state === "running" && slot.total > 0) {
    const bar = element("progress");
    bar.max = slot.total;
    bar.value = slot.sent;
    node.append(bar, element("div", "", Math.floor(100 * slot.sent / slot.total) + " %"));
  }
  node.append(element("div", "message", slot.message));
  const start = element("button", "start", "Start");
  start.disabled = slot.state === "running";
  start.onclick = () => post("/api/slots/" + slot.slot + "/start");
  const stop = element("button", "stop", "Stop");
  stop.disabled = slot.state !== "running";
  stop.onclick = () => post("/api/slots/" + slot.slot + "/stop");
  node.append(start, stop, element("pre", "console"));
  return node;
}

let lastTotals = "";

function show(state) {
  document.getElementById("name").textContent = state.name;
  document.getElementById("image").textContent =
    state.image.path + "  " + state.image.bytes + " bytes  " + state.image.sha256.slice(0, 12);
  const t = state.totals;
  const done = t.completed + t.failed;
  document.getElementById("totals").textContent = "completed " + t.completed + "  failed " + t.failed +
    "  yield " + (done ? Math.round(100 * t.completed / done) + " %" : "-") + "  running " + t.running;
  const slots = document.getElementById("slots");
  for (const slot of state.slots) {
    const old = document.getElementById("slot-" + slot.slot);
    const fresh = tile(slot);
    if (old) {
      fresh.querySelector(".console").textContent = old.querySelector(".console").textContent;
      slots.replaceChild(fresh, old);
    } else {
      slots.append(fresh);
    }
  }
  if (Date.now() - consolesLoaded >= 1000) {
    loadConsoles();
  }
  const totals = JSON.stringify(t);
  if (totals !== lastTotals) {
    lastTotals = totals;
    loadRecords();
  }
}

function loadRecords() {
  fetch("/api/records?limit=50").then((r) => r.json()).then((records) => {
    const body = document.querySelector("#records tbody");
    body.replaceChildren();
    for (const record of records) {
      const row = element("tr");
      const seconds = Object.values(record.seconds || {}).reduce((sum, value) => sum + value, 0);
      for (const value of [record.ended, record.slot, record.port, record.end, record.blocks, seconds.toFixed(1)]) {
        row.append(element("td", "", value === undefined ? "" : String(value)));
      }
      row.onclick = () => {
        document.getElementById("record").textContent = JSON.stringify(record, null, 2);
      };
      body.append(row);
    }
  });
}

// The console panes, once a second: the box's text also after its run, so
// the reboot shows.
let consolesLoaded = 0;

function loadConsoles() {
  consolesLoaded = Date.now();
  for (const pane of document.querySelectorAll(".tile .console")) {
    const number = pane.parentNode.id.slice(5);
    fetch("/api/slots/" + number + "/console").then((r) => r.json()).then((body) => {
      const current = document.querySelector("#slot-" + number + " .console");
      // Line ends as a terminal shows them; the protocol's control bytes
      // (the loader's C and ACK answers among them) are left out.
      const text = body.console.replace(/\r/g, "").replace(/[\x00-\x08\x0b-\x1f\x7f]/g, "");
      if (current && current.textContent !== text) {
        current.textContent = text;
        current.scrollTop = current.scrollHeight;
      }
    }, () => {});
  }
}
setInterval(loadConsoles, 1000);

document.getElementById("start-all").onclick = () => post("/api/start");

function connect() {
  const link = document.getElementById("link");
  const events = new EventSource("/events");
  events.onopen = () => {
    link.textContent = "connected";
    link.className = "up";
  };
  events.onmessage = (event) => show(JSON.parse(event.data));
  // EventSource reconnects by itself; until then the page says so.
  events.onerror = () => {
    link.textContent = "cannot reach the station";
    link.className = "down";
  };
}
connect();
