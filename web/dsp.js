// The engine's filter and dynamics shapes, computed in the page so that the curves drawn are the
// ones the engine runs: the same second-order designs (in double precision, rounded to single
// precision at the end, as the engine stores them), the same cascades per channel, and the
// compressor's gain computer.

export const GEQ_HZ = [20, 25, 31.5, 40, 50, 63, 80, 100, 125, 160, 200, 250, 315, 400, 500, 630,
  800, 1000, 1250, 1600, 2000, 2500, 3150, 4000, 5000, 6300, 8000, 10000, 12500, 16000, 20000];
export const BAND_TYPES = ["peq", "lshv", "hshv", "hp", "lp", "bp", "hp1", "lcut", "hcut"];
const BUTTERWORTH_Q = 0.7071067811865476;
const f32 = Math.fround;

// One second-order section as {b0, b1, b2, a1, a2}; null when the rate is too low to design.
export function designBiquad(type, f, g, q, fs) {
  const fmax = fs / 2.1;
  if (!(fmax >= 10)) return null;
  if (type === "lcut" || type === "hcut") {
    type = type === "lcut" ? "hp" : "lp";
    q = BUTTERWORTH_Q;
    g = 0;
  }
  if (!Number.isFinite(g)) g = 0;
  let fc = Number.isNaN(f) ? 10 : Math.min(Math.max(f, 10), fmax);
  const w0 = 2 * Math.PI * fc / fs;
  const c = Math.cos(w0), sn = Math.sin(w0), A = Math.pow(10, g / 40);
  const Q = Number.isNaN(q) ? 0.1 : Math.max(q, 0.1);
  const alpha = sn / (2 * Q);
  let b0, b1, b2, a0, a1, a2;
  switch (type) {
    case "hp":
      [b0, b1, b2, a0, a1, a2] = [(1 + c) / 2, -(1 + c), (1 + c) / 2, 1 + alpha, -2 * c, 1 - alpha];
      break;
    case "lp":
      [b0, b1, b2, a0, a1, a2] = [(1 - c) / 2, 1 - c, (1 - c) / 2, 1 + alpha, -2 * c, 1 - alpha];
      break;
    case "bp":
      [b0, b1, b2, a0, a1, a2] = [alpha, 0, -alpha, 1 + alpha, -2 * c, 1 - alpha];
      break;
    case "hp1": {
      const K = Math.tan(w0 / 2);
      [b0, b1, b2, a0, a1, a2] = [1, -1, 0, K + 1, K - 1, 0];
      break;
    }
    case "lshv": {
      const sa = 2 * Math.sqrt(A) * alpha;
      b0 = A * ((A + 1) - (A - 1) * c + sa);
      b1 = 2 * A * ((A - 1) - (A + 1) * c);
      b2 = A * ((A + 1) - (A - 1) * c - sa);
      a0 = (A + 1) + (A - 1) * c + sa;
      a1 = -2 * ((A - 1) + (A + 1) * c);
      a2 = (A + 1) + (A - 1) * c - sa;
      break;
    }
    case "hshv": {
      const sa = 2 * Math.sqrt(A) * alpha;
      b0 = A * ((A + 1) + (A - 1) * c + sa);
      b1 = -2 * A * ((A - 1) + (A + 1) * c);
      b2 = A * ((A + 1) + (A - 1) * c - sa);
      a0 = (A + 1) - (A - 1) * c + sa;
      a1 = 2 * ((A - 1) - (A + 1) * c);
      a2 = (A + 1) - (A - 1) * c - sa;
      break;
    }
    default: // "peq" and any other text: a peaking band
      [b0, b1, b2, a0, a1, a2] = [1 + alpha * A, -2 * c, 1 - alpha * A, 1 + alpha / A, -2 * c,
        1 - alpha / A];
  }
  return { b0: f32(b0 / a0), b1: f32(b1 / a0), b2: f32(b2 / a0), a1: f32(a1 / a0),
    a2: f32(a2 / a0) };
}

// A band as the engine reads it: a missing field takes its default.
export function bandFields(band) {
  const b = band || {};
  const num = (v, d) => (typeof v === "number" ? v : d);
  return { type: typeof b.type === "string" ? b.type : "peq", f: num(b.f, 1000), g: num(b.g, 0),
    q: num(b.q, 2) };
}

export function designBands(bands, fs) {
  return (bands || []).map((b) => {
    const { type, f, g, q } = bandFields(b);
    return designBiquad(type, f, g, q, fs);
  }).filter(Boolean);
}

export function designHpf(hpf, fs) {
  if (!hpf) return [];
  const f = typeof hpf.f === "number" ? hpf.f : 80;
  switch (hpf.slope) {
    case 18: return [designBiquad("hp1", f, 0, 0, fs), designBiquad("hp", f, 0, 1.0, fs)];
    case 24: return [designBiquad("hp", f, 0, 0.541, fs), designBiquad("hp", f, 0, 1.307, fs)];
    default: return [designBiquad("hp", f, 0, BUTTERWORTH_Q, fs)];
  }
}

// The graphic equaliser (and every auto-EQ correction): one Q 4.32 band per audible gain.
export function designGraphic(gains, fs) {
  const out = [];
  (gains || []).slice(0, 31).forEach((g, i) => {
    const gf = f32(g);
    if (!Number.isFinite(gf) || Math.abs(gf) < f32(0.05)) return;
    if (!(GEQ_HZ[i] < fs / 2.2)) return;
    out.push(designBiquad("peq", GEQ_HZ[i], gf, 4.32, fs));
  });
  return out.filter(Boolean);
}

// Gain in dB of a cascade at frequency f.
export function responseDb(stages, f, fs) {
  const w = 2 * Math.PI * f / fs;
  const c1 = Math.cos(w), s1 = Math.sin(w), c2 = Math.cos(2 * w), s2 = Math.sin(2 * w);
  let db = 0;
  for (const s of stages) {
    const nr = s.b0 + s.b1 * c1 + s.b2 * c2, ni = -(s.b1 * s1 + s.b2 * s2);
    const dr = 1 + s.a1 * c1 + s.a2 * c2, di = -(s.a1 * s1 + s.a2 * s2);
    db += 10 * Math.log10(Math.max((nr * nr + ni * ni) / Math.max(dr * dr + di * di, 1e-300),
      1e-30));
  }
  return db;
}

// Log-spaced frequencies for drawing, 20 Hz to 20 kHz.
export function logFrequencies(n) {
  return Array.from({ length: n }, (_, i) => 20 * Math.pow(1000, i / (n - 1)));
}

// The compressor's target gain change in dB for a steady detector level L (dBFS).
export function compressorGainDb(dyn, L) {
  const num = (v, d) => (typeof v === "number" && Number.isFinite(v) ? v : d);
  const R = Math.max(num(dyn.ratio, 3), 1), W = 2 * Math.max(num(dyn.knee, 2), 0);
  const d = L - num(dyn.thr, -20);
  if (dyn.exp) return d < 0 ? Math.max((R - 1) * d, -60) : 0;
  if (W > 0 && Math.abs(d) <= W / 2) return (1 / R - 1) * (d + W / 2) ** 2 / (2 * W);
  return d > 0 ? (1 / R - 1) * d : 0;
}

// Output level in dBFS of the compressor for a steady input level, make-up gain and wet/dry mix
// included.
export function compressorOutDb(dyn, L) {
  const num = (v, d) => (typeof v === "number" && Number.isFinite(v) ? v : d);
  const makeup = Math.pow(10, num(dyn.mgain, 0) / 20);
  const m = Math.min(Math.max(num(dyn.mix, 100) / 100, 0), 1);
  const g = Math.pow(10, compressorGainDb(dyn, L) / 20);
  return L + 20 * Math.log10(Math.max((1 - m) + m * makeup * g, 1e-9));
}

// The gate's target gain in dB for a steady level L.
export function gateGainDb(gate, L) {
  const num = (v, d) => (typeof v === "number" && Number.isFinite(v) ? v : d);
  const mode = gate.mode || "gate";
  if (mode === "duck") return 0;
  const R = { exp2: 2, exp3: 3, exp4: 4 }[mode] || 0;
  const thr = num(gate.thr, -50), depthDb = -Math.abs(num(gate.range, 40));
  if (L >= thr) return 0;
  return R ? Math.max((R - 1) * (L - thr), depthDb) : depthDb;
}

// Edges of the analyser's 96 bands: 32 per decade from 20 Hz.
export function rtaBandEdge(k) {
  return 20 * Math.pow(1000, k / 96);
}
