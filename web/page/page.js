// The station's page: a tile per slot from the server's event stream, Start
// and Stop through the API, the last records read from the record file.
// Requests carry the station's cookie (set when the page was opened with
// ?token=), so the page itself holds no secret.
"use strict";

const $ = (id) => document.getElementById(id);

function element(tag, className, text) {
  const node = document.createElement(tag);
  if (className) node.className = className;
  if (text !== undefined) node.textContent = text;
  return node;
}

// The header's message line: the error of the last start or stop, until the
// next one succeeds.
function notice(text) {
  $("notice").textContent = text;
  $("notice").hidden = !text;
}

// Gives the answer's body when the request went through, else null (the
// notice then says why).
function post(path) {
  return fetch(path, { method: "POST", credentials: "same-origin" }).then(
    (r) => r.json().catch(() => ({})).then((body) => {
      notice(r.ok ? "" : path + ": " + (body.error || r.status + " " + r.statusText));
      return r.ok ? body : null;
    }),
    () => {
      notice(path + ": cannot reach the station");
      return null;
    });
}

// True while the event stream is down: nothing shown is known to be true.
let down = true;

// A button acts once: after a click the slot's buttons stay disabled until
// the state asked for arrives (or the request is refused), so a double click
// starts nothing twice.
function ask(tile, what) {
  tile.awaiting = { what: what, run: tile.shown ? tile.shown.run : 0 };
  if (tile.shown) showTile(tile, tile.shown);
  post("/api/slots/" + tile.number + "/" + what).then((body) => {
    if (!body && tile.awaiting && tile.awaiting.what === what) {
      tile.awaiting = null;
      if (tile.shown) showTile(tile, tile.shown);
    }
  });
}

// Whether the state a click asked for has arrived.
function arrived(awaiting, slot) {
  if (awaiting.what === "start") return slot.state === "running" || slot.run !== awaiting.run;
  return slot.state !== "running" || slot.run !== awaiting.run;
}

function bytesText(bytes) {
  if (bytes < 1024) return bytes + " B";
  if (bytes < 1024 * 1024) return (bytes / 1024).toFixed(1) + " KiB";
  return (bytes / 1024 / 1024).toFixed(1) + " MiB";
}

function durationText(seconds) {
  const s = Math.max(0, Math.round(seconds));
  const two = (n) => String(n).padStart(2, "0");
  return s >= 3600 ? Math.floor(s / 3600) + ":" + two(Math.floor(s / 60) % 60) + ":" + two(s % 60)
                   : Math.floor(s / 60) + ":" + two(s % 60);
}

// A tile is built once and then only its texts change, so that a button
// under the pointer is still the same button when the click lands.
function newTile(number) {
  const tile = element("div", "tile");
  tile.id = "slot-" + number;
  const parts = {
    key: element("span", "key"), port: element("span", "port"), counts: element("span", "counts"),
    start: element("button", "start control", "Start"), stop: element("button", "stop control", "Stop"),
    adapter: element("span", "adapter"), unit: element("span", "unit"), phase: element("span", "phase"),
    status: element("span", "status"), bar: element("progress"), transfer: element("span", "transfer"),
    message: element("div", "message"), console: element("pre", "console"),
  };
  parts.start.type = parts.stop.type = "button";
  parts.start.onclick = () => ask(tile, "start");
  parts.stop.onclick = () => ask(tile, "stop");
  const head = element("div", "head");
  head.append(parts.key, parts.port, parts.start, parts.stop);
  const facts = element("div", "facts");
  facts.append(parts.adapter, parts.unit, parts.counts);
  const line = element("div", "line");
  line.append(parts.phase, parts.status, parts.transfer);
  // The bar takes a line of its own, the tile's whole width.
  tile.append(head, facts, line, parts.bar, parts.message, parts.console);
  tile.parts = parts;
  tile.number = number;
  tile.changed = 0;
  tile.awaiting = null;
  return tile;
}

function showTile(tile, slot) {
  const p = tile.parts;
  tile.shown = slot;
  if (tile.awaiting && arrived(tile.awaiting, slot)) tile.awaiting = null;
  const phase = slot.phase;
  const seen = phase + " " + slot.run;
  if (tile.seen !== seen) {
    tile.seen = seen;
    tile.changed = Date.now();
  }
  tile.className = "tile " + phase;
  p.key.textContent = slot.key;
  p.port.textContent = p.port.title = slot.port;
  p.counts.textContent = slot.completed + " ok " + slot.failed + " failed";
  const a = slot.adapter;
  const facts = a ? [a.kind, a.serial, a.by_id].filter((fact) => fact) : [];
  p.adapter.textContent = p.adapter.title = facts.join(" · ");
  p.unit.textContent = slot.unit ? "unit " + slot.unit : "";
  p.unit.hidden = !slot.unit;
  p.phase.textContent = phase.replace("-", " ");
  // The status text tells what a run is doing; once it ended the message
  // tells how.
  const sending = phase === "sending" && slot.total > 0;
  // A running slot tells what its run does, an idle one what it waits for.
  p.status.textContent = p.status.title = slot.state === "running" ? (sending ? "" : slot.status) : slot.wait || "";
  p.status.hidden = sending;
  p.bar.hidden = p.transfer.hidden = !sending;
  if (sending) {
    p.bar.max = slot.total;
    p.bar.value = slot.sent;
    const parts = [Math.floor(100 * slot.sent / slot.total) + " %"];
    if (slot.rate != null) parts.push((slot.rate / 1024).toFixed(1) + " KiB/s");
    if (slot.seconds_left != null) parts.push(durationText(slot.seconds_left) + " left");
    p.transfer.textContent = parts.join(" · ");
  }
  // After a boot check, what decided it.
  p.message.textContent = p.message.title = slot.boot ? slot.boot_text : slot.message;
  const blocked = down || tile.awaiting !== null;
  p.start.disabled = blocked || slot.state === "running";
  p.stop.disabled = blocked || slot.state !== "running";
}

let lastTotals = "";

function show(state) {
  document.body.classList.toggle("batch", state.mode === "batch");
  $("name").textContent = state.name;
  document.title = state.name + " · Kelvora station";
  const image = state.image;
  $("image").textContent = image.path.split(/[\\/]/).pop() + "  " + bytesText(image.bytes) + "  sha256 " +
    image.sha256.slice(0, 12);
  $("image").title = image.path + "\n" + image.bytes + " bytes\nSHA-256 " + image.sha256;
  const t = state.totals;
  const figures = [["completed", t.completed], ["failed", t.failed],
                   ["yield", t.yield == null ? "–" : t.yield.toFixed(1) + " %"],
                   ["boxes/h", t.boxes_per_hour == null ? "–" : t.boxes_per_hour.toFixed(1)],
                   ["running", t.running]];
  $("totals").replaceChildren(...figures.flatMap(([label, value], i) =>
    [(i ? "  " : "") + label + " ", element("b", "", String(value))]));
  $("target").hidden = !state.target;
  if (state.target && state.target.reached) {
    $("target").replaceChildren("target " + state.target.boxes + " ", element("b", "", "reached"));
  } else if (state.target) {
    $("target").replaceChildren("target " + state.target.boxes + ": ", element("b", "", String(state.target.left)),
                                " left");
  }

  const slots = $("slots");
  for (const slot of state.slots) {
    let tile = $("slot-" + slot.slot);
    if (!tile) {
      tile = newTile(slot.slot);
      slots.append(tile);
      loadConsole(tile, slot.slot);
    }
    showTile(tile, slot);
  }
  while (slots.children.length > state.slots.length) {
    slots.lastChild.remove();
  }
  const totals = JSON.stringify([t.completed, t.failed]);
  if (totals !== lastTotals) {
    lastTotals = totals;
    loadRecords(false);
  }
}

// Down: greys the page and disables every button; up: as the state shows.
function linkShown(up) {
  down = !up;
  document.body.classList.toggle("down", down);
  $("start-all").disabled = down || startingAll;
  for (const tile of document.querySelectorAll(".tile")) {
    if (tile.shown) showTile(tile, tile.shown);
  }
}

function timeText(iso) {
  const when = new Date(iso);
  if (isNaN(when)) return iso || "";
  const two = (n) => String(n).padStart(2, "0");
  const time = two(when.getHours()) + ":" + two(when.getMinutes()) + ":" + two(when.getSeconds());
  if (when.toDateString() === new Date().toDateString()) return time;
  return when.getFullYear() + "-" + two(when.getMonth() + 1) + "-" + two(when.getDate()) + " " + time;
}

// The records table: this station's last 50, or every station's. After the
// first load only the records appended since are fetched (the answer's end
// is where the next fetch starts).
const kRecordsShown = 50;
let recordsEnd = null;

function recordRow(record) {
  const good = ["completed", "cancelled", "already-flashed"].includes(record.end) && record.boot !== "boot-failed";
  const row = element("tr", good ? "" : "failed");
  const seconds = Object.values(record.seconds || {}).reduce((sum, value) => sum + value, 0);
  for (const [name, value] of [["time", timeText(record.ended)], ["slot", record.slot], ["port", record.port],
                               ["unit", record.unit], ["end", record.boot ? record.end + " · " + record.boot : record.end],
                               ["blocks", record.blocks],
                               ["seconds", seconds.toFixed(1)], ["station", record.station]]) {
    row.append(element("td", name, value == null ? "" : String(value)));
  }
  row.onclick = () => {
    const pane = $("record");
    const text = JSON.stringify(record, null, 2);
    pane.hidden = !pane.hidden && pane.textContent === text;
    pane.textContent = text;
  };
  return row;
}

// The records' filters as a query: every station's or this one's, one unit's.
function recordsFilter() {
  const unit = $("unit-filter").value.trim();
  return ($("all-stations").checked ? "&station=*" : "") + (unit ? "&unit=" + encodeURIComponent(unit) : "");
}

function loadRecords(anew) {
  const all = $("all-stations").checked;
  const filter = recordsFilter();
  const since = anew || recordsEnd === null ? null : recordsEnd;
  $("records-csv").href = "/api/records.csv?limit=500" + filter;
  const query = "?limit=" + kRecordsShown + filter + (since === null ? "" : "&after=" + since);
  fetch("/api/records" + query).then((r) => r.ok ? r.json() : Promise.reject(r.status)).then((page) => {
    if (filter !== recordsFilter()) return;
    if (since !== null && page.end < since) {
      loadRecords(true);  // the file was replaced: read it anew
      return;
    }
    recordsEnd = page.end;
    const body = document.querySelector("#records tbody");
    const rows = page.records.map(recordRow);
    if (since === null) {
      body.replaceChildren(...rows);
    } else {
      body.prepend(...rows);
      while (body.children.length > kRecordsShown) body.lastChild.remove();
    }
    $("records").classList.toggle("all", all);
  }, () => {});
}

$("all-stations").onchange = () => loadRecords(true);
$("unit-filter").oninput = () => loadRecords(true);

// The console panes: the box's text while it runs and for a while after a
// change, so that what it prints at its verdict and reboot shows too.
const kConsoleAfterChange = 20000;

function loadConsole(tile, number) {
  fetch("/api/slots/" + number + "/console").then((r) => r.json()).then((body) => {
    // Line ends as a terminal shows them; the protocol's control bytes
    // (the loader's C and ACK answers among them) are left out.
    const text = body.console.replace(/\r/g, "").replace(/[\x00-\x08\x0b-\x1f\x7f]/g, "");
    const pane = tile.parts.console;
    if (pane.textContent !== text) {
      const atEnd = pane.scrollTop + pane.clientHeight >= pane.scrollHeight - 4;
      pane.textContent = text;
      if (atEnd) pane.scrollTop = pane.scrollHeight;
    }
  }, () => {});
}

setInterval(() => {
  for (const tile of document.querySelectorAll(".tile")) {
    if (tile.parts.stop.disabled === false || Date.now() - tile.changed < kConsoleAfterChange) {
      loadConsole(tile, tile.id.slice(5));
    }
  }
}, 1000);

// Start all ready acts once until its answer came; the slots it started
// then wait for their state as a Start click does.
let startingAll = false;
$("start-all").onclick = () => {
  startingAll = true;
  $("start-all").disabled = true;
  post("/api/start").then((body) => {
    for (const number of (body && body.started) || []) {
      const tile = $("slot-" + number);
      if (tile && tile.shown) {
        tile.awaiting = { what: "start", run: tile.shown.run };
        showTile(tile, tile.shown);
      }
    }
    startingAll = false;
    $("start-all").disabled = down;
  });
};

function connect() {
  const link = $("link");
  const events = new EventSource("/events");
  events.onopen = () => {
    link.textContent = "connected";
    link.className = "up";
    // A refusal from while the station was away no longer holds.
    notice("");
    loadRecords(true);
  };
  events.onmessage = (event) => {
    show(JSON.parse(event.data));
    if (down) linkShown(true);
  };
  // EventSource tries again by itself while the station cannot be reached;
  // an answer that is no event stream ends it, so then the page tries anew,
  // or, when the station wants its token (a station started anew does not
  // know this page's cookie), loads the page that asks for it.
  events.onerror = () => {
    link.textContent = "cannot reach the station";
    link.className = "down";
    linkShown(false);
    if (events.readyState === EventSource.CLOSED) {
      fetch("/api/station").then((r) => {
        if (r.status === 401) location.reload();
      }, () => {});
      setTimeout(connect, 2000);
    }
  };
}
linkShown(false);
connect();
