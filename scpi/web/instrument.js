// One instrument's front panel. Everything it does to the instrument is a
// SCPI message sent over the page's WebSocket, run by the server exactly as
// a socket client's message is (same commands, same errors); the answer line
// comes back with the errors the message queued (the page's error queue as
// SYST:ERR? reads it, taken by the server right after the message) and the
// library's words when the instrument failed. The server pushes the
// instrument's state and readings several times a second, with the numbers
// already formatted: the page computes nothing of the instrument's.

const index = Number(location.pathname.split("/").pop());
const $ = (id) => document.getElementById(id);

// ---- The connection ----------------------------------------------------

let socket = null;
let session = null; // {token, read_only, most_upload_bytes}
let nextId = 1;
const pending = new Map(); // id -> {resolve, reject}
let reconnectDelay = 500;

function showConnection(text, kind) {
  const banner = $("connection");
  banner.textContent = text;
  banner.className = "banner " + (kind || "");
  banner.hidden = kind === "ok";
}

async function connect() {
  try {
    const response = await fetch("/api/session", { cache: "no-store" });
    if (!response.ok) throw new Error(await response.text());
    session = await response.json();
  } catch (error) {
    return retry("the server does not answer (" + error.message + ")");
  }
  const url = (location.protocol === "https:" ? "wss://" : "ws://") + location.host +
    "/ws/instrument/" + index + "?token=" + encodeURIComponent(session.token);
  socket = new WebSocket(url);
  socket.onopen = () => {
    reconnectDelay = 500;
    showConnection("Connected", "ok");
  };
  socket.onmessage = (event) => receive(JSON.parse(event.data));
  socket.onclose = () => {
    for (const { reject } of pending.values()) reject(new Error("the connection to the server was lost"));
    pending.clear();
    socket = null;
    retry("the connection to the server was lost");
  };
}

function retry(why) {
  showConnection("Not connected: " + why + ". Reconnecting…", "bad");
  setTimeout(connect, reconnectDelay);
  reconnectDelay = Math.min(reconnectDelay * 2, 2000);
}

function receive(message) {
  if (message.type === "hello") {
    $("read-only").hidden = !message.read_only;
    document.body.classList.toggle("read-only", message.read_only);
    // The server refuses every change from a read-only page (-203); its
    // controls say so at once.
    for (const control of document.querySelectorAll("[data-scpi], #out-bits input, #counter-clear, #store, #csv-file")) {
      control.disabled = message.read_only;
    }
  } else if (message.type === "reply") {
    const waiter = pending.get(message.id);
    pending.delete(message.id);
    if (waiter) waiter.resolve(message);
  } else if (message.type === "live") {
    showLive(message);
  }
}

// Sends one SCPI message; resolves to {answer (a line, or null), errors,
// words}.
function send(text) {
  return new Promise((resolve, reject) => {
    if (!socket || socket.readyState !== WebSocket.OPEN) {
      reject(new Error("not connected to the server"));
      return;
    }
    const id = nextId++;
    pending.set(id, { resolve, reject });
    socket.send(id + " " + text);
  });
}

// Runs a command for a part of the page, and says there what went wrong:
// the errors of this message only, whatever else the page sends meanwhile.
async function command(text, errorsId) {
  const where = $(errorsId);
  try {
    const reply = await send(text);
    const errors = [...reply.errors];
    if (reply.words) errors.push(reply.words);
    where.textContent = errors.length ? text + ": " + errors.join("\n") : "";
    return reply;
  } catch (error) {
    where.textContent = text + ": " + error.message;
    return null;
  }
}

// ---- What the server pushes --------------------------------------------

let live = {};
let powerOn = null;
let waveKey = "";

// The server sends null for not-a-number.
const number = (text) => (text === undefined || text === null || text === "" ? NaN : Number(text));
let shown = {};
const formatted = (query) => shown[query] || "–";

// A number as a person reads it: "+1.00016002560E+03" is 1000.1600256.
function plain(text) {
  const value = number(text);
  return isFinite(value) ? String(value) : "–";
}

function setField(id, text) {
  const field = $(id);
  if (document.activeElement === field || text === undefined) return; // being edited
  field.value = text === null ? "" : plain(text);
}

const isOn = (text) => text === "1" || text === "ON";

function setSwitch(id, text) {
  if (text === undefined || text === null) return;
  $(id).checked = isOn(text);
}

// Shows what the instrument answered, even a choice the page has no name
// for: a box never goes blank.
function showChoice(select, value) {
  if (![...select.options].some((option) => option.value === value)) select.add(new Option(value, value));
  select.value = value;
}

function showLive(message) {
  live = message.values;
  shown = message.shown;
  powerOn = message.power_on;
  const v = live;
  $("title").textContent = "instrument " + index + (v["*IDN?"] ? " · " + (v["*IDN?"].split(",")[2] || "") : "");
  if (v["FUNC?"] && document.activeElement !== $("shape")) showChoice($("shape"), v["FUNC?"]);
  setField("frequency", v["FREQ?"]);
  setField("amplitude", v["VOLT?"]);
  $("amplitude-unit").textContent = formatted("VOLT:UNIT?");
  setField("offset", v["VOLT:OFFS?"]);
  setSwitch("output-on", v["OUTP?"]);
  setSwitch("single", v["SING?"]);
  setSwitch("trigger", v["TRIG?"]);
  setSwitch("trigger-option", v["TRIG:OPT?"]);
  setSwitch("dio-mode", v["DIG:MODE?"]);
  // The meter in the mode it is in: read, never switched, by the server.
  const counting = v["SENS:FUNC?"] === "TOT";
  $("meter-label").textContent = counting ? "Counter" : "Frequency";
  $("meter-reading").textContent = formatted("READ?");
  if (v["SENS:FUNC?"] && document.activeElement !== $("meter-mode")) $("meter-mode").value = v["SENS:FUNC?"];
  $("plan-divider").textContent = plain(v["DIV?"]);
  $("plan-length").textContent = plain(v["DATA:DAC:POIN?"]);
  $("plan-periods").textContent = plain(v["DATA:DAC:PER?"]);
  $("plan-clock").textContent = formatted("SRAT?");
  $("plan-produced").textContent = formatted("FREQ?");
  $("plan-warnings").replaceChildren(...message.warnings.map((w) => {
    const item = document.createElement("li");
    item.textContent = w;
    return item;
  }));
  showBits("out-bits", number(v["DIG:OUTP?"]), true);
  showBits("in-bits", number(v["DIG:INP?"]), false);
  const words = $("instrument-words");
  words.hidden = !message.words;
  words.textContent = message.words;
  // The wave memory is read again when what it holds, or what plays of it,
  // may have changed.
  const key = ["FUNC?", "FREQ?", "VOLT?", "VOLT:OFFS?", "DIV?", "DATA:DAC:POIN?", "DATA:DAC:PER?", "OUTP?"]
    .map((q) => v[q]).join("|");
  if (key !== waveKey) {
    waveKey = key;
    readWaveMemory();
  }
}

function sampleClock() {
  return number(live["SRAT?"]);
}

// ---- Digital I/O -------------------------------------------------------

function makeBits() {
  for (const [id, output] of [["out-bits", true], ["in-bits", false]]) {
    const box = $(id);
    for (let bit = 15; bit >= 0; bit--) {
      const label = document.createElement("label");
      let control;
      if (output) {
        control = document.createElement("input");
        control.type = "checkbox";
        control.id = "out-bit-" + bit;
        control.addEventListener("change", () => {
          const word = Array.from({ length: 16 }, (_, b) => ($("out-bit-" + b).checked ? 1 << b : 0))
            .reduce((a, b) => a | b, 0);
          command("DIG:OUTP " + word, "digital-errors");
        });
      } else {
        control = document.createElement("span");
        control.className = "lamp";
        control.id = "in-bit-" + bit;
        control.setAttribute("role", "img");
        control.setAttribute("aria-label", "input bit " + bit + " off");
      }
      label.append(control, "bit " + bit);
      box.append(label);
    }
  }
}

function showBits(id, word, output) {
  if (!isFinite(word)) return;
  for (let bit = 0; bit < 16; bit++) {
    const on = (word & (1 << bit)) !== 0;
    if (output) {
      const box = $("out-bit-" + bit);
      if (document.activeElement !== box) box.checked = on;
    } else {
      const lamp = $("in-bit-" + bit);
      lamp.classList.toggle("on", on);
      lamp.setAttribute("aria-label", "input bit " + bit + (on ? " on" : " off"));
    }
  }
}

// ---- Plots -------------------------------------------------------------

let memory = []; // the loaded samples, 0..65535

async function readWaveMemory() {
  try {
    const reply = await send("DATA:DAC?");
    memory = reply.answer && !reply.errors.length ? reply.answer.split(",").map(Number) : [];
    $("memory-caption").textContent = reply.errors.length ? "The wave memory cannot be read back: " + reply.errors.join("; ") : "";
  } catch {
    memory = [];
  }
  drawPlots();
}

// The volts of codes 0 and 65535, as the server has them; the codes between
// lie on the line between.
function fullScaleVolts() {
  return session && session.volts_at_codes ? session.volts_at_codes : null;
}

function toVolts(sample) {
  const [low, high] = fullScaleVolts();
  return low + ((high - low) * sample) / 65535;
}

const ZERO_VOLT_CODE = 65535 / 2; // offset binary: 0 V is mid-scale

// About five ticks over `span`, at 1, 2 or 5 times a power of ten.
function tickStep(span) {
  const rough = span / 5, power = 10 ** Math.floor(Math.log10(rough));
  return [1, 2, 5, 10].map((m) => m * power).find((step) => step >= rough);
}

// The unit of time that puts `seconds` at 1 or more of it.
function timeUnit(seconds) {
  return [[1, "s"], [1e-3, "ms"], [1e-6, "µs"]].find(([size]) => seconds >= size) || [1e-9, "ns"];
}

// Draws samples as the DAC plays them: each value held for `dt` (in the x
// axis' units) until the next, so a step shows as a step and a few samples
// are not joined by slopes they do not have.
function plot(canvas, values, { yMin, yMax, yLabel, xTitle, dt = 1, minStep = 0 }) {
  // Drawn at the size it shows, so its text is not stretched.
  const ratio = window.devicePixelRatio || 1;
  const w = canvas.clientWidth || canvas.width, h = canvas.clientHeight || canvas.height;
  canvas.width = Math.round(w * ratio);
  canvas.height = Math.round(h * ratio);
  const ctx = canvas.getContext("2d");
  ctx.setTransform(ratio, 0, 0, ratio, 0, 0);
  const left = 56, right = 14, top = 8, bottom = h - 34;
  ctx.font = "11px system-ui, sans-serif";
  ctx.fillStyle = "#5b6576";
  ctx.strokeStyle = "#d5dae2";
  ctx.lineWidth = 1;
  const line = (x0, y0, x1, y1) => {
    ctx.beginPath();
    ctx.moveTo(x0, y0);
    ctx.lineTo(x1, y1);
    ctx.stroke();
  };
  const y = (v) => top + (bottom - top) * (1 - (v - yMin) / (yMax - yMin));
  for (let i = 0; i <= 4; i++) {
    const value = yMin + ((yMax - yMin) * i) / 4;
    line(left, y(value), w - right, y(value));
    ctx.fillText(Math.abs(value) >= 1000 ? value.toFixed(0) : String(Number(value.toPrecision(3))), 2, y(value) + 4);
  }
  ctx.fillText(yLabel, 2, h - 3);
  const span = values.length * dt || 1;
  const x = (t) => left + ((w - left - right) * t) / span;
  const step = Math.max(tickStep(span), minStep);
  const decimals = Math.max(0, -Math.floor(Math.log10(step) + 1e-9));
  ctx.textAlign = "center";
  for (let k = 0; k * step <= span * (1 + 1e-9); k++) {
    line(x(k * step), top, x(k * step), bottom + 4);
    ctx.fillText((k * step).toFixed(decimals), x(k * step), bottom + 15);
  }
  ctx.fillText(xTitle, (left + w - right) / 2, h - 3);
  ctx.textAlign = "start";
  if (values.length === 0) return;
  ctx.strokeStyle = "#1f6feb";
  ctx.lineWidth = 1.5;
  ctx.beginPath();
  values.forEach((v, i) => {
    if (i === 0) ctx.moveTo(x(0), y(v));
    else ctx.lineTo(x(i * dt), y(v));
    ctx.lineTo(x((i + 1) * dt), y(v));
  });
  ctx.stroke();
}

function drawPlots() {
  const volts = document.querySelector('input[name="memory-scale"]:checked').value === "volts" && fullScaleVolts();
  const scale = volts ? toVolts : (s) => s;
  const range = volts ? { yMin: toVolts(0), yMax: toVolts(65535), yLabel: "V" }
    : { yMin: 0, yMax: 65535, yLabel: "code" };
  plot($("memory-plot"), memory.map(scale), { ...range, xTitle: "samples", minStep: 1 });
  $("memory-caption").textContent ||= memory.length ? memory.length + " samples loaded" : "Nothing loaded yet";
  // Two periods as the instrument plays them: each sample held for one
  // tick of the sample clock, the memory looped; with the output off, as
  // many samples of 0 V.
  const on = isOn(live["OUTP?"]);
  const periods = number(live["DATA:DAC:PER?"]) || 1;
  const count = memory.length ? Math.min(memory.length * 2, Math.round((2 * memory.length) / periods)) : 0;
  const played = Array.from({ length: count }, (_, i) => scale(on ? memory[i % memory.length] : ZERO_VOLT_CODE));
  const clock = sampleClock();
  const [size, unit] = clock > 0 && isFinite(clock) ? timeUnit(count / clock) : [0, ""];
  plot($("output-plot"), played, { ...range, dt: size ? 1 / (clock * size) : 1, xTitle: size ? "time (" + unit + ")" : "samples" });
  $("output-caption").textContent = !count ? ""
    : on ? "Two periods of the output as played (" + formatted("FREQ?") + ")"
    : "Output off: it plays 0 V (the wave memory plays when it is on)";
}

// ---- The controls ------------------------------------------------------

function wireControls() {
  for (const id of ["frequency", "amplitude", "offset"]) {
    const field = $(id);
    field.addEventListener("change", () => command(field.dataset.scpi + " " + field.value.trim(), "output-errors"));
  }
  $("output-form").addEventListener("submit", (event) => event.preventDefault());
  $("shape").addEventListener("change", () => command("FUNC " + $("shape").value, "output-errors"));
  for (const [id, errors] of [["output-on", "output-errors"], ["single", "digital-errors"],
    ["trigger", "digital-errors"], ["trigger-option", "digital-errors"], ["dio-mode", "digital-errors"]]) {
    const box = $(id);
    box.addEventListener("change", () => command(box.dataset.scpi + (box.checked ? " ON" : " OFF"), errors));
  }
  $("counter-clear").addEventListener("click", () => command("TOT:CLE", "meter-errors"));
  $("meter-mode").addEventListener("change", () => command("SENS:FUNC " + $("meter-mode").value, "meter-errors"));
  $("store").addEventListener("click", () => {
    const what = $("store-what").value;
    const name = "instrument " + index;
    if (what === "CURR" && !powerOn) {
      $("store-errors").textContent = "The instrument's settings are not known yet: nothing stored.";
      return;
    }
    const text = what === "WAV"
      ? "Store the loaded waveform (" + (live["DATA:DAC:POIN?"] || "?") + " samples) as the power-on output of " + name + "?"
      : "Store the current settings (" + powerOn + ") as the power-on output of " + name + "?";
    if (confirm(text)) command("SYST:PON:STOR " + what, "store-errors");
  });
  for (const radio of document.querySelectorAll('input[name="memory-scale"]')) radio.addEventListener("change", drawPlots);
  window.addEventListener("resize", drawPlots);
  $("console-form").addEventListener("submit", async (event) => {
    event.preventDefault();
    const text = $("console-input").value.trim();
    if (!text) return;
    const log = $("console-log");
    const say = (line) => {
      log.textContent += line + "\n";
      log.scrollTop = log.scrollHeight;
    };
    say("> " + text);
    try {
      const reply = await send(text);
      if (reply.answer !== null) say("< " + reply.answer);
      if (reply.words) say("! " + reply.words);
      say("  error queue: " + (reply.errors.length ? reply.errors.join("; ") : '0,"No error"'));
    } catch (error) {
      say("! " + error.message);
    }
    $("console-input").select();
  });
  wireUpload();
}

function wireUpload() {
  let samples = null;
  // Read again when a box changes: raw codes and clipping are the tool's
  // --raw and --clip, said explicitly.
  const preview = async () => {
    const file = $("csv-file").files[0];
    samples = null;
    $("csv-load").disabled = true;
    $("csv-errors").textContent = "";
    $("csv-description").textContent = "";
    $("csv-plot").hidden = true;
    if (!file) return;
    if (session && file.size > session.most_upload_bytes) {
      $("csv-errors").textContent = file.name + " is " + file.size + " bytes; the server takes uploads of at most " +
        Math.round(session.most_upload_bytes / 1024) + " KiB.";
      return;
    }
    try {
      const options = ($("csv-raw").checked ? "raw=1&" : "") + ($("csv-clip").checked ? "clip=1" : "");
      const response = await fetch("/api/instrument/" + index + "/csv?" + options, {
        method: "POST", body: await file.text(),
        headers: { "Content-Type": "text/csv", "X-Velmar-Token": session ? session.token : "" },
      });
      const text = await response.text();
      if (!response.ok) throw new Error(text.trim());
      const preview = JSON.parse(text);
      samples = preview.samples;
      $("csv-raw").closest("label").classList.toggle("suggested", preview.looks_like_codes);
      $("csv-description").textContent = file.name + ": " + preview.description +
        (preview.clipped ? ", " + preview.clipped + " clipped to full scale" : "") + ". Preview below; Load puts it in the wave memory." +
        (preview.looks_like_codes ? " The values look like DAC codes: tick raw DAC codes to play them as they are." : "");
      $("csv-plot").hidden = false;
      plot($("csv-plot"), samples, { yMin: 0, yMax: 65535, yLabel: "code", xTitle: "samples", minStep: 1 });
      $("csv-load").disabled = false;
    } catch (error) {
      $("csv-errors").textContent = file.name + ": " + error.message;
    }
  };
  for (const id of ["csv-file", "csv-raw", "csv-clip"]) $(id).addEventListener("change", preview);
  $("csv-load").addEventListener("click", async () => {
    if (!samples) return;
    const reply = await command("DATA:DAC " + samples.join(","), "csv-errors");
    if (reply && !$("csv-errors").textContent) $("csv-description").textContent += " Loaded.";
  });
}

makeBits();
wireControls();
$("address").textContent = "";
fetch("/api/instruments", { cache: "no-store" }).then((r) => r.json()).then((list) => {
  const me = list.instruments.find((i) => i.index === index);
  if (me) $("address").textContent = "SCPI: " + me.address;
}).catch(() => {});
connect();
