// The practice console: one state object holding every record the engine was sent, a desk of
// strips drawn from it, panels for the analyser, loudness, feedback, auto-EQ, exercises and
// patching, and the listen stream played through the browser. Every change sends the whole record
// it belongs to, since the engine replaces a record whole.
import * as dsp from "./dsp.js";
import { Listener } from "./audio.js";

// ---------------------------------------------------------------------------------------------
// Records

const FIELDS = {  // the fields of each record in the engine's order (records may come as arrays)
  strip: ["gain_db", "invert", "delay_ms", "hpf", "gate", "eq", "dyn", "fader", "pan", "lr", "mono",
    "sends", "peq32", "geq", "aeq", "bleed", "amix"],
  hpf: ["f", "slope"],
  gate: ["mode", "thr", "range", "attack", "hold", "release"],
  dyn: ["exp", "rms", "thr", "ratio", "knee", "mgain", "attack", "hold", "release", "mix"],
  band: ["type", "f", "g", "q"],
  send: ["lin", "tap"],
  aeq: ["on", "target", "curve", "amount", "max_cut", "max_boost", "speed_s", "lo", "hi"],
  bleed: ["on", "mode", "ref", "amount", "lo", "hi", "thr"],
  amix: ["group", "weight_db"],
  fba: ["on", "mode", "sensitivity", "persist", "first_cut", "step", "max_cut", "max_notches",
    "hold_s", "content"],
};
const DEFAULTS = {
  hpf: { f: 80, slope: 12 },
  gate: { mode: "gate", thr: -50, range: 40, attack: 1, hold: 50, release: 200 },
  dyn: { exp: false, rms: false, thr: -20, ratio: 3, knee: 2, mgain: 0, attack: 10, hold: 0,
    release: 150, mix: 100 },
  band: { type: "peq", f: 1000, g: 0, q: 2 },
  send: { lin: 0, tap: 0 },
  aeq: { on: true, target: null, curve: "flat", amount: 0.6, max_cut: 6, max_boost: 0, speed_s: 8,
    lo: 60, hi: 16000 },
  bleed: { on: true, mode: "cancel", ref: 0, amount: 0.8, lo: 4000, hi: 14000, thr: -40 },
  amix: { group: 0, weight_db: 0 },
  fba: { on: false, mode: "live", sensitivity: 15, persist: 8, first_cut: -6, step: -3,
    max_cut: -18, max_notches: 12, hold_s: 60, content: "mixed" },
};
const KEYS = {  // what each kind of channel uses
  strip: FIELDS.strip,
  bus: ["eq", "peq32", "geq", "aeq", "dyn", "fader", "pan", "lr", "mono"],
  mono: ["eq", "peq32", "geq", "aeq", "dyn", "fader"],
  main: ["eq", "peq32", "geq", "aeq", "dyn", "fader"],
};
const BASE = { gain_db: 0, invert: false, delay_ms: 0, hpf: null, gate: null, eq: [], dyn: null,
  fader: 1, pan: 0, lr: true, mono: 0, sends: [], peq32: [], geq: [], aeq: null, bleed: null,
  amix: null };
const OUTPUTS = ["main", "mono", ...Array.from({ length: 8 }, (_, i) => `bus.${i + 1}`)];

const clone = (v) => JSON.parse(JSON.stringify(v));
const isObj = (v) => v && typeof v === "object" && !Array.isArray(v);

function asObject(value, fields) {
  if (Array.isArray(value)) return Object.fromEntries(value.map((v, i) => [fields[i], v]));
  return isObj(value) ? value : null;
}

function subRecord(kind, value) {
  const obj = asObject(value, FIELDS[kind]);
  if (!obj) return null;
  const out = clone(DEFAULTS[kind]);
  for (const k of FIELDS[kind]) if (k in obj && obj[k] !== null) out[k] = obj[k];
  if (kind === "aeq" && !("on" in obj)) out.on = false;
  if (kind === "bleed" && !("on" in obj)) out.on = false;
  if (kind === "fba" && !("on" in obj)) out.on = false;
  return out;
}

// A settings record as the engine would decode it, every field present.
function normalise(kind, s) {
  const src = asObject(s, FIELDS.strip) || {};
  const out = {};
  for (const k of KEYS[kind]) {
    const v = src[k];
    if (["hpf", "gate", "dyn", "aeq", "bleed", "amix"].includes(k)) out[k] = subRecord(k, v);
    else if (k === "eq" || k === "peq32") out[k] = Array.isArray(v) ? v.map((b) => subRecord("band", b)).filter(Boolean) : [];
    else if (k === "sends") out[k] = Array.isArray(v) ? v.map((b) => subRecord("send", b)).filter(Boolean) : [];
    else if (k === "geq") out[k] = Array.isArray(v) ? v.filter((g) => typeof g === "number") : [];
    else out[k] = v === undefined || v === null ? clone(BASE[k]) : v;
  }
  return out;
}

// ---------------------------------------------------------------------------------------------
// State

const state = {
  rate: 48000, inputs: 16, outputs: 2, names: [],
  strips: Array.from({ length: 32 }, () => normalise("strip", {})),
  buses: Array.from({ length: 8 }, () => normalise("bus", {})),
  main: normalise("main", {}), mono: normalise("mono", {}),
  mutes: {},  // channel id -> true; a muted channel is sent with its fader at 0
  fba: Object.fromEntries(OUTPUTS.map((o) => [o, clone(DEFAULTS.fba)])),
  patch: { ins: Array.from({ length: 32 }, (_, i) => i), outs: ["main.l", "main.r"] },
  rta: "main", loud: "main",
  listen: { src: "main", pfl: false },
};
const live = {  // what the engine reports: never saved, never sent
  meters: null, peaks: {}, holds: {}, clips: {}, loud: null, loudHist: [], rta: null, rtaSrc: "",
  fba: {}, aeq: {}, library: null, selected: "in.1", ended: null, connected: false,
  fbaTarget: "main", exercise: 0, lastM: 0,
};

function channelOf(id) {
  if (id === "main" || id === "mono") return { kind: id, id };
  const [k, n] = id.split(".");
  return { kind: k === "in" ? "strip" : "bus", i: Number(n) - 1, id };
}
function recordOf(id) {
  const ch = channelOf(id);
  if (ch.kind === "strip") return state.strips[ch.i];
  if (ch.kind === "bus") return state.buses[ch.i];
  return state[ch.kind];
}
function setRecord(id, rec) {
  const ch = channelOf(id);
  if (ch.kind === "strip") state.strips[ch.i] = rec;
  else if (ch.kind === "bus") state.buses[ch.i] = rec;
  else state[ch.kind] = rec;
}
function channelName(id) {
  const ch = channelOf(id);
  if (ch.kind === "strip") return state.names[ch.i] || `In ${ch.i + 1}`;
  if (ch.kind === "bus") return `Bus ${ch.i + 1}`;
  return ch.kind === "main" ? "Main" : "Mono";
}

// ---------------------------------------------------------------------------------------------
// The bridge

let ws = null;
const listener = new Listener(() => showListenStats(), (msg) => take(msg));

function send(cmd) {
  if (ws && ws.readyState === WebSocket.OPEN) ws.send(JSON.stringify(cmd));
}

function wire(id) {
  const rec = clone(recordOf(id));
  if (state.mutes[id]) rec.fader = 0;
  return rec;
}

function sendChannel(id) {
  const ch = channelOf(id);
  if (ch.kind === "strip" || ch.kind === "bus") send({ t: ch.kind, i: ch.i, s: wire(id) });
  else send({ t: ch.kind, s: wire(id) });
}

function sendListen() {
  const l = state.listen;
  let src = l.src;
  if (/^in\.\d+$/.test(src)) src += l.pfl ? ".pre" : ".post";
  send({ t: "listen", src });
}

function sendPatch() {
  send({ t: "patch", ins: state.patch.ins, outs: state.patch.outs });
}

// A command the page did not make itself (an exercise, a scene, another page): folded into the
// state, then sent as it is.
function adopt(cmd, andSend) {
  const t = cmd.t;
  if (t === "strip" || t === "bus") {
    const i = Number.isInteger(cmd.i) ? cmd.i : 0;
    if (i >= 0 && i < (t === "strip" ? 32 : 8)) {
      const id = t === "strip" ? `in.${i + 1}` : `bus.${i + 1}`;
      setRecord(id, normalise(t, cmd.s));
      delete state.mutes[id];
    }
  } else if (t === "main" || t === "mono") {
    setRecord(t, normalise(t, cmd.s));
    delete state.mutes[t];
  } else if (t === "patch") {
    state.patch = { ins: Array.isArray(cmd.ins) ? cmd.ins.map((v) => (Number.isInteger(v) ? v : -1)) : [],
      outs: Array.isArray(cmd.outs) ? cmd.outs.map((v) => (typeof v === "string" ? v : "off")) : [] };
  } else if (t === "fba" && OUTPUTS.includes(cmd.target)) {
    state.fba[cmd.target] = subRecord("fba", cmd.cfg) || clone(DEFAULTS.fba);
  } else if (t === "rta") {
    state.rta = typeof cmd.src === "string" ? cmd.src : "off";
  } else if (t === "loud") {
    state.loud = typeof cmd.src === "string" ? cmd.src : "main";
  } else if (t === "listen") {
    const m = /^(in\.\d+)(\.pre|\.post)?$/.exec(cmd.src || "");
    if (m) {
      state.listen.src = m[1];
      state.listen.pfl = m[2] === ".pre";
    } else {
      state.listen.src = typeof cmd.src === "string" ? cmd.src : "main";
    }
    if (andSend) {
      sendListen();
      return;
    }
  }
  if (andSend) send(cmd);
}

function socketUrl(query = "") {
  const url = new URL(`ws${query}`, location.href);
  url.protocol = location.protocol === "https:" ? "wss:" : "ws:";
  return url.href;
}

function connect() {
  ws = new WebSocket(socketUrl());
  ws.binaryType = "arraybuffer";
  ws.onopen = () => {
    live.connected = true;
    showEngine();
  };
  ws.onclose = () => {
    live.connected = false;
    showEngine();
    if (!live.ended) showEnded({ text: "The connection to mixweb was lost (is it still running?)." });
  };
  ws.onmessage = (e) => {
    if (typeof e.data !== "string") return;
    let msg;
    try {
      msg = JSON.parse(e.data);
    } catch {
      return;
    }
    take(msg);
  };
}

function take(msg) {
  switch (msg.t) {
    case "m":
      takeMeters(msg);
      break;
    case "rta":
      live.rta = msg.b;
      live.rtaSrc = msg.src;
      drawAnalyser();
      break;
    case "fba":
      live.fba[msg.target] = msg;
      if (msg.target === live.fbaTarget) showFbaLive();
      drawAnalyser();
      logLine(`FBA ${msg.target} ${msg.on ? "on" : "off"} (${msg.mode}): ${(msg.notches || []).length} notches`);
      break;
    case "fba.detect":
      logLine(`FBA ${msg.target}: feedback at ${Math.round(msg.f)} Hz`, "event");
      break;
    case "fba.notch":
      logLine(`FBA ${msg.target}: notch at ${Math.round(msg.f)} Hz, ${msg.g.toFixed(1)} dB`, "event");
      break;
    case "aeq":
      live.aeq[msg.id] = msg;
      showAeq();
      if (live.selected === msg.id) drawChannelCurves();
      break;
    case "warn":
      logLine(`Warning: ${msg.text}`, "warn");
      showNotice(msg.text);
      break;
    case "error":
      logLine(`Error: ${msg.text}`, "error");
      break;
    case "files":
      showFiles(msg);
      break;
    case "bridge.hello":
      hello(msg);
      break;
    case "bridge.end":
      showEnded(msg);
      break;
    case "bridge.refused":
      logLine(`Refused by mixweb: ${msg.text}`, "error");
      break;
    case "bridge.lag":
      if (msg.lines) logLine(`This page fell behind: ${msg.lines} meter and analyser lines were dropped.`, "warn");
      live.audioDropped = (live.audioDropped || 0) + (msg.audio || 0);
      if (msg.audio) logLine(`The listen stream fell behind: ${msg.audio} datagrams (10 ms each) were dropped.`, "warn");
      break;
  }
}

function hello(msg) {
  const r = msg.ready || {};
  state.rate = r.rate || 48000;
  state.inputs = Math.min(Math.max(r.inputs || 16, 1), 32);
  state.outputs = r.outputs || 2;
  live.ready = r;
  live.library = msg.library;
  live.engineOptions = msg.engine || [];
  const testSignals = r.in_name === "Test signals";
  state.names = Array.from({ length: 32 }, (_, i) => (testSignals ? signalName(i) : ""));
  for (const cmd of msg.settings || []) adopt(cmd, false);
  for (const f of msg.fba || []) live.fba[f.target] = f;
  for (const n of msg.notes || []) take(n);
  buildDesk();
  buildPanels();
  showEngine();
  sendListen();  // every page starts hearing what the console listens to
  listener.start(state.rate, socketUrl("?audio")).then(showListenStats, (e) => logLine(`No sound: ${e.message}`, "error"));
}

// The built-in test signals, as the practice library's introduction lists them.
function signalName(i) {
  const about = (live.library && live.library.about) || "";
  const names = {};
  for (const m of about.matchAll(/(\d+) ([a-z][a-z ]*?)(?=,| and |\.)/g)) names[Number(m[1])] = m[2];
  const n = Object.keys(names).length;
  if (!n) return "";
  const name = names[(i % n) + 1] || "";
  return name.replace(/^\w/, (c) => c.toUpperCase());
}

// ---------------------------------------------------------------------------------------------
// Little helpers for building the page

function h(tag, attrs = {}, ...children) {
  const el = document.createElement(tag);
  for (const [k, v] of Object.entries(attrs)) {
    if (k === "class") el.className = v;
    else if (k.startsWith("on")) el.addEventListener(k.slice(2), v);
    else if (k === "dataset") Object.assign(el.dataset, v);
    else if (v !== false && v !== null && v !== undefined) el.setAttribute(k, v === true ? "" : v);
  }
  for (const c of children.flat()) if (c !== null && c !== undefined && c !== false) el.append(c);
  return el;
}
const $ = (sel, root = document) => root.querySelector(sel);
const $$ = (sel, root = document) => [...root.querySelectorAll(sel)];

const toDb = (lin) => (lin > 0 ? 20 * Math.log10(lin) : -Infinity);
const fromDb = (db) => (db === -Infinity ? 0 : Math.pow(10, db / 20));
const fmtDb = (db, digits = 1) => (Number.isFinite(db) ? db.toFixed(digits) : "-∞");
const fmtHz = (f) => (f >= 1000 ? `${+(f / 1000).toFixed(f >= 10000 ? 1 : 2)}k` : `${Math.round(f)}`);

// Fader travel: unity three quarters of the way up, +10 dB at the top, -60 dB just above the
// bottom, and off at the bottom.
const FADER_STEPS = 1000;
function faderToDb(pos) {
  if (pos <= 0) return -Infinity;
  return 10 - 70 * Math.pow(1 - pos / FADER_STEPS, 1.404);
}
function dbToFader(db) {
  if (!(db > -60)) return db === -Infinity || db <= -60 ? 0 : FADER_STEPS;
  return Math.round(FADER_STEPS * (1 - Math.pow((10 - Math.min(db, 10)) / 70, 1 / 1.404)));
}

// Meter scale: -60 dBFS at the bottom, 0 at the top.
const meterPos = (lin) => Math.min(Math.max((toDb(lin) + 60) / 60, 0), 1);

// ---------------------------------------------------------------------------------------------
// The desk

function buildDesk() {
  const strips = $("#strips");
  strips.replaceChildren(...Array.from({ length: state.inputs }, (_, i) => buildStrip(`in.${i + 1}`)));
  $("#buses").replaceChildren(...Array.from({ length: 8 }, (_, i) => buildStrip(`bus.${i + 1}`)));
  $("#masters").replaceChildren(buildStrip("mono"), buildStrip("main"));
  refreshDesk();
  collectMeters();
}

function meterEl(id, sides) {
  return h("div", { class: `meter${sides === 2 ? " stereo" : ""}`, dataset: { meter: id } },
    h("div", { class: "clip", title: "Clip: a peak reached full scale" }),
    ...Array.from({ length: sides }, (_, k) => h("div", { class: "bar", dataset: { side: k } },
      h("div", { class: "cover" }), h("div", { class: "hold" }))));
}

function buildStrip(id) {
  const ch = channelOf(id);
  const isStrip = ch.kind === "strip";
  const rec = () => recordOf(id);
  const change = () => {
    sendChannel(id);
    refreshStrip(id);
    if (live.selected === id) refreshDetail();
  };
  const toggle = (label, title, get, set, cls = "") =>
    h("button", { class: `tgl ${cls}`, title, dataset: { tgl: label },
      onclick: () => { set(!get()); change(); } }, label);
  const optional = (key) => ({
    get: () => !!rec()[key] && (key !== "aeq" || rec()[key].on),
    set: (on) => {
      if (on) rec()[key] = memory(id, key) || clone(DEFAULTS[key]);
      else {
        remember(id, key, rec()[key]);
        rec()[key] = key === "aeq" && rec()[key] ? { ...rec()[key], on: false } : null;
      }
    },
  });
  const fader = h("input", { type: "range", class: "fader", min: 0, max: FADER_STEPS, step: 1,
    title: "Fader", oninput: (e) => {
      rec().fader = fromDb(faderToDb(Number(e.target.value)));
      change();
    } });
  const faderDb = h("input", { class: "fader-db", title: "Fader in dB (type a value)",
    onchange: (e) => {
      const text = e.target.value.trim().replace("∞", "Infinity");
      const db = /^-?inf/i.test(text) ? -Infinity : Number.parseFloat(text);
      if (!Number.isNaN(db)) rec().fader = fromDb(Math.min(db, 10));
      change();
    } });
  const pan = h("input", { type: "range", class: "pan", min: -100, max: 100, step: 1,
    title: "Pan (double-click: centre)", oninput: (e) => { rec().pan = Number(e.target.value) / 100; change(); },
    ondblclick: () => { rec().pan = 0; change(); } });
  const gain = isStrip ? h("input", { type: "range", class: "gain", min: -24, max: 48, step: 0.5,
    title: "Input gain (double-click: 0 dB)", oninput: (e) => { rec().gain_db = Number(e.target.value); change(); },
    ondblclick: () => { rec().gain_db = 0; change(); } }) : null;
  const grs = [];
  if (isStrip) grs.push(h("div", { class: "gr", title: "Gate reduction" }, h("span", {}, "G"), h("i", { dataset: { gr: "gate" } })));
  grs.push(h("div", { class: "gr", title: "Compressor reduction" }, h("span", {}, "C"), h("i", { dataset: { gr: "dyn" } })));
  const el = h("div", { class: `strip ${ch.kind}`, dataset: { ch: id } },
    h("div", { class: "name", title: "Select this channel", onclick: () => select(id) },
      h("b", {}, isStrip ? String(ch.i + 1) : channelName(id).toUpperCase()),
      h("span", {}, isStrip ? channelName(id) : "")),
    isStrip ? h("div", { class: "row gainrow" }, h("label", {}, "gain"), h("span", { class: "num gain-db" })) : null,
    gain,
    h("div", { class: "row tgls" },
      isStrip ? toggle("Ø", "Polarity", () => rec().invert, (v) => { rec().invert = v; }) : null,
      isStrip ? toggle("HPF", "High-pass filter", optional("hpf").get, optional("hpf").set) : null,
      isStrip ? toggle("GATE", "Gate", optional("gate").get, optional("gate").set) : null,
      toggle("COMP", "Compressor", optional("dyn").get, optional("dyn").set),
      toggle("AEQ", "Automatic EQ", optional("aeq").get, optional("aeq").set)),
    h("canvas", { class: "mini-eq", width: 84, height: 34, title: "EQ (click to edit)", onclick: () => select(id) }),
    h("div", { class: "grs" }, grs),
    ch.kind === "strip" || ch.kind === "bus" ? pan : h("div", { class: "pan-space" }),
    h("div", { class: "fader-meter" }, fader, meterEl(id, id === "main" ? 2 : 1)),
    faderDb,
    h("div", { class: "row tgls bottom" },
      h("button", { class: "tgl mute", title: "Mute", dataset: { tgl: "MUTE" }, onclick: () => {
        state.mutes[id] = !state.mutes[id];
        if (!state.mutes[id]) delete state.mutes[id];
        change();
      } }, "MUTE"),
      h("button", { class: "tgl listen", title: "Listen to this channel (again: back to main)", dataset: { tgl: "L" },
        onclick: () => {
          state.listen.src = state.listen.src === id && id !== "main" ? "main" : id;
          sendListen();
          refreshListen();
        } }, "L"),
      ch.kind === "strip" || ch.kind === "bus" ? toggle("LR", "Routed to main", () => rec().lr, (v) => { rec().lr = v; }) : null,
      h("button", { class: "tgl sel", title: "Select", onclick: () => select(id) }, "SEL")));
  return el;
}

const memories = {};
function memory(id, key) { return memories[`${id}/${key}`] && clone(memories[`${id}/${key}`]); }
function remember(id, key, v) { if (v) memories[`${id}/${key}`] = clone({ ...v, ...(key === "aeq" ? { on: true } : {}) }); }

function refreshDesk() {
  for (const el of $$(".strip")) refreshStrip(el.dataset.ch);
  refreshListen();
}

function refreshStrip(id) {
  const el = $(`.strip[data-ch="${id}"]`);
  if (!el) return;
  const rec = recordOf(id);
  const on = (label, v) => { const b = $(`[data-tgl="${label}"]`, el); if (b) b.classList.toggle("on", !!v); };
  on("Ø", rec.invert);
  on("HPF", rec.hpf);
  on("GATE", rec.gate);
  on("COMP", rec.dyn);
  on("AEQ", rec.aeq && rec.aeq.on);
  on("LR", rec.lr);
  on("MUTE", state.mutes[id]);
  el.classList.toggle("muted", !!state.mutes[id]);
  const fader = $(".fader", el);
  const db = toDb(rec.fader);
  if (document.activeElement !== fader) fader.value = dbToFader(db);
  const fdb = $(".fader-db", el);
  if (document.activeElement !== fdb) fdb.value = fmtDb(db);
  const pan = $(".pan", el);
  if (pan) pan.value = Math.round((rec.pan || 0) * 100);
  const gain = $(".gain", el);
  if (gain) {
    gain.value = rec.gain_db;
    $(".gain-db", el).textContent = `${rec.gain_db > 0 ? "+" : ""}${(+rec.gain_db).toFixed(1)}`;
  }
  if (channelOf(id).kind === "strip") $(".name span", el).textContent = channelName(id);
  drawMiniEq($(".mini-eq", el), id);
}

function refreshListen() {
  for (const el of $$(".strip")) $(".listen", el).classList.toggle("on", el.dataset.ch === state.listen.src);
  let src = state.listen.src;
  if (/^in\.\d+$/.test(src)) src += state.listen.pfl ? " PFL" : " AFL";
  $("#listen-src").textContent = src;
  $("#listen-mode").textContent = state.listen.pfl ? "PFL" : "AFL";
}

// The cascades a channel runs, in order, for drawing its response.
function channelStages(id, withAeq = true) {
  const rec = recordOf(id), fs = state.rate;
  const stages = [];
  if (rec.hpf) stages.push(...dsp.designHpf(rec.hpf, fs));
  stages.push(...dsp.designBands(rec.eq, fs), ...dsp.designBands(rec.peq32, fs),
    ...dsp.designGraphic(rec.geq, fs));
  const corr = live.aeq[id];
  if (withAeq && corr && corr.on) stages.push(...dsp.designGraphic(corr.g, fs));
  return stages;
}

const MINI_F = dsp.logFrequencies(42);
function drawMiniEq(canvas, id) {
  const g = canvas.getContext("2d"), w = canvas.width, ht = canvas.height;
  g.clearRect(0, 0, w, ht);
  g.strokeStyle = "#2c3440";
  g.beginPath();
  g.moveTo(0, ht / 2);
  g.lineTo(w, ht / 2);
  g.stroke();
  const stages = channelStages(id);
  if (!stages.length) return;
  g.strokeStyle = "#f0b429";
  g.lineWidth = 1.5;
  g.beginPath();
  MINI_F.forEach((f, k) => {
    const y = ht / 2 - Math.max(-18, Math.min(18, dsp.responseDb(stages, f, state.rate))) / 18 * (ht / 2 - 2);
    const x = k / (MINI_F.length - 1) * w;
    if (k) g.lineTo(x, y); else g.moveTo(x, y);
  });
  g.stroke();
}

// ---------------------------------------------------------------------------------------------
// Meters

function takeMeters(m) {
  live.meters = m;
  live.lastM = performance.now();
  const put = (id, side, v) => {
    const key = `${id}/${side}`;
    live.peaks[key] = Math.max(live.peaks[key] || 0, v || 0);
  };
  (m.in || []).forEach((v, i) => put(`in.${i + 1}`, 0, v));
  (m.bus || []).forEach((v, i) => put(`bus.${i + 1}`, 0, v));
  put("main", 0, (m.main || [])[0]);
  put("main", 1, (m.main || [])[1]);
  put("mono", 0, m.mono);
  if (Array.isArray(m.loud)) {
    live.loud = m.loud;
    live.loudHist.push(m.loud[0], m.loud[1]);
    live.loudCount = (live.loudCount || 0) + 1;
    if (live.loudHist.length > 2 * 750) live.loudHist.splice(0, 2);  // 30 s at 25 lines a second
  } else {
    live.loud = null;
  }
  $("#xruns").textContent = `xruns ${m.xruns || 0}`;
  $("#xruns").classList.toggle("bad", (m.xruns || 0) > 0);
}

// The desk's moving parts, found once per build so that each frame only writes styles (and only
// those that changed): the page redraws its meters at most 25 times a second, as often as the
// engine sends them.
let meterEls = [], grEls = [], lastDraw = 0;
function collectMeters() {
  meterEls = $$(".meter").map((el) => ({ id: el.dataset.meter, clip: el.firstChild, clipOn: false,
    bars: $$(".bar", el).map((bar) => ({ key: `${el.dataset.meter}/${bar.dataset.side}`,
      cover: bar.firstChild, hold: bar.lastChild, shown: 0, holdPos: 0, holdT: 0, css: "", holdCss: "" })) }));
  grEls = $$(".strip").map((el) => ({ ch: channelOf(el.dataset.ch), gate: $('[data-gr="gate"]', el),
    dyn: $('[data-gr="dyn"]', el), css: {} }));
}

function setStyle(el, prop, value, cache, key) {
  if (cache[key] === value) return;
  cache[key] = value;
  el.style[prop] = value;
}

function animate(now) {
  requestAnimationFrame(animate);
  if (now - lastDraw < 38) return;
  const dt = Math.min((now - lastDraw) / 1000, 0.2);
  lastDraw = now;
  const fall = dt * 20 / 60;  // 20 dB a second on the 60 dB scale
  const m = live.meters;
  if (m) {
    for (const meter of meterEls) {
      for (const bar of meter.bars) {
        const v = live.peaks[bar.key] || 0;
        live.peaks[bar.key] = 0;
        if (v >= 0.9999) live.clips[meter.id] = now;
        // Instant rise, steady fall; the hold line stays 1.5 s, then falls alike.
        bar.shown = Math.max(meterPos(v), bar.shown - fall);
        if (bar.shown >= bar.holdPos) {
          bar.holdPos = bar.shown;
          bar.holdT = now;
        } else if (now - bar.holdT > 1500) {
          bar.holdPos = Math.max(bar.shown, bar.holdPos - fall);
        }
        setStyle(bar.cover, "transform", `scaleY(${(1 - bar.shown).toFixed(3)})`, bar, "css");
        setStyle(bar.hold, "transform", `translateY(${((1 - bar.holdPos) * 100).toFixed(1)}%)`, bar, "holdCss");
      }
      const clip = now - (live.clips[meter.id] || -1e9) < 2000;
      if (clip !== meter.clipOn) meter.clip.classList.toggle("on", (meter.clipOn = clip));
    }
    for (const g of grEls) {
      const ch = g.ch;
      let gate = 1, dyn = 1;
      if (ch.kind === "strip") {
        gate = m.gate?.[ch.i] ?? 1;
        dyn = m.dyn?.[ch.i] ?? 1;
      } else if (ch.kind === "bus") dyn = m.busGR?.[ch.i] ?? 1;
      else dyn = (ch.kind === "main" ? m.mainGR : m.monoGR) ?? 1;
      for (const [k, v] of [["gate", gate], ["dyn", dyn]]) {
        if (g[k]) setStyle(g[k], "transform", `scaleX(${Math.min(-toDb(Math.max(v, 1e-6)) / 24, 1).toFixed(3)})`, g.css, k);
      }
    }
    if (now - (live.loudAt || 0) > 250) {
      live.loudAt = now;
      showLoudness();
    }
  }
  const [l, r] = listener.takePeak();
  live.mon ||= {};
  setStyle($("#mon-l"), "transform", `scaleX(${meterPos(l).toFixed(3)})`, live.mon, "l");
  setStyle($("#mon-r"), "transform", `scaleX(${meterPos(r).toFixed(3)})`, live.mon, "r");
}

function showLoudness() {
  const l = live.loud;
  const show = (sel, v) => { $(sel).textContent = l && Number.isFinite(v) && v > -120 ? v.toFixed(1) : "—"; };
  show("#loud-m", l && l[0]);
  show("#loud-s", l && l[1]);
  show("#loud-i", l && l[2]);
  const c = $("#loud-hist"), g = c.getContext("2d"), w = c.width, ht = c.height;
  if (live.loudDrawn === live.loudCount) return;
  live.loudDrawn = live.loudCount;
  g.clearRect(0, 0, w, ht);
  const y = (lufs) => ht - (Math.max(Math.min(lufs, 0), -48) + 48) / 48 * ht;
  g.fillStyle = "#7a8594";
  g.font = "9px sans-serif";
  for (const mark of [-12, -23, -36]) {
    g.strokeStyle = mark === -23 ? "#3d6b4f" : "#232a33";
    g.beginPath();
    g.moveTo(0, y(mark));
    g.lineTo(w, y(mark));
    g.stroke();
    g.fillText(String(mark), 2, y(mark) - 2);
  }
  const hist = live.loudHist, n = hist.length / 2;
  for (const [k, colour] of [[0, "#4fc3f7"], [1, "#f0b429"]]) {
    g.strokeStyle = colour;
    g.beginPath();
    for (let j = 0; j < n; j++) {
      const x = w - (n - 1 - j) * (w / 750);
      const v = hist[2 * j + k];
      if (j) g.lineTo(x, y(v)); else g.moveTo(x, y(v));
    }
    g.stroke();
  }
}

// ---------------------------------------------------------------------------------------------
// The analyser

function designatorOptions(kind) {
  const n = state.inputs, list = [];
  if (kind === "rta") list.push(["off", "off"]);
  list.push(["main", "Main"], ["mono", "Mono"]);
  for (let b = 1; b <= 8; b++) list.push([`bus.${b}`, `Bus ${b}`]);
  for (let i = 1; i <= n; i++) {
    if (kind === "rta") list.push([`in.${i}`, `In ${i} after gate`], [`in.${i}.post`, `In ${i} after comp`]);
    else list.push([`in.${i}`, `In ${i} post-fader`], [`in.${i}.pre`, `In ${i} pre-fader`]);
  }
  return list.map(([v, label]) => h("option", { value: v }, label));
}

function drawAnalyser() {
  const c = $("#rta"), g = c.getContext("2d"), w = c.width, ht = c.height;
  g.clearRect(0, 0, w, ht);
  const lo = -100, hi = 0;
  const y = (db) => ht - 14 - (Math.min(Math.max(db, lo), hi) - lo) / (hi - lo) * (ht - 20);
  const x = (f) => Math.log(f / 20) / Math.log(1000) * w;
  g.font = "10px sans-serif";
  g.fillStyle = "#6b7685";
  for (const db of [0, -20, -40, -60, -80]) {
    g.strokeStyle = "#222932";
    g.beginPath();
    g.moveTo(0, y(db));
    g.lineTo(w, y(db));
    g.stroke();
    g.fillText(`${db}`, 3, y(db) + 11);
  }
  for (const f of [50, 100, 200, 500, 1000, 2000, 5000, 10000]) {
    g.strokeStyle = "#222932";
    g.beginPath();
    g.moveTo(x(f), 0);
    g.lineTo(x(f), ht - 14);
    g.stroke();
    g.fillText(fmtHz(f), x(f) - 8, ht - 3);
  }
  const b = live.rta;
  if (b && state.rta !== "off") {
    const grad = g.createLinearGradient(0, 0, 0, ht);
    grad.addColorStop(0, "#ff6b4a");
    grad.addColorStop(0.35, "#f0b429");
    grad.addColorStop(1, "#2e9e6a");
    g.fillStyle = grad;
    b.forEach((db, k) => {
      const x0 = x(dsp.rtaBandEdge(k)), x1 = x(dsp.rtaBandEdge(k + 1));
      g.fillRect(x0 + 0.5, y(db), Math.max(x1 - x0 - 1, 1), ht - 14 - y(db));
    });
  }
  // Notches of the suppressor on the output being analysed (or on main when it is a strip).
  const target = OUTPUTS.includes(state.rta) ? state.rta : "main";
  const f = live.fba[target];
  if (f && f.notches) {
    for (const [freq, depth, fixed] of f.notches) {
      const nx = x(freq);
      g.strokeStyle = fixed ? "#b388ff" : "#ff4d6d";
      g.fillStyle = g.strokeStyle;
      g.lineWidth = 2;
      g.beginPath();
      g.moveTo(nx, 0);
      g.lineTo(nx, ht - 14);
      g.stroke();
      g.lineWidth = 1;
      g.fillText(`${fmtHz(freq)} ${depth.toFixed(0)}dB`, nx + 3, 12);
    }
  }
  c.dataset.notches = f && f.notches ? f.notches.map((n) => Math.round(n[0])).join(",") : "";
  c.dataset.src = live.rtaSrc || "";
}

// ---------------------------------------------------------------------------------------------
// Panels

function buildPanels() {
  const rta = $("#rta-src"), loud = $("#loud-src");
  rta.replaceChildren(...designatorOptions("rta"));
  loud.replaceChildren(...designatorOptions("loud"));
  rta.value = state.rta;
  loud.value = state.loud;
  rta.onchange = () => { state.rta = rta.value; send({ t: "rta", src: state.rta }); drawAnalyser(); };
  loud.onchange = () => { state.loud = loud.value; live.loudHist = []; send({ t: "loud", src: state.loud }); };
  $("#loud-reset").onclick = () => { live.loudHist = []; live.loudCount = -1; send({ t: "loud.reset" }); };
  if (!live.rtaStarted) {
    live.rtaStarted = true;
    send({ t: "rta", src: state.rta });
    send({ t: "loud", src: state.loud });
  }
  buildFba();
  buildExercises();
  buildPatch();
  showAeq();
  refreshDetail();
  drawAnalyser();
}

function select(id) {
  live.selected = id;
  for (const el of $$(".strip")) el.classList.toggle("selected", el.dataset.ch === id);
  showTab("left", "channel");
  refreshDetail();
}

function showTab(group, name) {
  for (const b of $$(`.tabs[data-for="${group}"] button`)) b.classList.toggle("on", b.dataset.tab === name);
  for (const t of $$(`#${group} > .tab`)) t.classList.toggle("on", t.id === `tab-${name}`);
}

// A labelled control bound to obj[key]: a number with a slider, a select or a checkbox.
function control(label, obj, key, opts, onChange) {
  const cls = `ctl${opts.wide ? " wide" : ""}`;
  if (opts.options) {
    const sel = h("select", { onchange: () => {
      obj[key] = typeof opts.options[0] === "number" ? Number(sel.value) : sel.value;
      onChange();
    } }, ...opts.options.map((o) => h("option", { value: o }, String(o))));
    sel.value = String(obj[key]);
    return h("label", { class: cls }, h("span", {}, label), sel);
  }
  if (opts.bool) {
    const box = h("input", { type: "checkbox", onchange: () => { obj[key] = box.checked; onChange(); } });
    box.checked = !!obj[key];
    return h("label", { class: `${cls} check` }, box, h("span", {}, label));
  }
  const scale = opts.log ? { to: (v) => Math.log10(v), from: (p) => Math.pow(10, p) } : { to: (v) => v, from: (p) => p };
  const round = (v) => Math.round(v / opts.step) * opts.step;
  const num = h("input", { type: "number", step: opts.step, min: opts.min, max: opts.max, class: "n" });
  const slider = h("input", { type: "range", min: scale.to(opts.min), max: scale.to(opts.max),
    step: opts.log ? 0.001 : opts.step });
  const set = (v, from) => {
    if (!Number.isFinite(v)) return;
    obj[key] = opts.int ? Math.round(v) : +round(v).toFixed(6);
    if (from !== num) num.value = obj[key];
    if (from !== slider) slider.value = scale.to(obj[key]);
    onChange();
  };
  num.value = obj[key];
  slider.value = scale.to(obj[key]);
  num.addEventListener("change", () => set(Number(num.value), num));
  slider.addEventListener("input", () => set(scale.from(Number(slider.value)), slider));
  return h("label", { class: cls }, h("span", {}, label), slider, num, opts.unit ? h("em", {}, opts.unit) : null);
}

const DB = (min, max, step = 0.5) => ({ min, max, step, unit: "dB" });
const MS = (min, max) => ({ min, max, step: 0.1, unit: "ms", log: true });
const HZ = { min: 10, max: 22000, step: 1, unit: "Hz", log: true };

function section(title, body, opts = {}) {
  return h("fieldset", { class: `sec ${opts.cls || ""}` },
    h("legend", {}, opts.toggle ? opts.toggle : null, title), body);
}

function refreshDetail() {
  const root = $("#tab-channel");
  const id = live.selected;
  const ch = channelOf(id);
  if (ch.kind === "strip" && ch.i >= state.inputs) return;
  const rec = recordOf(id);
  const keys = KEYS[ch.kind];
  const changed = () => { sendChannel(id); refreshStrip(id); drawChannelCurves(); drawDynamics(); };
  const rebuilt = () => { changed(); refreshDetail(); };
  const optional = (key, title, fields, extra) => {
    const on = key === "aeq" ? !!(rec.aeq && rec.aeq.on) : !!rec[key];
    const box = h("input", { type: "checkbox", class: "sec-on", dataset: { sec: key }, onchange: () => {
      if (box.checked) rec[key] = memory(id, key) || clone(DEFAULTS[key]);
      else {
        remember(id, key, rec[key]);
        rec[key] = key === "aeq" ? { ...rec.aeq, on: false } : null;
      }
      rebuilt();
    } });
    box.checked = on;
    const body = h("div", { class: "grid" });
    if (rec[key] && (key !== "aeq" || on)) for (const [label, k, o] of fields) body.append(control(label, rec[key], k, o, changed));
    if (extra) body.append(extra);
    return section(title, body, { toggle: box, cls: on ? "" : "off" });
  };
  const parts = [];
  if (ch.kind === "strip") {
    parts.push(section("Input", h("div", { class: "grid" },
      control("Gain", rec, "gain_db", DB(-24, 48), changed),
      control("Polarity Ø", rec, "invert", { bool: true }, changed),
      control("Delay", rec, "delay_ms", { min: 0, max: 500, step: 0.1, unit: "ms" }, changed))));
    parts.push(optional("hpf", "High-pass", [["Freq", "f", HZ], ["Slope", "slope", { options: [12, 18, 24] }]]));
    parts.push(optional("gate", "Gate", [["Mode", "mode", { options: ["gate", "exp2", "exp3", "exp4", "duck"] }],
      ["Thresh", "thr", DB(-90, 0)], ["Range", "range", DB(0, 90)], ["Attack", "attack", MS(0.05, 200)],
      ["Hold", "hold", MS(0.1, 2000)], ["Release", "release", MS(5, 4000)]]));
  }
  parts.push(section("Equaliser", h("div", {},
    h("canvas", { id: "eq-curve", width: 700, height: 190 }),
    bandList(rec, "eq", "Parametric 1", rebuilt, changed),
    bandList(rec, "peq32", "Parametric 2", rebuilt, changed)), { cls: "eq" }));
  parts.push(section("Graphic EQ", geqEditor(rec, changed, rebuilt), { cls: "geq" }));
  parts.push(optional("dyn", "Compressor", [["Expander", "exp", { bool: true }], ["RMS", "rms", { bool: true }],
    ["Thresh", "thr", DB(-60, 0)], ["Ratio", "ratio", { min: 1, max: 20, step: 0.1, unit: ":1", log: true }],
    ["Knee", "knee", DB(0, 12)], ["Make-up", "mgain", DB(-12, 24)], ["Attack", "attack", MS(0.05, 300)],
    ["Hold", "hold", MS(0, 500)], ["Release", "release", MS(5, 3000)], ["Mix", "mix", { min: 0, max: 100, step: 1, unit: "%" }]],
  rec.dyn ? h("canvas", { id: "dyn-curve", width: 150, height: 150 }) : null));
  const out = h("div", { class: "grid" }, control("Fader", rec, "fader", { min: 0, max: 3.1623, step: 0.0001, unit: "lin" }, changed));
  if (keys.includes("pan")) out.append(control("Pan", rec, "pan", { min: -1, max: 1, step: 0.01 }, changed),
    control("To main (LR)", rec, "lr", { bool: true }, changed),
    control("To mono", rec, "mono", { min: 0, max: 2, step: 0.01, unit: "lin" }, changed));
  parts.push(section("Output", out));
  if (ch.kind === "strip") {
    parts.push(section("Sends", sendsEditor(rec, changed)));
    parts.push(optional("bleed", "Bleed reduction", [["On", "on", { bool: true }], ["Mode", "mode", { options: ["cancel", "duck"] }],
      ["Ref strip", "ref", { min: 0, max: 31, step: 1, int: true }], ["Amount", "amount", { min: 0, max: 1, step: 0.01 }],
      ["Low", "lo", HZ], ["High", "hi", HZ], ["Thresh", "thr", DB(-90, 0)]]));
    parts.push(optional("amix", "Automixer", [["Group", "group", { min: 0, max: 7, step: 1, int: true }],
      ["Weight", "weight_db", DB(-24, 24)]]));
  }
  parts.push(optional("aeq", "Auto-EQ", [["Curve", "curve", { options: ["flat", "warm", "vocal", "speech", "house", "bright"] }],
    ["Amount", "amount", { min: 0, max: 1, step: 0.01 }], ["Max cut", "max_cut", DB(0, 24)],
    ["Max boost", "max_boost", DB(0, 12)], ["Speed", "speed_s", { min: 0.5, max: 60, step: 0.5, unit: "s" }],
    ["Low", "lo", HZ], ["High", "hi", HZ]], rec.aeq && rec.aeq.on ? aeqTarget(rec, changed) : null));
  root.replaceChildren(h("div", { class: "detail-head" }, h("h2", {}, `${channelName(id)}`), h("span", { class: "pill" }, id),
    h("button", { onclick: () => { setRecord(id, normalise(ch.kind, {})); delete state.mutes[id]; sendChannel(id); refreshStrip(id); refreshDetail(); } }, "Reset channel")),
  h("div", { class: "detail" }, parts));
  for (const el of $$(".strip")) el.classList.toggle("selected", el.dataset.ch === id);
  drawChannelCurves();
  drawDynamics();
}

// An explicit target curve instead of a named one: 31 dB values, one per graphic-EQ band.
function aeqTarget(rec, changed) {
  const show = () => (Array.isArray(rec.aeq.target) ? rec.aeq.target.join(" ") : "");
  const box = h("input", { class: "target", placeholder: "31 dB values, or empty for the curve", value: show(),
    onchange: () => {
      const values = box.value.split(/[\s,]+/).filter(Boolean).map(Number);
      rec.aeq.target = values.length && values.every(Number.isFinite) ? values.slice(0, 31) : null;
      box.value = show();
      changed();
    } });
  return h("label", { class: "ctl wide target-row" }, h("span", {}, "Target"), box,
    h("button", { title: "Aim at the graphic EQ's gains", onclick: (e) => {
      e.preventDefault();
      rec.aeq.target = Array.from({ length: 31 }, (_, i) => rec.geq[i] ?? 0);
      box.value = show();
      changed();
    } }, "from GEQ"));
}

function bandList(rec, key, title, rebuilt, changed) {
  const rows = rec[key].map((band, k) => h("div", { class: "band", dataset: { band: `${key}.${k}` } },
    control("", band, "type", { options: dsp.BAND_TYPES }, changed),
    control("f", band, "f", HZ, changed),
    control("g", band, "g", DB(-24, 24, 0.1), changed),
    control("q", band, "q", { min: 0.1, max: 20, step: 0.01, log: true }, changed),
    h("button", { class: "x", title: "Remove band", onclick: () => { rec[key].splice(k, 1); rebuilt(); } }, "×")));
  return h("div", { class: "bands" }, h("div", { class: "bands-head" }, h("b", {}, title),
    h("button", { onclick: () => { rec[key].push(clone(DEFAULTS.band)); rebuilt(); } }, "+ band")), rows);
}

function geqEditor(rec, changed, rebuilt) {
  const gains = () => Array.from({ length: 31 }, (_, i) => rec.geq[i] ?? 0);
  const wrap = h("div", { class: "geq-bands" }, dsp.GEQ_HZ.map((f, i) => {
    const s = h("input", { type: "range", min: -15, max: 15, step: 0.5, class: "geq-slider", value: gains()[i],
      title: `${fmtHz(f)} Hz`, oninput: () => { const g = gains(); g[i] = Number(s.value); rec.geq = g; changed(); },
      ondblclick: () => { const g = gains(); g[i] = 0; rec.geq = g; s.value = 0; changed(); } });
    return h("div", { class: "geq-band" }, s, h("small", {}, fmtHz(f)));
  }));
  return h("div", {}, wrap, h("button", { onclick: () => { rec.geq = []; rebuilt(); } }, "Flat"));
}

function sendsEditor(rec, changed) {
  const rows = Array.from({ length: 8 }, (_, b) => {
    while (rec.sends.length <= b) rec.sends.push(clone(DEFAULTS.send));
    const s = rec.sends[b];
    return h("div", { class: "send" }, h("b", {}, `Bus ${b + 1}`),
      control("", s, "lin", { min: 0, max: 2, step: 0.01, unit: "lin" }, changed),
      control("", s, "tap", { options: [0, 1, 2] }, changed));
  });
  return h("div", { class: "sends" }, h("div", { class: "hint" }, "tap 0 after the gate · 1 before the fader · 2 after it"), rows);
}

const CURVE_F = dsp.logFrequencies(300);
function drawChannelCurves() {
  const c = $("#eq-curve");
  if (!c) return;
  const id = live.selected, rec = recordOf(id), fs = state.rate;
  const g = c.getContext("2d"), w = c.width, ht = c.height;
  g.clearRect(0, 0, w, ht);
  const range = 24;
  const y = (db) => ht / 2 - Math.max(-range, Math.min(range, db)) / range * (ht / 2 - 6);
  const x = (f) => Math.log(f / 20) / Math.log(1000) * w;
  g.font = "10px sans-serif";
  g.fillStyle = "#6b7685";
  for (const db of [-18, -12, -6, 0, 6, 12, 18]) {
    g.strokeStyle = db === 0 ? "#3a4350" : "#222932";
    g.beginPath(); g.moveTo(0, y(db)); g.lineTo(w, y(db)); g.stroke();
    g.fillText(`${db > 0 ? "+" : ""}${db}`, 3, y(db) - 2);
  }
  for (const f of [50, 100, 200, 500, 1000, 2000, 5000, 10000]) {
    g.strokeStyle = "#222932";
    g.beginPath(); g.moveTo(x(f), 0); g.lineTo(x(f), ht); g.stroke();
    g.fillText(fmtHz(f), x(f) + 2, ht - 3);
  }
  const curve = (stages, colour, width, fill) => {
    if (!stages.length) return;
    g.strokeStyle = colour;
    g.lineWidth = width;
    g.beginPath();
    CURVE_F.forEach((f, k) => {
      const v = y(dsp.responseDb(stages, f, fs));
      if (k) g.lineTo(x(f), v); else g.moveTo(x(f), v);
    });
    g.stroke();
    if (fill) {
      g.lineTo(w, y(0)); g.lineTo(0, y(0)); g.closePath();
      g.fillStyle = fill;
      g.fill();
    }
    g.lineWidth = 1;
  };
  // Each band on its own, faintly; then what the channel does as a whole.
  for (const band of [...rec.eq, ...rec.peq32]) curve(dsp.designBands([band], fs), "rgba(79,195,247,0.35)", 1);
  if (rec.hpf) curve(dsp.designHpf(rec.hpf, fs), "rgba(255,255,255,0.25)", 1);
  const corr = live.aeq[id];
  if (corr && corr.on) curve(dsp.designGraphic(corr.g, fs), "rgba(179,136,255,0.8)", 1);
  const total = channelStages(id);
  curve(total, "#f0b429", 2, "rgba(240,180,41,0.10)");
  const mark = (f, gdb) => { g.fillStyle = "#4fc3f7"; g.beginPath(); g.arc(x(f), y(gdb), 3.5, 0, 7); g.fill(); };
  for (const band of [...rec.eq, ...rec.peq32]) {
    const b = dsp.bandFields(band);
    mark(Math.min(Math.max(b.f, 20), 20000), ["hp", "lp", "bp", "hp1", "lcut", "hcut"].includes(b.type) ? 0 : b.g);
  }
  c.dataset.total = total.length;
}

function drawDynamics() {
  const c = $("#dyn-curve");
  const rec = recordOf(live.selected);
  if (!c || !rec.dyn) return;
  const g = c.getContext("2d"), w = c.width, ht = c.height;
  g.clearRect(0, 0, w, ht);
  const lo = -60;
  const x = (db) => (db - lo) / -lo * w, y = (db) => ht - (Math.min(Math.max(db, lo), 0) - lo) / -lo * ht;
  g.strokeStyle = "#222932";
  for (let d = lo; d <= 0; d += 12) {
    g.beginPath(); g.moveTo(x(d), 0); g.lineTo(x(d), ht); g.moveTo(0, y(d)); g.lineTo(w, y(d)); g.stroke();
  }
  g.strokeStyle = "#3a4350";
  g.beginPath(); g.moveTo(0, ht); g.lineTo(w, 0); g.stroke();
  g.strokeStyle = "#f0b429";
  g.lineWidth = 2;
  g.beginPath();
  for (let k = 0; k <= 120; k++) {
    const L = lo + k * -lo / 120;
    const out = dsp.compressorOutDb(rec.dyn, L);
    if (k) g.lineTo(x(L), y(out)); else g.moveTo(x(L), y(out));
  }
  g.stroke();
  g.lineWidth = 1;
  g.fillStyle = "#6b7685";
  g.font = "10px sans-serif";
  g.fillText("in →", w - 26, ht - 3);
  g.fillText("out", 3, 10);
}

// --- Feedback --------------------------------------------------------------------------------

function buildFba() {
  const root = $("#fba-panel");
  const target = live.fbaTarget;
  const cfg = state.fba[target];
  const changed = () => send({ t: "fba", target, cfg });
  const tabs = h("div", { class: "fba-targets" }, OUTPUTS.map((o) => h("button", {
    class: o === target ? "on" : "", dataset: { target: o },
    onclick: () => { live.fbaTarget = o; buildFba(); } }, o)));
  const onBox = h("input", { type: "checkbox", class: "sec-on", onchange: () => { cfg.on = onBox.checked; changed(); } });
  onBox.checked = cfg.on;
  const howlF = h("input", { type: "number", min: 0, max: 20000, step: 1, placeholder: "auto", class: "n howl-f" });
  root.replaceChildren(
    h("div", { class: "panel-head" }, h("h3", {}, "Feedback"), tabs),
    h("div", { class: "fba-body" },
      h("div", { class: "grid fba-cfg" },
        h("label", { class: "ctl check" }, onBox, h("span", {}, "Suppressor on")),
        control("Mode", cfg, "mode", { options: ["live", "fixed", "suggest"] }, changed),
        control("Content", cfg, "content", { options: ["mixed", "music", "speech"] }, changed),
        control("Sensitivity", cfg, "sensitivity", DB(3, 40), changed),
        control("Persist", cfg, "persist", { min: 1, max: 40, step: 1, int: true, unit: "frames" }, changed),
        control("First cut", cfg, "first_cut", DB(-24, 0), changed),
        control("Step", cfg, "step", DB(-12, 0), changed),
        control("Max cut", cfg, "max_cut", DB(-40, 0), changed),
        control("Notches", cfg, "max_notches", { min: 1, max: 12, step: 1, int: true }, changed),
        control("Hold", cfg, "hold_s", { min: 1, max: 600, step: 1, unit: "s", log: true }, changed)),
      h("div", { class: "fba-actions" },
        h("button", { class: "howl", onclick: () => {
          const f = Number(howlF.value);
          send(f > 0 ? { t: "fba.howl", target, f } : { t: "fba.howl", target });
        } }, "Practice howl"), howlF, h("em", {}, "Hz"),
        h("button", { onclick: () => send({ t: "fba.reset", target }) }, "Reset notches")),
      h("div", { id: "fba-live" })));
  showFbaLive();
}

function showFbaLive() {
  const root = $("#fba-live");
  if (!root) return;
  const target = live.fbaTarget, f = live.fba[target];
  const notches = f?.notches || [], suggest = f?.suggest || [];
  root.replaceChildren(
    h("table", { class: "notches" }, h("tr", {}, h("th", {}, "Notch"), h("th", {}, "Depth"), h("th", {}, "")),
      notches.length ? notches.map(([freq, depth, fixed]) => h("tr", { dataset: { notch: Math.round(freq) } },
        h("td", {}, `${Math.round(freq)} Hz`), h("td", {}, `${depth.toFixed(1)} dB`), h("td", {}, fixed ? "fixed" : "live")))
        : h("tr", {}, h("td", { colspan: 3, class: "hint" }, f?.on ? "no notches" : "suppressor off"))),
    h("div", { class: "suggest" }, suggest.length ? h("b", {}, "Suggested: ") : null,
      suggest.map((s) => h("button", { title: "Place a fixed cut here", dataset: { suggest: Math.round(s) },
        onclick: () => send({ t: "fba.cut", target, f: s }) }, `${Math.round(s)} Hz ✓`))));
}

// --- Auto-EQ ---------------------------------------------------------------------------------

function showAeq() {
  const root = $("#tab-aeq");
  const ids = Object.keys(live.aeq).filter((id) => live.aeq[id].on);
  if (!ids.length) {
    root.replaceChildren(h("p", { class: "hint" }, "No automatic EQ is working. Switch AEQ on a channel; its corrections show here per band after a few seconds of signal."));
    return;
  }
  root.replaceChildren(...ids.map((id) => {
    const g = live.aeq[id].g || [];
    return h("div", { class: "aeq-row", dataset: { aeq: id } }, h("b", {}, channelName(id)),
      h("div", { class: "aeq-bars" }, dsp.GEQ_HZ.map((f, i) => {
        const v = g[i] || 0;
        const bar = h("i", { class: v < 0 ? "cut" : "boost", title: `${fmtHz(f)} Hz ${v.toFixed(1)} dB` });
        bar.style.height = `${Math.min(Math.abs(v) / 12, 1) * 50}%`;
        return h("span", { class: "aeq-band" }, bar, h("small", {}, i % 3 === 0 ? fmtHz(f) : ""));
      })));
  }));
}

// --- Exercises -------------------------------------------------------------------------------

function buildExercises() {
  const root = $("#tab-exercises");
  const list = live.library?.exercises || [];
  if (!list.length) {
    root.replaceChildren(h("p", { class: "hint" }, "The engine offered no practice library."));
    return;
  }
  const pick = h("select", { id: "exercise", onchange: () => { live.exercise = Number(pick.value); buildExercises(); } },
    list.map((ex, k) => h("option", { value: k }, `${k + 1}. ${ex.title} (${ex.level})`)));
  pick.value = String(live.exercise);
  const ex = list[live.exercise] || list[0];
  root.replaceChildren(h("div", { class: "exercise" },
    h("div", { class: "ex-head" }, pick, h("button", { id: "exercise-apply", class: "primary", onclick: () => applyExercise(ex) }, "Apply set-up")),
    h("p", { class: "goal" }, ex.goal),
    h("div", { class: "ex-cols" },
      h("div", {}, h("h4", {}, "Listen for"), h("ul", {}, (ex.listen_for || []).map((t) => h("li", {}, t)))),
      h("div", {}, h("h4", {}, "Watch for"), h("ul", {}, (ex.watch_for || []).map((t) => h("li", {}, t))))),
    h("details", {}, h("summary", {}, `Set-up: ${ex.setup.length} commands`),
      h("pre", {}, ex.setup.map((c) => JSON.stringify(c)).join("\n")))));
}

function applyExercise(ex) {
  for (const cmd of ex.setup || []) adopt(cmd, true);
  logLine(`Exercise set up: ${ex.title}`, "event");
  refreshAll();
}

function refreshAll() {
  refreshDesk();
  refreshDetail();
  buildPatch();
  buildFba();
  $("#rta-src").value = state.rta;
  $("#loud-src").value = state.loud;
  drawAnalyser();
}

// --- Patch -----------------------------------------------------------------------------------

function buildPatch() {
  const root = $("#tab-patch");
  const p = state.patch;
  const inputs = Array.from({ length: state.inputs }, (_, k) => {
    const sel = h("select", { dataset: { patchIn: k }, onchange: () => {
      while (p.ins.length <= k) p.ins.push(-1);
      p.ins[k] = Number(sel.value);
      sendPatch();
    } }, h("option", { value: -1 }, "—"), Array.from({ length: state.inputs }, (_, c) => h("option", { value: c }, `in ${c + 1}`)));
    sel.value = String(k < p.ins.length ? p.ins[k] : -1);
    return h("label", { class: "ctl" }, h("span", {}, `Strip ${k + 1}`), sel);
  });
  const routes = ["off", "main.l", "main.r", "mono", ...Array.from({ length: 8 }, (_, b) => `bus.${b + 1}`),
    ...Array.from({ length: state.inputs }, (_, i) => [`in.${i + 1}.pre`, `in.${i + 1}.post`]).flat()];
  const outputs = Array.from({ length: state.outputs }, (_, c) => {
    const sel = h("select", { dataset: { patchOut: c }, onchange: () => {
      while (p.outs.length <= c) p.outs.push("off");
      p.outs[c] = sel.value;
      sendPatch();
    } }, routes.map((r) => h("option", { value: r }, r)));
    sel.value = c < p.outs.length && routes.includes(p.outs[c]) ? p.outs[c] : "off";
    return h("label", { class: "ctl" }, h("span", {}, `Output ${c + 1}`), sel);
  });
  root.replaceChildren(h("div", { class: "patch" },
    section("Inputs to strips", h("div", { class: "grid" }, inputs)),
    section("Outputs", h("div", { class: "grid" }, outputs))));
}

// --- Log, files, engine ----------------------------------------------------------------------

function logLine(text, cls = "") {
  const log = $("#log");
  log.append(h("div", { class: cls }, `${new Date().toLocaleTimeString()}  ${text}`));
  while (log.childElementCount > 300) log.firstChild.remove();
  log.scrollTop = log.scrollHeight;
}

function showNotice(text) {
  const el = $("#notice");
  el.replaceChildren(h("b", {}, "Engine: "), text,
    h("button", { onclick: () => el.classList.add("hidden") }, "Dismiss"));
  el.classList.remove("hidden");
}

const clock = (s) => `${Math.floor(s / 60)}:${String(Math.floor(s % 60)).padStart(2, "0")}`;
function showFiles(msg) {
  live.files = { ...live.files, ...msg };
  const f = live.files;
  $("#transport").classList.remove("hidden");
  const seek = $("#files-seek");
  seek.max = Math.max(f.length || 0, 1);
  if (document.activeElement !== seek) seek.value = f.secs || 0;
  $("#files-pos").textContent = `${clock(f.secs || 0)} / ${clock(f.length || 0)}`;
  $("#files-pause").textContent = f.paused ? "▶" : "❚❚";
  $("#files-pause").classList.toggle("on", !!f.paused);
  if (msg.tracks !== undefined && msg.tracks !== live.filesTracks) {
    live.filesTracks = msg.tracks;
    showEngine();
  }
}

function showEngine() {
  const r = live.ready;
  const el = $("#engine");
  if (!r) {
    el.textContent = live.connected ? "waiting for the engine…" : "connecting…";
    return;
  }
  const files = live.files ? ` · ${live.files.tracks} recordings` : "";
  el.replaceChildren(h("i", { class: `led ${live.connected && !live.ended ? "on" : ""}` }),
    `${r.mode === "sim" ? "Simulation" : "Live"} · ${(r.rate / 1000).toFixed(1)} kHz · ${r.inputs} in / ${r.outputs} out · ${r.in_name}${files}`);
}

function showEnded(msg) {
  live.ended = msg;
  const el = $("#ended");
  el.replaceChildren(h("b", {}, "The engine has stopped. "), msg.text || "",
    msg.status !== undefined ? ` (status ${msg.status})` : "", " Start mixweb again to go on.");
  el.classList.remove("hidden");
  document.body.classList.add("stopped");
  showEngine();
}

function showListenStats() {
  const s = listener.stats;
  $("#listen-stats").textContent = listener.ctx
    ? `buffer ${s.avgMs.toFixed(0)} ms · underruns ${s.underruns}${s.trims ? ` · trims ${s.trims}` : ""} · ${(listener.ctx.sampleRate / 1000).toFixed(1)} kHz`
    : "—";
  $("#listen-stats").classList.toggle("bad", s.underruns > 0);
  $("#sound-on").classList.toggle("hidden", listener.running || !listener.ctx);
}

// --- Scenes ----------------------------------------------------------------------------------

// The value `text` holds as JSON; undefined, after an error line saying `why`, when it holds none
// (no JSON text parses to undefined).
function parseJson(text, why) {
  try {
    return JSON.parse(text);
  } catch {
    logLine(why, "error");
    return undefined;
  }
}

function sceneText() {
  const { strips, buses, main, mono, mutes, fba, patch, rta, loud, listen, names } = state;
  return JSON.stringify({ mixweb_scene: 1, strips, buses, main, mono, mutes, fba, patch, rta, loud,
    listen, names }, null, 1);
}

function loadScene(text) {
  const s = parseJson(text, "That file is not a scene (not JSON).");
  if (s === undefined) return;
  if (!isObj(s) || s.mixweb_scene !== 1) {
    logLine("That file is not a mixweb scene.", "error");
    return;
  }
  const take = (list, n) => (Array.isArray(list) ? list.slice(0, n) : []);
  state.strips = Array.from({ length: 32 }, (_, i) => normalise("strip", take(s.strips, 32)[i] || {}));
  state.buses = Array.from({ length: 8 }, (_, i) => normalise("bus", take(s.buses, 8)[i] || {}));
  state.main = normalise("main", s.main || {});
  state.mono = normalise("mono", s.mono || {});
  state.mutes = isObj(s.mutes) ? Object.fromEntries(Object.entries(s.mutes).filter(([, v]) => v === true)) : {};
  for (const o of OUTPUTS) state.fba[o] = subRecord("fba", s.fba?.[o]) || clone(DEFAULTS.fba);
  if (isObj(s.patch)) adopt({ t: "patch", ins: s.patch.ins, outs: s.patch.outs }, false);
  if (typeof s.rta === "string") state.rta = s.rta;
  if (typeof s.loud === "string") state.loud = s.loud;
  if (Array.isArray(s.names)) state.names = s.names.map((n) => (typeof n === "string" ? n.slice(0, 40) : ""));
  for (let i = 0; i < 32; i++) sendChannel(`in.${i + 1}`);
  for (let b = 0; b < 8; b++) sendChannel(`bus.${b + 1}`);
  sendChannel("mono");
  sendChannel("main");
  for (const o of OUTPUTS) send({ t: "fba", target: o, cfg: state.fba[o] });
  sendPatch();
  send({ t: "rta", src: state.rta });
  send({ t: "loud", src: state.loud });
  logLine("Scene loaded.", "event");
  refreshAll();
}

// ---------------------------------------------------------------------------------------------
// Start

function wireTop() {
  for (const nav of $$(".tabs")) for (const b of $$("button", nav)) b.onclick = () => showTab(nav.dataset.for, b.dataset.tab);
  $("#listen-mode").onclick = () => { state.listen.pfl = !state.listen.pfl; sendListen(); refreshListen(); };
  const vol = $("#listen-vol");
  const applyVol = () => {
    $("#listen-vol-db").textContent = `${Number(vol.value).toFixed(1)} dB`;
    listener.setVolume(Number(vol.value), live.listenMuted);
  };
  vol.oninput = applyVol;
  $("#listen-mute").onclick = () => {
    live.listenMuted = !live.listenMuted;
    $("#listen-mute").classList.toggle("on", live.listenMuted);
    applyVol();
  };
  $("#files-pause").onclick = () => send({ t: "files.pause", on: !live.files?.paused });
  $("#files-seek").onchange = (e) => send({ t: "files.seek", s: Number(e.target.value) });
  $("#sound-on").onclick = () => { listener.resume(); setTimeout(showListenStats, 300); };
  document.addEventListener("pointerdown", () => listener.resume(), { once: true });
  $("#scene-save").onclick = () => {
    const a = h("a", { href: URL.createObjectURL(new Blob([sceneText()], { type: "application/json" })),
      download: `mixweb-scene-${new Date().toISOString().slice(0, 19).replace(/[:T]/g, "-")}.json` });
    document.body.append(a);
    a.click();
    a.remove();
  };
  $("#scene-load").onchange = async (e) => {
    const file = e.target.files[0];
    if (file) loadScene(await file.text());
    e.target.value = "";
  };
  $("#raw").onsubmit = (e) => {
    e.preventDefault();
    const text = $("#raw-cmd").value.trim();
    const cmd = parseJson(text, "Not a command: write one JSON object.");
    if (cmd === undefined) return;
    if (isObj(cmd)) {
      adopt(cmd, true);
      logLine(`> ${JSON.stringify(cmd)}`);
      refreshAll();
    } else logLine("Not a command: write one JSON object.", "error");
  };
}

// What the tests (and curious front-end authors, from the browser's console) can look at.
window.mixweb = { state, live, listener, send, sceneText, loadScene, socket: () => ws };

wireTop();
connect();
requestAnimationFrame(animate);
