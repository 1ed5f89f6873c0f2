// Plays the engine's listen stream: 24-bit stereo datagrams from the bridge go into a ring; the
// output reads it through a jitter buffer, resampling from the engine's rate to the browser's and
// nudging the read speed so that the buffer stays near its target however the two clocks drift.

// The buffer aims at a fill between these: it starts in the middle, goes up a step after each
// underrun (a stall of the network or of the page) and comes down again after a long clean run.
const TARGET_MS = 60, LOWEST_MS = 45, HIGHEST_MS = 80, STEP_MS = 10, CLEAN_S = 20;
const TRIM_ABOVE_MS = 40;  // above the target for long, drift control has lost: jump back to it
const TRIM_AFTER_S = 2;
const REPORT_EVERY_S = 0.25;

class ListenPlayer extends AudioWorkletProcessor {
  constructor(options) {
    super();
    this.srcRate = options.processorOptions.sourceRate;
    let cap = 1;
    while (cap < this.srcRate * 2) cap *= 2; // two seconds of frames, a power of two
    this.cap = cap;
    this.ring = new Float32Array(cap * 2);
    this.written = 0;  // frames ever written
    this.pos = 0;      // read position in frames, with a fraction
    this.targetMs = TARGET_MS;
    this.target = TARGET_MS / 1000 * this.srcRate;
    this.cleanFor = 0;
    this.primed = false;
    this.avgFill = this.target;
    this.highFor = 0;
    this.underruns = 0;
    this.trims = 0;
    this.overflows = 0;
    this.sinceReport = 0;
    this.port.onmessage = (e) => {
      if (e.data && e.data.stream) e.data.stream.onmessage = (m) => this.take(m.data);
      else this.take(e.data);
    };
  }

  take(data) {
    if (!(data instanceof ArrayBuffer)) {
      if (data && data.reset) {
        this.written = 0;
        this.pos = 0;
        this.primed = false;
      }
      return;
    }
    const bytes = new Uint8Array(data);
    const frames = Math.floor(bytes.length / 6);
    if (this.written - this.pos + frames > this.cap - 4) {
      this.overflows++;
      this.pos = this.written + frames - this.target;
    }
    const ring = this.ring, mask = this.cap - 1;
    for (let k = 0, b = 0; k < frames; k++) {
      const w = ((this.written + k) & mask) * 2;
      for (let ch = 0; ch < 2; ch++, b += 3) {
        let v = bytes[b] | (bytes[b + 1] << 8) | (bytes[b + 2] << 16);
        if (v & 0x800000) v -= 0x1000000;
        ring[w + ch] = v / 8388607;
      }
    }
    this.written += frames;
  }

  process(inputs, outputs) {
    const out = outputs[0];
    const left = out[0], right = out[1] || out[0];
    const n = left.length;
    const fill = this.written - this.pos;
    this.report(n, fill);
    if (!this.primed) {
      if (fill < this.target) return true;
      this.primed = true;
      this.pos = this.written - this.target;
    }
    // Proportional drift control, within half a percent of the nominal ratio (inaudible).
    this.avgFill += (fill - this.avgFill) * Math.min(1, n / (sampleRate * 0.5));
    const nudge = Math.max(-0.005, Math.min(0.005, (this.avgFill - this.target) / this.target * 0.02));
    const step = this.srcRate / sampleRate * (1 + nudge);
    if (fill < n * step + 3) {
      this.underruns++;
      this.primed = false;
      this.setTarget(this.targetMs + STEP_MS);
      return true;
    }
    this.cleanFor += n / sampleRate;
    if (this.cleanFor > CLEAN_S) this.setTarget(this.targetMs - STEP_MS / 2);
    if (this.avgFill > this.target + TRIM_ABOVE_MS / 1000 * this.srcRate) {
      this.highFor += n / sampleRate;
      if (this.highFor > TRIM_AFTER_S) {
        this.pos = this.written - this.target;
        this.avgFill = this.target;
        this.highFor = 0;
        this.trims++;
      }
    } else {
      this.highFor = 0;
    }
    const ring = this.ring, mask = this.cap - 1;
    let pos = this.pos;
    for (let i = 0; i < n; i++, pos += step) {
      // Four-point Hermite interpolation between the frames around pos.
      const i1 = Math.floor(pos), t = pos - i1;
      const a = ((i1 - 1) & mask) * 2, b = (i1 & mask) * 2, c = ((i1 + 1) & mask) * 2,
        d = ((i1 + 2) & mask) * 2;
      for (let ch = 0; ch < 2; ch++) {
        const y0 = ring[a + ch], y1 = ring[b + ch], y2 = ring[c + ch], y3 = ring[d + ch];
        const c1 = 0.5 * (y2 - y0), c2 = y0 - 2.5 * y1 + 2 * y2 - 0.5 * y3,
          c3 = 0.5 * (y3 - y0) + 1.5 * (y1 - y2);
        const y = ((c3 * t + c2) * t + c1) * t + y1;
        if (ch === 0) left[i] = y; else right[i] = y;
      }
    }
    this.pos = pos;
    return true;
  }

  setTarget(ms) {
    this.targetMs = Math.min(Math.max(ms, LOWEST_MS), HIGHEST_MS);
    this.target = this.targetMs / 1000 * this.srcRate;
    this.cleanFor = 0;
  }

  report(n, fill) {
    this.sinceReport += n / sampleRate;
    if (this.sinceReport < REPORT_EVERY_S) return;
    this.sinceReport = 0;
    this.port.postMessage({ fillMs: fill / this.srcRate * 1000, avgMs: this.avgFill / this.srcRate * 1000,
      targetMs: this.targetMs, underruns: this.underruns, trims: this.trims, overflows: this.overflows, primed: this.primed });
  }
}

registerProcessor("listen-player", ListenPlayer);
