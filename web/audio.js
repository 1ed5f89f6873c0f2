// The page's side of hearing: an AudioContext with the listen worklet, a master volume and mute,
// and a monitor meter (analysers after the worklet) that shows what is actually played.

export class Listener {
  constructor(onStats, onNotice) {
    this.onStats = onStats;
    this.onNotice = onNotice;
    this.ctx = null;
    this.node = null;
    this.stats = { fillMs: 0, avgMs: 0, underruns: 0, trims: 0, overflows: 0, primed: false };
    this.volumeDb = 0;
    this.muted = false;
    this.peaks = {};
    this.played = [];  // per reader: the largest sample played since its last look, per side
  }

  // socketUrl: the bridge's WebSocket for the stream alone, received by a worker.
  async start(sourceRate, socketUrl) {
    if (this.ctx) return;
    this.sourceRate = sourceRate;
    const ctx = new AudioContext({ latencyHint: "interactive" });
    this.ctx = ctx;
    await ctx.audioWorklet.addModule("listen-worklet.js");
    this.node = new AudioWorkletNode(ctx, "listen-player", {
      numberOfInputs: 0, numberOfOutputs: 1, outputChannelCount: [2],
      processorOptions: { sourceRate } });
    this.node.port.onmessage = (e) => {
      this.stats = e.data;
      this.onStats(this);
    };
    const channel = new MessageChannel();
    this.node.port.postMessage({ stream: channel.port1 }, [channel.port1]);
    this.worker = new Worker("listen-socket.js");
    this.worker.postMessage({ url: socketUrl, port: channel.port2 }, [channel.port2]);
    this.worker.onmessage = (e) => this.onNotice(e.data);
    this.gain = ctx.createGain();
    this.node.connect(this.gain).connect(ctx.destination);
    const split = ctx.createChannelSplitter(2);
    this.gain.connect(split);
    this.analysers = [0, 1].map((ch) => {
      const a = ctx.createAnalyser();
      a.fftSize = 16384;  // 0.34 s at 48 kHz: a page stalled that long still misses no peak
      split.connect(a, ch);
      return a;
    });
    this.scratch = new Float32Array(16384);
    this.applyVolume();
    setInterval(() => this.measure(), 100);
  }

  resume() {
    if (this.ctx && this.ctx.state !== "running") this.ctx.resume();
  }

  get running() {
    return !!this.ctx && this.ctx.state === "running";
  }

  restart() {
    if (this.node) this.node.port.postMessage({ reset: true });
  }

  setVolume(db, muted) {
    this.volumeDb = db;
    this.muted = muted;
    this.applyVolume();
  }

  applyVolume() {
    if (!this.gain) return;
    const g = this.muted ? 0 : Math.pow(10, this.volumeDb / 20);
    this.gain.gain.setTargetAtTime(g, this.ctx.currentTime, 0.01);
  }

  measure() {
    let most = 0;
    this.analysers.forEach((a, ch) => {
      a.getFloatTimeDomainData(this.scratch);
      let p = 0;
      for (let i = 0; i < this.scratch.length; i++) p = Math.max(p, Math.abs(this.scratch[i]));
      for (const peak of Object.values(this.peaks)) peak[ch] = Math.max(peak[ch], p);
      most = Math.max(most, p);
    });
    // The last minute of what was played, by the page's clock: [time in ms, peak].
    this.played.push([performance.now(), most]);
    if (this.played.length > 600) this.played.shift();
  }

  // Peaks played since the reader's previous call, per side (a reader's first call starts it).
  takePeak(reader = "meter") {
    const p = this.peaks[reader] || [0, 0];
    this.peaks[reader] = [0, 0];
    return p;
  }

  // Audio latency of the listen path in ms: the jitter buffer plus what the browser adds.
  latencyMs() {
    if (!this.ctx) return 0;
    return this.stats.avgMs + ((this.ctx.baseLatency || 0) + (this.ctx.outputLatency || 0)) * 1000;
  }
}
